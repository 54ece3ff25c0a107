#include "engine/file_ops.h"

#include <utility>

#include "engine/native_file.h"

namespace {

FileOperationHook operationHook;

}  // namespace

void notifyFileOperation(const wchar_t* operation, const std::wstring& path) {
  if (operationHook) operationHook(operation, path);
}

bool canEnterFolder(const std::wstring& folder, FolderIdentity* identity) {
  std::wstring path = apiPath(folder);
  if (path.empty()) return false;
  // The same access that making it the current folder needs.
  FileHandle handle(CreateFileW(path.c_str(), FILE_TRAVERSE | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle.get(), &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  if (identity) {
    *identity = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow,
                 ticksOf(info.ftCreationTime)};
  }
  return true;
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
  notifyFileOperation(L"read", path);
  std::wstring api = apiPath(path);
  // The open with no sharing decides whether the file may be read (another
  // program holding it fails it); the times are then read by name, which
  // costs less than asking the open handle and gives the same values.
  if (!FileHandle(CreateFileW(api.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)))
    return false;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(api.c_str(), GetFileExInfoStandard, &data)) return false;
  times.created = data.ftCreationTime;
  times.accessed = data.ftLastAccessTime;
  times.written = data.ftLastWriteTime;
  return true;
}

void removeOwnFile(const std::wstring& path) {
  DWORD error = GetLastError();
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(path.c_str());
  SetLastError(error);
}

bool canOpenForRead(const std::wstring& path) {
  notifyFileOperation(L"read", path);
  FileHandle file(CreateFileW(apiPath(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  return static_cast<bool>(file);
}

bool writeFileTimes(const std::wstring& path, const FileTimes& times) {
  notifyFileOperation(L"write", path);
  // The right to write attributes is all SetFileTime needs, and unlike
  // GENERIC_WRITE a read-only file grants it.
  FileHandle file(CreateFileW(apiPath(path).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  SetFileTime(file.get(), &times.created, &times.accessed, &times.written);
  return true;
}

bool freeSpaceAt(const std::wstring& path, uint64_t& freeBytes, uint64_t& clusterBytes) {
  std::wstring folder = apiPath(path);
  ULARGE_INTEGER available;
  for (;;) {
    if (folder.empty()) return false;
    std::wstring asked = folder.back() == L'\\' ? folder : folder + L'\\';
    if (GetDiskFreeSpaceExW(asked.c_str(), &available, nullptr, nullptr)) break;
    std::wstring parent = folderOf(folder);
    if (parent.size() <= 4 || parent == folder) return false;  // nothing left but "\\?\"
    folder = parent;
  }
  freeBytes = available.QuadPart;
  clusterBytes = 4096;
  wchar_t root[MAX_PATH + 1];
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
  if (GetVolumePathNameW(folder.c_str(), root, MAX_PATH + 1) &&
      GetDiskFreeSpaceW(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters) &&
      sectorsPerCluster && bytesPerSector)
    clusterBytes = static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector;
  return true;
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
