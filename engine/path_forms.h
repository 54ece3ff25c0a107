#pragma once
// The forms a path takes on its way to the file system.  Source paths come
// as the user entered them; destination paths carry "\\?\".  Calls on the
// source side go through the long-path form too, so trees deeper than
// MAX_PATH are read.

#include <string>
#include <string_view>

// "\\?\" form of a plain path for the source side: made absolute, forward
// slashes as backslashes, a UNC path as "\\?\UNC\...".  A bare drive ("E:")
// stands for its root.  A path already in that form is returned unchanged;
// one that cannot be made absolute gives "" (every call on it fails).
std::wstring longPathOf(const std::wstring& path);

// The form every file-system call of the engine is given: a "\\?\" path as
// it is, any other through longPathOf.
std::wstring apiPath(const std::wstring& path);

bool hasLongPrefix(const std::wstring& path);

// Whether a destination text names a folder on its own, whatever the
// process's current folder: "X:\..." (either separator), a bare "X:" (its
// root), "\\server\share..." or a "\\?\" path.  "out", "\out" and "X:out"
// do not.
bool isFullDestination(const std::wstring& destination);

// A full destination text as the base of its targets: forward slashes as
// backslashes, "." and ".." resolved and no trailing backslash, so
// "\\?\" + it + "\name" is valid; a UNC text becomes "UNC\server\share...".
// An empty text stays empty.
std::wstring normaliseDestination(const std::wstring& destination);

// A "\\?\" path as the user would write it: "C:\..." or "\\server\...".
std::wstring plainPathOf(const std::wstring& path);

// A destination path as the file system compares names: every unit that has
// a capital becomes it (so "\u00e4" meets "\u00c4", full-width "\uff41"
// meets "\uff21"), not only ASCII as the tree does.
std::wstring foldedPath(std::wstring path);

// folder + "\" + name, without doubling a backslash the folder ends with.
std::wstring joinPath(const std::wstring& folder, std::wstring_view name);

// The folder part of a path: everything before its last backslash.
std::wstring folderOf(const std::wstring& path);
