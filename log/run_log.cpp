#include "log/run_log.h"

#include <cwchar>

#include "base/data_folders.h"
#include "base/handles.h"
#include "base/run_state.h"
#include "base/sync.h"
#include "base/text.h"
#include "base/texts.h"

namespace {

std::wstring logFolderPath;
std::wstring lastLogFile;
LogNameClock logNameClock = nullptr;

// Another copy of the program may open its log in the same millisecond.
// A log is only ever created new, and a name that is taken gives way to
// the next millisecond's, so no log replaces another.
constexpr int kLogNameAttempts = 1000;

bool nextMillisecond(SYSTEMTIME& time) {
  FILETIME ticks;
  if (!SystemTimeToFileTime(&time, &ticks)) return false;
  ULARGE_INTEGER value;
  value.LowPart = ticks.dwLowDateTime;
  value.HighPart = ticks.dwHighDateTime;
  value.QuadPart += 10000;  // 100-ns ticks
  ticks.dwLowDateTime = value.LowPart;
  ticks.dwHighDateTime = value.HighPart;
  return FileTimeToSystemTime(&ticks, &time) != FALSE;
}

// Creates the log file under the first free name from `time` on; every
// name tried becomes lastLogFile in turn.
FileHandle createLogFile(const std::wstring& folder, SYSTEMTIME time) {
  for (int attempt = 0; attempt < kLogNameAttempts; ++attempt) {
    lastLogFile = formatLogFileName(folder, time);
    FileHandle file(CreateFileW(lastLogFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) return file;
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    if (!nextMillisecond(time)) break;
  }
  return FileHandle();
}

// The open log of the current run.  Lines collect in `pending` and reach
// the file in large writes: error, copy and move lines at once, the others
// within half a second (a flusher thread writes out what waits), so a run
// that is killed leaves a log that holds everything up to a moment before;
// closeRunLog writes out the rest.  Every access to these goes through logLock().
FileHandle logFile;
std::string pending;
constexpr size_t kFlushThreshold = 64 * 1024;
constexpr DWORD kFlushIntervalMs = 500;
KernelHandle flusherThread, flusherStop;

// A function's own static, so it exists before the first run opens a log.
CriticalSection& logLock() {
  static CriticalSection lock;
  return lock;
}

// Called with the lock held.
void flushPending() {
  if (!logFile || pending.empty()) return;
  DWORD written = 0;
  // Write errors after a successful open (a full disk) are not reported:
  // the run goes on and the lines concerned are lost.
  WriteFile(logFile.get(), pending.data(), static_cast<DWORD>(pending.size()), &written, nullptr);
  pending.clear();
}

// Called with the lock held.
void writeText(std::wstring_view text) {
  if (!logFile) return;
  pending += encodeLogText(text);
  if (pending.size() >= kFlushThreshold) flushPending();
}

DWORD WINAPI flushWaitingLines(LPVOID) {
  while (WaitForSingleObject(flusherStop.get(), kFlushIntervalMs) == WAIT_TIMEOUT) {
    ScopedLock lock(logLock());
    flushPending();
  }
  return 0;
}

void stopFlusher();

void startFlusher() {
  stopFlusher();
  flusherStop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (flusherStop)
    flusherThread.reset(CreateThread(nullptr, 0, flushWaitingLines, nullptr, 0, nullptr));
}

void stopFlusher() {
  if (flusherThread) {
    SetEvent(flusherStop.get());
    WaitForSingleObject(flusherThread.get(), INFINITE);
  }
  flusherThread.reset();
  flusherStop.reset();
}

bool isFolderPath(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool isExistingFile(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

const wchar_t* targetText(TargetKind kind) {
  switch (kind) {
    case TargetKind::NewestOnly:
      return texts::kTargetNewestOnly;
    case TargetKind::UniqueOnly:
      return texts::kTargetUniqueOnly;
    default:
      return texts::kTargetNewestAndUnique;
  }
}

const wchar_t* criterionText(TimeCriterion criterion) {
  switch (criterion) {
    case TimeCriterion::Modified:
      return texts::kCriterionModified;
    case TimeCriterion::Created:
      return texts::kCriterionCreated;
    default:
      return texts::kCriterionBoth;
  }
}

std::wstring headerLine(const wchar_t* label, const std::wstring& value) {
  return formatText(texts::kHeaderLine, label, value.c_str());
}

}  // namespace

std::string encodeLogText(std::wstring_view text) {
  std::string utf8 = toUtf8(text);
  std::string out;
  out.reserve(utf8.size() + utf8.size() / 32 + 2);
  for (char c : utf8) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::wstring formatSettingsHeader(const RunOptions& options) {
  std::wstring header = headerLine(texts::kLabelDestination, options.destination);
  for (const std::wstring& source : options.sources)
    header += headerLine(texts::kLabelSources, source);
  header += headerLine(texts::kLabelSubfolders,
                       options.includeSubfolders ? texts::kSubfoldersOn : texts::kSubfoldersOff);
  if (options.includeSubfolders)
    header += headerLine(texts::kLabelHierarchy, options.ignoreHierarchy ? texts::kHierarchyIgnored
                                                                         : texts::kHierarchyKept);
  header += headerLine(texts::kLabelTarget, targetText(options.targetKind));
  header += headerLine(texts::kLabelCriterion, criterionText(options.criterion));
  header +=
      headerLine(texts::kLabelMethod, options.copies() ? texts::kMethodCopy : texts::kMethodMove);
  header += headerLine(texts::kLabelTimeStamps,
                       options.keepTimeStamps ? texts::kTimeStampsKept : texts::kTimeStampsDropped);
  header += headerLine(texts::kLabelTransferLog,
                       options.logTransfers ? texts::kTransferLogOn : texts::kTransferLogOff);
  if (options.skipsSame()) header += headerLine(texts::kLabelSkipSame, texts::kSkipSameOn);
  return header;
}

std::wstring formatEventLine(const SYSTEMTIME& t, std::wstring_view category,
                             std::wstring_view message) {
  // The message is inserted as a value, so a "%" in a path stays as it is.
  std::wstring cat(category), msg(message);
  return formatText(texts::kEventLine, unsigned(t.wYear), unsigned(t.wMonth), unsigned(t.wDay),
                    unsigned(t.wHour), unsigned(t.wMinute), unsigned(t.wSecond),
                    unsigned(t.wMilliseconds), cat.c_str(), msg.c_str());
}

std::wstring formatLogFileName(const std::wstring& folder, const SYSTEMTIME& t) {
  return formatText(texts::kLogFileName, folder.c_str(), unsigned(t.wYear), unsigned(t.wMonth),
                    unsigned(t.wDay), unsigned(t.wHour), unsigned(t.wMinute), unsigned(t.wSecond),
                    unsigned(t.wMilliseconds));
}

const std::wstring& logFolder() { return logFolderPath; }
const std::wstring& lastLogPath() { return lastLogFile; }

void setLogNameClock(LogNameClock clock) { logNameClock = clock; }

void resetLogPaths() {
  logFolderPath.clear();
  lastLogFile.clear();
}

bool ensureLogFolder(UserPrompt& prompt) {
  if (logFolderPath.empty()) logFolderPath = dataFolders().logs;
  makeDataFolder(logFolderPath);
  CreateDirectoryW(logFolderPath.c_str(), nullptr);
  if (isFolderPath(logFolderPath)) return true;
  prompt.showMessage(formatText(texts::kLogFolderFailed, logFolderPath.c_str()), texts::kAppName,
                     MB_OK | MB_ICONERROR);
  return false;
}

bool openRunLog(UserPrompt& prompt, const RunOptions& options, const wchar_t* startLine) {
  if (!ensureLogFolder(prompt)) return false;
  SYSTEMTIME now;
  if (logNameClock)
    logNameClock(&now);
  else
    GetLocalTime(&now);
  logFile = createLogFile(logFolderPath, now);
  if (!logFile) {
    prompt.showMessage(formatText(texts::kLogOpenFailed, lastLogFile.c_str()), texts::kAppName,
                       MB_OK | MB_ICONERROR);
    return false;
  }
  {
    ScopedLock lock(logLock());
    pending = "\xEF\xBB\xBF";
  }
  runState.errorLogged = false;
  writeSettingsHeader(options);
  {
    ScopedLock lock(logLock());
    writeText(L"\n" + std::wstring(100, L'*') + L"\n\n");
  }
  writeLogLine(texts::kCategoryNotice, startLine ? startLine : texts::kRunStarted);
  {
    ScopedLock lock(logLock());
    flushPending();  // the header is on disk before the run does anything
  }
  startFlusher();
  return true;
}

void writeSettingsHeader(const RunOptions& options) {
  ScopedLock lock(logLock());
  writeText(formatSettingsHeader(options));
}

namespace {

// Only the category's first character decides: U+30A8 begins "エラー".
bool isErrorCategory(const wchar_t* category) { return category && category[0] == L'\x30A8'; }

// The event line made in fixed buffers, for when memory has run out: the
// message is cut at 1023 characters.  Called with the lock held.
void writeLineInPlace(const SYSTEMTIME& t, const wchar_t* category, const wchar_t* message) {
  flushPending();
  if (!logFile) return;
  wchar_t line[1200];
  int n = _snwprintf(line, 1199, texts::kEventLine, unsigned(t.wYear), unsigned(t.wMonth),
                     unsigned(t.wDay), unsigned(t.wHour), unsigned(t.wMinute), unsigned(t.wSecond),
                     unsigned(t.wMilliseconds), category, message);
  if (n < 0) {  // cut short: still one whole line
    n = 1198;
    line[n - 1] = L'\n';
  }
  char utf8[4 * 1200];
  int size = WideCharToMultiByte(CP_UTF8, 0, line, n, utf8, sizeof utf8, nullptr, nullptr);
  char bytes[sizeof utf8 + 8];
  int out = 0;
  for (int i = 0; i < size; ++i) {
    if (utf8[i] == '\n') bytes[out++] = '\r';
    bytes[out++] = utf8[i];
  }
  DWORD written = 0;
  WriteFile(logFile.get(), bytes, static_cast<DWORD>(out), &written, nullptr);
}

}  // namespace

void writeLogLine(const wchar_t* category, const wchar_t* message) {
  try {
    writeLogLine(category, std::wstring(message));
  } catch (...) {
    // No memory for the text: the line is made in place.
    ScopedLock lock(logLock());
    SYSTEMTIME time;
    GetLocalTime(&time);
    writeLineInPlace(time, category, message);
    if (isErrorCategory(category)) runState.errorLogged = true;
  }
}

void writeLogLine(const wchar_t* category, const std::wstring& message) {
  bool error = isErrorCategory(category);
  // Error lines, and the record of every file copied or moved (a moved file
  // has left its source), go to the system at once: a process that is
  // killed loses nothing it has handed over.
  bool now = error || (category && (wcscmp(category, texts::kCategoryCopied) == 0 ||
                                    wcscmp(category, texts::kCategoryMoved) == 0));
  {
    ScopedLock lock(logLock());
    SYSTEMTIME time;
    GetLocalTime(&time);
    try {
      writeText(formatEventLine(time, category, message));
    } catch (...) {
      writeLineInPlace(time, category, message.c_str());
    }
    if (now) flushPending();
  }
  if (error) runState.errorLogged = true;
}

void closeRunLog() {
  stopFlusher();
  ScopedLock lock(logLock());
  flushPending();
  logFile.reset();
  pending.clear();
  pending.shrink_to_fit();
}

void showLatestLog(UserPrompt& prompt) {
  if (lastLogFile.empty()) {
    prompt.showMessage(texts::kNoRunYet, texts::kAppName, MB_OK);
    return;
  }
  if (isExistingFile(lastLogFile)) {
    prompt.shellOpen(lastLogFile);
    return;
  }
  prompt.showMessage(formatText(texts::kLogMissing, lastLogFile.c_str()), texts::kAppName,
                     MB_OK | MB_ICONERROR);
}
