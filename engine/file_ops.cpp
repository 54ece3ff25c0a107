#include "engine/file_ops.h"

#include <atomic>
#include <vector>

#include "base/text.h"

namespace {

constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr wchar_t kUncLongPrefix[] = L"\\\\?\\UNC\\";

FileOperationHook operationHook;

void notify(const wchar_t* operation, const std::wstring& path) {
  if (operationHook) operationHook(operation, path);
}

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, wcslen(prefix), prefix) == 0;
}

bool hasLongPrefix(const std::wstring& path) { return startsWith(path, kLongPrefix); }

bool isBareDrive(const std::wstring& path) {
  return path.size() == 2 && path[1] == L':' && iswalpha(path[0]);
}

std::wstring withBackslashes(std::wstring path) {
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

// GetFullPathNameW into a buffer of whatever size the result needs; "" when
// the path cannot be made absolute.
std::wstring fullPathOf(const std::wstring& path) {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  for (;;) {
    DWORD n =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (n == 0) return {};
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    buffer.resize(n + 1);
  }
}

// Drops trailing backslashes, but keeps the one of a drive root ("C:\").
void trimTrailingBackslashes(std::wstring& path, size_t keepUpTo) {
  while (path.size() > keepUpTo && path.back() == L'\\') path.pop_back();
}

// The form every Win32 call of this file is given.
std::wstring apiPath(const std::wstring& path) {
  return hasLongPrefix(path) ? path : longPathOf(path);
}

// The folder part of a path: everything before its last backslash.
std::wstring folderOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// Deletes a file this module created; a copy carries the source's
// attributes, and a read-only one would refuse to go.
void removeFile(const std::wstring& path) {
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(path.c_str());
}

}  // namespace

std::wstring longPathOf(const std::wstring& path) {
  if (path.empty()) return {};
  if (hasLongPrefix(path)) return path;
  std::wstring plain = withBackslashes(path);
  if (startsWith(plain, L"\\\\.\\")) return plain;  // device namespace: already unparsed
  // "E:" alone means the drive, not the drive's current folder.
  if (isBareDrive(plain)) plain += L'\\';
  std::wstring full = fullPathOf(plain);
  if (full.empty()) return {};
  if (startsWith(full, L"\\\\")) {  // \\server\share\...
    trimTrailingBackslashes(full, 2);
    return kUncLongPrefix + full.substr(2);
  }
  trimTrailingBackslashes(full, 3);  // "C:\" stays a root
  return kLongPrefix + full;
}

std::wstring normaliseDestination(const std::wstring& destination) {
  if (destination.empty()) return {};
  std::wstring path = withBackslashes(destination);
  if (hasLongPrefix(path)) {
    path.erase(0, 4);
  } else if (!isBareDrive(path)) {
    std::wstring full = fullPathOf(path);
    if (!full.empty()) path = full;
    if (startsWith(path, L"\\\\")) path = L"UNC" + path.substr(1);
  }
  trimTrailingBackslashes(path, 0);
  return path;
}

std::wstring plainPathOf(const std::wstring& path) {
  if (startsWith(path, kUncLongPrefix)) return L"\\\\" + path.substr(8);
  if (hasLongPrefix(path)) return path.substr(4);
  return path;
}

std::wstring joinPath(const std::wstring& folder, std::wstring_view name) {
  std::wstring out;
  out.reserve(folder.size() + 1 + name.size());
  out = folder;
  if (out.empty() || out.back() != L'\\') out += L'\\';
  out.append(name.data(), name.size());
  return out;
}

