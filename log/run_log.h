#pragma once
// The per-run log file: in the log folder ("logs" beside the executable, or
// in the user's profile: base/data_folders.h), one UTF-8 file (BOM, CR LF)
// per run named after the local time, a settings header, a separator
// and time-stamped event lines.

#include <windows.h>

#include <string>
#include <string_view>

#include "base/run_host.h"
#include "base/run_options.h"

// Forms logFolder (once), creates it, and tells the user when it is not a
// folder afterwards.
bool ensureLogFolder(UserPrompt& prompt);

// Creates the log file and writes the header, separator and start line
// ("抽出処理開始。" unless `startLine` names another).  The file is named after
// the local time; a name already taken (by another copy of the program, or
// an earlier log when the clock was set back) moves on to the next
// millisecond, so no log is ever replaced.  Shows its own message box and
// returns false on failure.
bool openRunLog(UserPrompt& prompt, const RunOptions& options, const wchar_t* startLine = nullptr);
void writeSettingsHeader(const RunOptions& options);
// Writes one event line; an "エラー" line sets runState.errorLogged.  When
// memory has run out the line is still written, made in fixed buffers.
void writeLogLine(const wchar_t* category, const std::wstring& message);
void writeLogLine(const wchar_t* category, const wchar_t* message);
void closeRunLog();

// Opens the latest run's log through the shell, or says why it cannot.
void showLatestLog(UserPrompt& prompt);

const std::wstring& logFolder();
const std::wstring& lastLogPath();
// Forgets logFolder and lastLogPath (tests that move the program folder).
void resetLogPaths();
// The time a new log is named after; nullptr (the default) is the local
// time.  Tests fix it to make names meet.
using LogNameClock = void (*)(SYSTEMTIME* time);
void setLogNameClock(LogNameClock clock);

// Pure formatting, exposed for tests.  Texts use "\n"; encodeLogText turns
// them into the file's bytes (UTF-8, "\r\n").
std::wstring formatSettingsHeader(const RunOptions& options);
std::wstring formatEventLine(const SYSTEMTIME& time, std::wstring_view category,
                             std::wstring_view message);
std::wstring formatLogFileName(const std::wstring& folder, const SYSTEMTIME& time);
std::string encodeLogText(std::wstring_view text);
