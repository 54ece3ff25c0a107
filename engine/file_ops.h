#pragma once
// The file-system operations of the engine and the run log.  Source paths
// come as the user entered them; destination paths carry "\\?\".  Calls on
// the source side go through the long-path form internally, so trees deeper
// than MAX_PATH are read.

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

#include "base/handles.h"

struct FileTimes {
  FILETIME created{}, accessed{}, written{};
};

// "\\?\" form of a plain path for the source side: made absolute, forward
// slashes as backslashes, a UNC path as "\\?\UNC\...".  A bare drive ("E:")
// stands for its root.  A path already in that form is returned unchanged;
// one that cannot be made absolute gives "" (every call on it fails).
std::wstring longPathOf(const std::wstring& path);

// A destination text as the base of its targets: forward slashes as
// backslashes and no trailing backslash, so "\\?\" + it + "\name" is valid.
// A relative text is made absolute first ("\\?\" turns off all parsing); a
// UNC text becomes "UNC\server\share...".  An empty text stays empty.
std::wstring normaliseDestination(const std::wstring& destination);

// A "\\?\" path as the user would write it: "C:\..." or "\\server\...".
std::wstring plainPathOf(const std::wstring& path);

// folder + "\" + name, without doubling a backslash the folder ends with.
std::wstring joinPath(const std::wstring& folder, std::wstring_view name);

// Whether the folder could become the current folder: it exists, is a
// folder and may be traversed.
bool canEnterFolder(const std::wstring& folder);
// Starts enumerating every entry of `folder` ("." and ".." included).  An
// invalid handle means enumeration could not start; `empty` is set instead
// when the folder simply holds nothing (a drive root has no "." entry).
FindHandle startEnumeration(const std::wstring& folder, WIN32_FIND_DATAW& data, bool& empty);

// Opens with no sharing (a file held open elsewhere fails) and reads times.
bool readFileTimes(const std::wstring& path, FileTimes& times);
// The same open without reading anything: whether the file can be opened for
// reading with no sharing right now.
bool canOpenForRead(const std::wstring& path);
// Opens for writing with no sharing and sets all three times.
bool writeFileTimes(const std::wstring& path, const FileTimes& times);

// Copies without ever leaving a target truncated or destroyed.  A new target
// is written under its own name and removed again if the copy fails; an
// existing one is replaced in one step by a complete copy made beside it in
// a temporary file, which is removed on failure.  `nameIsFree` says the
// caller knows no file of that name was there before (it made the folder
// itself and copies each name into it once), which saves looking it up.
bool copyFileSafely(const std::wstring& source, const std::wstring& target,
                    bool nameIsFree = false);
// Moves; fails when the target exists.
bool moveFile(const std::wstring& source, const std::wstring& target);

// CreateDirectoryW: true when this call made the folder.
bool createFolder(const std::wstring& path);
bool pathExists(const std::wstring& path);
bool isFolder(const std::wstring& path);

// Observer of the per-file operations (tests use it to act at an exact
// point of a run).  Called before each operation with its name ("read",
// "write", "copy", "move") and the path as the caller gave it.  A run with
// several workers calls it from each of them, possibly at once, so the
// hook must be safe for that; set it only while no run is under way.
using FileOperationHook = std::function<void(const wchar_t* operation, const std::wstring& path)>;
void setFileOperationHook(FileOperationHook hook);
