#pragma once
// The file-system operations of the engine and the run log.  Source paths
// come as the user entered them; destination paths carry "\\?\".  Calls on
// the source side go through the long-path form internally, so trees deeper
// than MAX_PATH are read.

#include <windows.h>

#include <string>

struct FileTimes {
  FILETIME created{}, accessed{}, written{};
};

// "\\?\" form of a plain path for the source side: made absolute, forward
// slashes as backslashes, a UNC path as "\\?\UNC\...".
std::wstring longPathOf(const std::wstring& path);

// A destination text as the base of its targets: forward slashes as
// backslashes and no trailing backslash, so "\\?\" + it + "\name" is valid.
std::wstring normaliseDestination(const std::wstring& destination);

// Opens with no sharing (a file held open elsewhere fails) and reads times.
bool readFileTimes(const std::wstring& path, FileTimes& times);
// Opens for writing with no sharing and sets all three times.
bool writeFileTimes(const std::wstring& path, const FileTimes& times);

// Copies over an existing target without ever leaving it truncated or
// destroyed: the copy goes to a temporary file beside the target, which then
// replaces the target in one step; on failure the temporary file is removed.
bool copyFileSafely(const std::wstring& source, const std::wstring& target);
// Moves; fails when the target exists.
bool moveFile(const std::wstring& source, const std::wstring& target);

// CreateDirectoryW, result ignored by callers.
void createFolder(const std::wstring& path);
bool pathExists(const std::wstring& path);
bool isFolder(const std::wstring& path);
