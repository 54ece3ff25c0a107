#include "engine/file_ops.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
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

bool isFullDestination(const std::wstring& destination) {
  std::wstring path = withBackslashes(destination);
  if (hasLongPrefix(path)) return true;
  if (isBareDrive(path)) return true;
  if (path.size() >= 3 && path[1] == L':' && iswalpha(path[0]) && path[2] == L'\\') return true;
  // "\\server\..." but not the device namespace "\\.\" nor "\\?" alone.
  return path.size() > 2 && startsWith(path, L"\\\\") && path[2] != L'\\' && path[2] != L'.' &&
         path[2] != L'?';
}

std::wstring normaliseDestination(const std::wstring& destination) {
  if (destination.empty()) return {};
  std::wstring path = withBackslashes(destination);
  if (hasLongPrefix(path)) {
    path.erase(0, 4);
  } else if (!isBareDrive(path)) {
    // Only full paths come here, so the current folder plays no part; this
    // resolves "." and "..", which "\\?\" would take literally.
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
  if (identity) *identity = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
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
  notify(L"read", path);
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

bool canOpenForRead(const std::wstring& path) {
  notify(L"read", path);
  FileHandle file(CreateFileW(apiPath(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  return static_cast<bool>(file);
}

bool writeFileTimes(const std::wstring& path, const FileTimes& times) {
  notify(L"write", path);
  // The right to write attributes is all SetFileTime needs, and unlike
  // GENERIC_WRITE a read-only file grants it.
  FileHandle file(CreateFileW(apiPath(path).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  SetFileTime(file.get(), &times.created, &times.accessed, &times.written);
  return true;
}

namespace {

constexpr wchar_t kTemporaryPrefix[] = L"~ostrelle-";
constexpr wchar_t kTemporarySuffix[] = L".tmp";

std::atomic<int> replaceMethod{static_cast<int>(ReplaceMethod::Automatic)};

// The second the process started, as a 32-bit count: with the process id it
// names this run's temporaries apart from those of a dead process whose id
// has been given to another.
DWORD processStartSecond(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  uint64_t ticks = (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  return static_cast<DWORD>(ticks / 10000000);
}

const std::wstring& ownStamp() {
  static const std::wstring stamp =
      formatText(L"%lx-%lx", GetCurrentProcessId(), processStartSecond(GetCurrentProcess()));
  return stamp;
}

std::wstring newTemporaryIn(const std::wstring& folder) {
  static std::atomic<unsigned> counter{0};
  return formatText(L"%s\\%s%s-%x%s", folder.c_str(), kTemporaryPrefix, ownStamp().c_str(),
                    counter++, kTemporarySuffix);
}

// The hexadecimal fields of a temporary name; empty when it is none.
std::vector<DWORD> temporaryFields(std::wstring_view name) {
  const size_t prefix = wcslen(kTemporaryPrefix), suffix = wcslen(kTemporarySuffix);
  if (name.size() < prefix + suffix + 3) return {};
  if (!sameName(name.substr(0, prefix), kTemporaryPrefix) ||
      !sameName(name.substr(name.size() - suffix), kTemporarySuffix))
    return {};
  std::vector<DWORD> fields(1, 0);
  size_t digits = 0;
  for (wchar_t c : name.substr(prefix, name.size() - prefix - suffix)) {
    if (c == L'-') {
      if (digits == 0) return {};
      fields.push_back(0);
      digits = 0;
    } else if (((c >= L'0' && c <= L'9') || ((c | 0x20) >= L'a' && (c | 0x20) <= L'f')) &&
               ++digits <= 8) {
      unsigned value = c <= L'9' ? c - L'0' : (c | 0x20) - L'a' + 10;
      fields.back() = fields.back() * 16 + value;
    } else {
      return {};
    }
  }
  if (digits == 0 || fields.size() < 2) return {};
  return fields;
}

// Whether the process that made a temporary is still running.  Names from
// before the start second was part of them carry a counter in its place and
// count as dead unless the id's process is the very same.
bool ownerAlive(DWORD processId, DWORD startSecond) {
  if (processId == GetCurrentProcessId())
    return startSecond == processStartSecond(GetCurrentProcess());
  KernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId));
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;  // someone else's: leave it
  DWORD code = 0;
  if (GetExitCodeProcess(process.get(), &code) && code != STILL_ACTIVE) return false;
  return processStartSecond(process.get()) == startSecond;
}

void removeFolderWithFiles(const std::wstring& folder) {
  WIN32_FIND_DATAW data;
  FindHandle find(FindFirstFileW(joinPath(folder, L"*").c_str(), &data));
  if (find) {
    do {
      if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        removeFile(joinPath(folder, data.cFileName));
    } while (FindNextFileW(find.get(), &data));
  }
  find.reset();
  RemoveDirectoryW(folder.c_str());
}

bool underWine() {
  static const bool wine =
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

bool usePlatformReplace() {
  auto method = static_cast<ReplaceMethod>(replaceMethod.load());
  if (method == ReplaceMethod::Automatic) return !underWine();
  return method == ReplaceMethod::Platform;
}

// Answers of ReplaceFileW that mean the volume does not do it at all (some
// network and FAT volumes), as opposed to this file failing.
bool replaceRefused(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
}

// Puts the complete copy `temporary` in place of the existing file `to`.
bool replaceExisting(const std::wstring& temporary, const std::wstring& to) {
  if (usePlatformReplace()) {
    if (ReplaceFileW(to.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                     nullptr, nullptr))
      return true;
    DWORD error = GetLastError();
    // The old file is gone and the copy still has its temporary name: give
    // it the name, the complete file that was to replace the old one.
    if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT)
      return MoveFileExW(temporary.c_str(), to.c_str(), 0) != FALSE;
    if (!replaceRefused(error)) {
      SetLastError(error);
      return false;
    }
  }
  return MoveFileExW(temporary.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

// NtSetInformationFile's rename of an open file: a new name only.
struct RenameInformation {
  BOOLEAN replaceIfExists;
  HANDLE rootDirectory;
  ULONG fileNameLength;
  WCHAR fileName[1];
};
using SetInformationFile = LONG(WINAPI*)(HANDLE, void* ioStatus, void* information, ULONG length,
                                         int informationClass);
constexpr int kFileRenameInformation = 10;

SetInformationFile setInformationFile() {
  static const auto function = reinterpret_cast<SetInformationFile>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetInformationFile")));
  return function;
}

constexpr LONG kStatusNotImplemented = static_cast<LONG>(0xC0000002),
               kStatusNotSameDevice = static_cast<LONG>(0xC00000D4);

// Gives the open file a new name, never replacing one: NtSetInformationFile's
// rename of an open file, for which the handle needs DELETE access.  Returns
// the status; negative on failure.
LONG renameOpenFile(HANDLE file, const std::wstring& to) {
  SetInformationFile setInformation = setInformationFile();
  if (!setInformation || !hasLongPrefix(to)) return kStatusNotImplemented;
  // The system's own form of "\\?\" paths is "\??\".
  std::wstring ntName = L"\\??\\" + to.substr(4);
  std::vector<char> buffer(offsetof(RenameInformation, fileName) +
                           (ntName.size() + 1) * sizeof(wchar_t));
  auto* rename = reinterpret_cast<RenameInformation*>(buffer.data());
  rename->replaceIfExists = FALSE;
  rename->rootDirectory = nullptr;
  rename->fileNameLength = static_cast<ULONG>(ntName.size() * sizeof(wchar_t));
  std::copy(ntName.begin(), ntName.end(), rename->fileName);
  ULONG_PTR ioStatus[2] = {};
  return setInformation(file, ioStatus, rename, static_cast<ULONG>(buffer.size()),
                        kFileRenameInformation);
}

// Sets the times of the copy `temporary` and gives it the new name `to`
// through one open.  False (nothing renamed) when any step fails; the
// caller then goes the way of names.
bool setTimesAndRename(const std::wstring& temporary, const std::wstring& to,
                       const FileTimes& times) {
  if (!setInformationFile() || !hasLongPrefix(to)) return false;
  FileHandle file(CreateFileW(temporary.c_str(), DELETE | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, 0,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  SetFileTime(file.get(), &times.created, &times.accessed, &times.written);
  return renameOpenFile(file.get(), to) >= 0;
}

// Gives the complete copy `temporary` the name `to`: a new name at once; an
// existing file is replaced, also a read-only one, and the result carries
// the copy's attributes; a folder of that name stays.  The temporary file
// is gone afterwards either way, unless the answer is ERROR_NOT_SAME_DEVICE
// (then the caller makes the copy again beside the target).
bool placeTemporary(const std::wstring& temporary, const std::wstring& to, const FileTimes* times,
                    bool* timesSet) {
  // With times to set, one open of the copy sets them and gives it its name
  // (a new one only): the request for the name is the one the rename below
  // would make anyway, and the open to set the times afterwards is saved.
  if (times && setTimesAndRename(temporary, to, *times)) {
    if (timesSet) *timesSet = true;
    return true;
  }
  if (MoveFileExW(temporary.c_str(), to.c_str(), 0)) return true;
  DWORD error = GetLastError();
  if (error == ERROR_NOT_SAME_DEVICE) return false;
  DWORD oldAttributes = GetFileAttributesW(to.c_str());
  if (oldAttributes == INVALID_FILE_ATTRIBUTES || (oldAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    removeFile(temporary);
    SetLastError(error);
    return false;
  }
  DWORD newAttributes = GetFileAttributesW(temporary.c_str());
  bool unlocked = (oldAttributes & FILE_ATTRIBUTE_READONLY) &&
                  SetFileAttributesW(to.c_str(), oldAttributes & ~FILE_ATTRIBUTE_READONLY);
  if (!replaceExisting(temporary, to)) {
    error = GetLastError();
    if (unlocked) SetFileAttributesW(to.c_str(), oldAttributes);
    removeFile(temporary);
    SetLastError(error);
    return false;
  }
  // The platform's replace keeps the old file's attributes; the copy's win.
  if (newAttributes != INVALID_FILE_ATTRIBUTES && GetFileAttributesW(to.c_str()) != newAttributes)
    SetFileAttributesW(to.c_str(), newAttributes);
  return true;
}

// Copies `from` to a new temporary file, in the staging area when there is
// one and otherwise in `folder`, and names it in `temporary`.  On failure
// nothing is left behind.
bool copyToTemporary(const std::wstring& from, const std::wstring& folder, StagingArea* staging,
                     std::wstring& temporary) {
  for (int attempt = 0;; ++attempt) {
    temporary = staging ? staging->newTemporary() : std::wstring();
    if (temporary.empty()) temporary = newTemporaryIn(folder);
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

// NtQueryInformationFile and NtSetInformationFile on an open file: the
// times and attributes in one record (zero: leave as it is), the named
// streams and the size of the extended attributes.
struct BasicInformation {
  LARGE_INTEGER created, accessed, written, changed;
  ULONG attributes;
};
struct StreamInformation {
  ULONG nextEntryOffset;
  ULONG nameLength;
  LARGE_INTEGER size, allocationSize;
  WCHAR name[1];
};
using QueryInformationFile = LONG(WINAPI*)(HANDLE, void* ioStatus, void* information, ULONG length,
                                           int informationClass);
constexpr int kFileBasicInformation = 4, kFileEaInformation = 7, kFileStreamInformation = 22;
constexpr LONG kStatusBufferOverflow = static_cast<LONG>(0x80000005),
               kStatusBufferTooSmall = static_cast<LONG>(0xC0000023);

QueryInformationFile queryInformationFile() {
  static const auto function = reinterpret_cast<QueryInformationFile>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
  return function;
}

bool readBasicInformation(HANDLE file, BasicInformation& info) {
  QueryInformationFile query = queryInformationFile();
  ULONG_PTR ioStatus[2] = {};
  return query && query(file, ioStatus, &info, sizeof info, kFileBasicInformation) >= 0;
}

bool writeBasicInformation(HANDLE file, const BasicInformation& info) {
  SetInformationFile setInformation = setInformationFile();
  ULONG_PTR ioStatus[2] = {};
  BasicInformation copy = info;
  return setInformation &&
         setInformation(file, ioStatus, &copy, sizeof copy, kFileBasicInformation) >= 0;
}

LARGE_INTEGER largeOf(const FILETIME& time) {
  LARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = static_cast<LONG>(time.dwHighDateTime);
  return value;
}

FILETIME fileTimeOf(const LARGE_INTEGER& value) {
  return FILETIME{value.LowPart, static_cast<DWORD>(value.HighPart)};
}

// Whether reading and writing the file's data carries everything CopyFileW
// would: no named streams, no extended attributes, and not encrypted,
// compressed or sparse.  A volume that lists no streams (the query is
// refused) has none that CopyFileW could copy either.
bool plainFile(HANDLE file, ULONG attributes) {
  if (attributes & (FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_COMPRESSED |
                    FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_REPARSE_POINT))
    return false;
  QueryInformationFile query = queryInformationFile();
  if (!query) return false;
  ULONG_PTR ioStatus[2] = {};
  ULONG eaSize = 0;
  if (query(file, ioStatus, &eaSize, sizeof eaSize, kFileEaInformation) >= 0 && eaSize != 0)
    return false;
  // Wine keeps no streams besides the data, and answers the query with a
  // diagnostic line on the console for every file.
  if (underWine()) return true;
  alignas(8) char buffer[512];
  LONG status = query(file, ioStatus, buffer, sizeof buffer, kFileStreamInformation);
  return onlyDataStream(status, buffer, sizeof buffer);
}

// The attributes a copy carries, as CreateFileW and NtSetInformationFile
// take them; a file always has the archive bit when it is made.
ULONG copiedAttributes(ULONG attributes) {
  return (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                        FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                        FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE)) |
         FILE_ATTRIBUTE_ARCHIVE;
}

// Creates a new temporary file for a copy, in the staging area when there
// is one and otherwise in `folder`, open for writing and renaming.
FileHandle createTemporary(const std::wstring& folder, StagingArea* staging, ULONG attributes,
                           std::wstring& temporary) {
  DWORD flags = attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY);
  for (int attempt = 0;; ++attempt) {
    temporary = staging ? staging->newTemporary() : std::wstring();
    if (temporary.empty()) temporary = newTemporaryIn(folder);
    FileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                flags ? flags : FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file || attempt >= 100) return file;
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return file;
  }
}

// Reads `from` from where it stands to its end into `to`.  The buffer
// grows for a file that fills the first one.
bool copyData(HANDLE from, HANDLE to) {
  constexpr DWORD kSmall = 64 * 1024, kLarge = 1024 * 1024;
  DWORD size = kSmall;
  std::unique_ptr<char[]> buffer(new char[size]);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(from, buffer.get(), size, &read, nullptr)) return false;
    if (read == 0) return true;
    DWORD written = 0;
    if (!WriteFile(to, buffer.get(), read, &written, nullptr)) return false;
    if (written != read) {
      SetLastError(ERROR_DISK_FULL);
      return false;
    }
    if (read == size && size < kLarge) {
      size = kLarge;
      buffer.reset(new char[size]);
    }
  }
}

// Copies the open file `source` (`from`, which the open has read `info`
// of) to the target `to` in `folder`: through its handle into a temporary
// file that gets the times and attributes of `info` and then its name.
// A file with more than its data to carry goes through CopyFileW, which
// opens the source itself, so `source` is closed for that.
bool copyOpenFile(FileHandle& source, const std::wstring& from, const std::wstring& to,
                  const std::wstring& folder, StagingArea* staging, const BasicInformation& info,
                  bool* timesSet) {
  if (!plainFile(source.get(), info.attributes)) {
    source.reset();
    FileTimes times{fileTimeOf(info.created), fileTimeOf(info.accessed), fileTimeOf(info.written)};
    for (StagingArea* area : {staging, static_cast<StagingArea*>(nullptr)}) {
      std::wstring temporary;
      if (!copyToTemporary(from, folder, area, temporary)) return false;
      if (placeTemporary(temporary, to, &times, timesSet)) return true;
      if (GetLastError() != ERROR_NOT_SAME_DEVICE || !area) return false;
      removeFile(temporary);
    }
    return false;
  }
  BasicInformation copied = info;
  copied.changed.QuadPart = 0;
  copied.attributes = copiedAttributes(info.attributes);
  // The staging area first; beside the target when the two lie on different
  // volumes (a mounted folder or a link below the destination).
  for (StagingArea* area : {staging, static_cast<StagingArea*>(nullptr)}) {
    std::wstring temporary;
    FileHandle copy = createTemporary(folder, area, copied.attributes, temporary);
    if (!copy) return false;
    if (!copyData(source.get(), copy.get())) {
      DWORD error = GetLastError();
      copy.reset();
      removeFile(temporary);
      SetLastError(error);
      return false;
    }
    // Times and attributes before the name, so that the file never has its
    // name without them.  A volume that refuses the times still gets the
    // attributes; the caller then tries the times once more by name.
    bool set = writeBasicInformation(copy.get(), copied);
    if (!set) {
      BasicInformation attributesOnly{};
      attributesOnly.attributes = copied.attributes;
      writeBasicInformation(copy.get(), attributesOnly);
    }
    // A new name through the same open.
    LONG status = renameOpenFile(copy.get(), to);
    if (status >= 0) {
      if (timesSet) *timesSet = set;
      return true;
    }
    copy.reset();
    if (status == kStatusNotSameDevice && area) {
      removeFile(temporary);
      if (SetFilePointer(source.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return false;
      continue;
    }
    // An existing target is replaced by name, and the caller sets its times
    // again after that.  The source may be that very target: it is closed
    // first.
    source.reset();
    if (placeTemporary(temporary, to, nullptr, nullptr)) return true;
    if (GetLastError() != ERROR_NOT_SAME_DEVICE || !area) return false;
    // Only a volume that answers the rename by handle differently from the
    // rename by name comes here: copy again, beside the target, by name.
    removeFile(temporary);
    FileTimes times{fileTimeOf(copied.created), fileTimeOf(copied.accessed),
                    fileTimeOf(copied.written)};
    if (!copyToTemporary(from, folder, nullptr, temporary)) return false;
    return placeTemporary(temporary, to, &times, timesSet);
  }
  return false;
}

}  // namespace

bool onlyDataStream(long status, const void* streams, size_t size) {
  if (status == kStatusBufferOverflow || status == kStatusBufferTooSmall) return false;
  if (status < 0) return true;  // the volume lists no streams
  static const std::wstring_view dataStream = L"::$DATA";
  const char* bytes = static_cast<const char*>(streams);
  for (size_t at = 0;;) {
    if (at + offsetof(StreamInformation, name) > size) return false;
    const auto* stream = reinterpret_cast<const StreamInformation*>(bytes + at);
    if (at + offsetof(StreamInformation, name) + stream->nameLength > size ||
        std::wstring_view(stream->name, stream->nameLength / sizeof(wchar_t)) != dataStream)
      return false;
    if (stream->nextEntryOffset == 0) return true;
    at += stream->nextEntryOffset;
  }
}

bool isTemporaryName(std::wstring_view name) { return !temporaryFields(name).empty(); }

int removeDeadTemporaries(const std::wstring& folder) {
  std::wstring api = apiPath(folder);
  if (api.empty()) return 0;
  std::vector<std::pair<std::wstring, bool>> dead;
  WIN32_FIND_DATAW data;
  {
    FindHandle find(FindFirstFileW(joinPath(api, L"~ostrelle-*.tmp").c_str(), &data));
    if (!find) return 0;
    do {
      std::vector<DWORD> fields = temporaryFields(data.cFileName);
      if (fields.empty() || ownerAlive(fields[0], fields[1])) continue;
      dead.emplace_back(joinPath(api, data.cFileName),
                        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    } while (FindNextFileW(find.get(), &data));
  }
  for (const auto& [path, isFolder] : dead) {
    if (isFolder)
      removeFolderWithFiles(path);
    else
      removeFile(path);
  }
  return static_cast<int>(dead.size());
}

StagingArea::StagingArea(std::wstring root) : root_(std::move(root)) {}

StagingArea::~StagingArea() {
  if (state_ == 1) removeFolderWithFiles(folder_);
}

std::wstring StagingArea::newTemporary() {
  bool ready;
  {
    ScopedLock lock(lock_);
    if (state_ == 0) {
      std::wstring folder = apiPath(root_);
      if (!folder.empty())
        folder = formatText(L"%s\\%s%s%s", folder.c_str(), kTemporaryPrefix, ownStamp().c_str(),
                            kTemporarySuffix);
      state_ = !folder.empty() && CreateDirectoryW(folder.c_str(), nullptr) ? 1 : -1;
      if (state_ == 1) folder_ = std::move(folder);
    }
    ready = state_ == 1;
  }
  return ready ? newTemporaryIn(folder_) : std::wstring();
}

void setReplaceMethod(ReplaceMethod method) { replaceMethod = static_cast<int>(method); }

bool copyFileSafely(const std::wstring& source, const std::wstring& target, StagingArea* staging,
                    const FileTimes* times, bool* timesSet) {
  notify(L"copy", source);
  if (timesSet) *timesSet = false;
  std::wstring from = apiPath(source), to = apiPath(target);
  std::wstring folder = folderOf(to);
  if (from.empty() || folder.empty()) return false;
  // The sharing CopyFileW opens its source with.
  FileHandle file(CreateFileW(from.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  BasicInformation info;
  if (!file || !readBasicInformation(file.get(), info)) return false;
  // Without times of the caller's the copy keeps the last-write time only,
  // as CopyFileW's do.
  info.created = times ? largeOf(times->created) : LARGE_INTEGER{};
  info.accessed = times ? largeOf(times->accessed) : LARGE_INTEGER{};
  if (times) info.written = largeOf(times->written);
  bool set = false;
  if (!copyOpenFile(file, from, to, folder, staging, info, &set)) return false;
  if (timesSet) *timesSet = set && times;
  return true;
}

CopyOutcome copySourceFile(const std::wstring& source, const std::wstring& target,
                           StagingArea* staging, FileTimes* times, bool* timesSet) {
  if (!times)
    return copyFileSafely(source, target, staging, nullptr, timesSet) ? CopyOutcome::Copied
                                                                      : CopyOutcome::Failed;
  notify(L"read", source);
  if (timesSet) *timesSet = false;
  std::wstring from = apiPath(source), to = apiPath(target);
  std::wstring folder = folderOf(to);
  FileHandle file;
  if (!from.empty())
    file.reset(CreateFileW(from.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  BasicInformation info;
  if (!file || !readBasicInformation(file.get(), info)) return CopyOutcome::SourceNotOpened;
  *times = FileTimes{fileTimeOf(info.created), fileTimeOf(info.accessed), fileTimeOf(info.written)};
  notify(L"copy", source);
  if (folder.empty()) return CopyOutcome::Failed;
  info.changed.QuadPart = 0;
  return copyOpenFile(file, from, to, folder, staging, info, timesSet) ? CopyOutcome::Copied
                                                                       : CopyOutcome::Failed;
}

bool moveFile(const std::wstring& source, const std::wstring& target, StagingArea* staging) {
  notify(L"move", source);
  std::wstring from = apiPath(source), to = apiPath(target);
  std::wstring folder = folderOf(to);
  if (from.empty() || folder.empty()) return false;
  // Within one volume a move is a rename; without MOVEFILE_REPLACE_EXISTING
  // an existing target makes it fail.
  if (MoveFileExW(from.c_str(), to.c_str(), 0)) return true;
  if (GetLastError() != ERROR_NOT_SAME_DEVICE) return false;
  // To another volume it is a copy and a delete.  The copy takes the
  // target's name only when complete, and never over an existing file; the
  // source goes only after that, so a kill at any moment leaves the file
  // whole in one place or both.
  std::wstring temporary;
  bool placed = false;
  for (StagingArea* area : {staging, static_cast<StagingArea*>(nullptr)}) {
    if (!copyToTemporary(from, folder, area, temporary)) return false;
    if (MoveFileExW(temporary.c_str(), to.c_str(), 0)) {
      placed = true;
      break;
    }
    DWORD error = GetLastError();
    removeFile(temporary);
    if (error != ERROR_NOT_SAME_DEVICE || !area) {
      SetLastError(error);
      return false;
    }
  }
  if (!placed) return false;
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