bool canEnterFolder(const std::wstring& folder) {
  std::wstring path = apiPath(folder);
  if (path.empty()) return false;
  // The same access that making it the current folder needs.
  FileHandle handle(CreateFileW(path.c_str(), FILE_TRAVERSE | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) return false;
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(handle.get(), &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

FindHandle startEnumeration(const std::wstring& folder, WIN32_FIND_DATAW& data, bool& empty) {
  empty = false;
  std::wstring path = apiPath(folder);
  if (path.empty()) return FindHandle();
  FindHandle find(FindFirstFileW(joinPath(path, L"*").c_str(), &data));
  if (!find && GetLastError() == ERROR_FILE_NOT_FOUND) empty = true;
  return find;
}

bool readFileTimes(const std::wstring& path, FileTimes& times) {
  notify(L"read", path);
  FileHandle file(CreateFileW(apiPath(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  return GetFileTime(file.get(), &times.created, &times.accessed, &times.written) != FALSE;
}

bool canOpenForRead(const std::wstring& path) {
  notify(L"read", path);
  FileHandle file(CreateFileW(apiPath(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  return static_cast<bool>(file);
}

bool writeFileTimes(const std::wstring& path, const FileTimes& times) {
  notify(L"write", path);
  FileHandle file(CreateFileW(apiPath(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  return SetFileTime(file.get(), &times.created, &times.accessed, &times.written) != FALSE;
}

namespace {

// Copies `from` to a new temporary file in `folder` and names it in
// `temporary`.  A short name of its own, so that a 255-character target name
// still leaves room for it.  On failure nothing is left behind.
bool copyToTemporary(const std::wstring& from, const std::wstring& folder,
                     std::wstring& temporary) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0;; ++attempt) {
    temporary =
        formatText(L"%s\\~ostrelle-%lx-%x.tmp", folder.c_str(), GetCurrentProcessId(), counter++);
    if (CopyFileW(from.c_str(), temporary.c_str(), TRUE)) return true;
    DWORD error = GetLastError();
    bool nameTaken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    if (nameTaken && attempt < 100) continue;
    // A copy that failed half-way may have left part of the file behind.
    if (!nameTaken) removeFile(temporary);
    SetLastError(error);
    return false;
  }
}

}  // namespace

bool copyFileSafely(const std::wstring& source, const std::wstring& target, bool nameIsFree) {
  notify(L"copy", source);
  std::wstring from = apiPath(source), to = apiPath(target);
  std::wstring folder = folderOf(to);
  if (from.empty() || folder.empty()) return false;
  // Where the name is free nothing can be lost, so the copy goes straight to
  // it, made new so that it never lands on a file that appeared meanwhile.
  // Then a file left there after a failure can only be this copy's own,
  // incomplete one, and it goes again.  A taken name, or any other answer,
  // leaves it to the temporary file below.
  if (nameIsFree || (GetFileAttributesW(to.c_str()) == INVALID_FILE_ATTRIBUTES &&
                     GetLastError() == ERROR_FILE_NOT_FOUND)) {
    if (CopyFileW(from.c_str(), to.c_str(), TRUE)) return true;
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      if (GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES) removeFile(to);
      SetLastError(error);
      return false;
    }
  }
  std::wstring temporary;
  if (!copyToTemporary(from, folder, temporary)) return false;
  if (MoveFileExW(temporary.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  DWORD error = GetLastError();
  removeFile(temporary);
  SetLastError(error);
  return false;
}

bool moveFile(const std::wstring& source, const std::wstring& target) {
  notify(L"move", source);
  std::wstring from = apiPath(source), to = apiPath(target);
  std::wstring folder = folderOf(to);
  if (from.empty() || folder.empty()) return false;
  // Within one volume a move is a rename; without MOVEFILE_REPLACE_EXISTING
  // an existing target makes it fail.
  if (MoveFileExW(from.c_str(), to.c_str(), 0)) return true;
  if (GetLastError() != ERROR_NOT_SAME_DEVICE) return false;
  // To another volume it is a copy and a delete.  The platform's own
  // copy-and-delete leaves part of the file at the target when the copy
  // fails (a full disk), so the copy goes to a temporary file, which takes
  // the target's name only when complete, and never over an existing file.
  std::wstring temporary;
  if (!copyToTemporary(from, folder, temporary)) return false;
  if (!MoveFileExW(temporary.c_str(), to.c_str(), 0)) {
    DWORD error = GetLastError();
    removeFile(temporary);
    SetLastError(error);
    return false;
  }
  DWORD attributes = GetFileAttributesW(from.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    SetFileAttributesW(from.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (DeleteFileW(from.c_str())) return true;
  // The source cannot go (another program holds it): the copy is taken
  // back, so the file stays in one place and the move counts as failed.
  DWORD error = GetLastError();
  if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(from.c_str(), attributes);
  removeFile(to);
  SetLastError(error);
  return false;
}

bool createFolder(const std::wstring& path) {
  std::wstring api = apiPath(path);
  return !api.empty() && CreateDirectoryW(api.c_str(), nullptr);
}

bool pathExists(const std::wstring& path) {
  std::wstring api = apiPath(path);
  return !api.empty() && GetFileAttributesW(api.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isFolder(const std::wstring& path) {
  std::wstring api = apiPath(path);
  if (api.empty()) return false;
  DWORD attributes = GetFileAttributesW(api.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void setFileOperationHook(FileOperationHook hook) { operationHook = std::move(hook); }
