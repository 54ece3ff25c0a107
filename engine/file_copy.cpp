#include "engine/file_copy.h"

#include <memory>

#include "engine/file_placement.h"
#include "engine/native_file.h"
#include "engine/path_forms.h"
#include "engine/temporary_file.h"

namespace {

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

// The attributes a copy carries, as CreateFileW and NtSetInformationFile
// take them; a file always has the archive bit when it is made.
ULONG copiedAttributes(ULONG attributes) {
  return (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                        FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                        FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE)) |
         FILE_ATTRIBUTE_ARCHIVE;
}

// Gives the complete copy its name; `timesSet` says whether it kept the
// times set on it (a replace by name does not).
bool place(Temporary& copy, const std::wstring& to, bool replace, bool timesOnCopy,
           bool* timesSet) {
  switch (placeTemporary(copy, to, replace)) {
    case Placement::ByHandle:
      if (timesSet) *timesSet = timesOnCopy;
      return true;
    case Placement::ByName:
      return true;
    case Placement::Failed:
      break;
  }
  return false;
}

// A copy made by CopyFileW, which carries what reading the data would not
// (named streams, extended attributes, compression, encryption).
bool copyThroughPlatform(const std::wstring& from, const std::wstring& to,
                         const std::wstring& folder, const FileTimes* times, bool* timesSet) {
  Temporary copy = Temporary::copyOf(from, folder);
  if (!copy) return false;
  bool set = false;
  if (times) {
    BasicInformation info{};
    info.created = largeOf(times->created);
    info.accessed = largeOf(times->accessed);
    info.written = largeOf(times->written);
    set = writeBasicInformation(copy.handle(), info);
  }
  return place(copy, to, true, set, timesSet);
}

// Copies the open file `source` (`from`, which the open has read `info`
// of) to the target `to` in `folder`: through its handle into a temporary
// file that gets the times and attributes of `info` and then its name.  A
// file with more than its data to carry goes through CopyFileW, which opens
// the source itself.  `source` is closed before the copy takes its name: it
// may be that very target.
bool copyOpenFile(FileHandle& source, const std::wstring& from, const std::wstring& to,
                  const std::wstring& folder, const BasicInformation& info, bool* timesSet) {
  if (!plainFile(source.get(), info.attributes)) {
    source.reset();
    FileTimes times{fileTimeOf(info.created), fileTimeOf(info.accessed), fileTimeOf(info.written)};
    return copyThroughPlatform(from, to, folder, &times, timesSet);
  }
  BasicInformation copied = info;
  copied.changed.QuadPart = 0;
  copied.attributes = copiedAttributes(info.attributes);
  Temporary copy = Temporary::create(folder);
  if (!copy || !copyData(source.get(), copy.handle())) return false;
  source.reset();
  // Times and attributes before the name, so that the file never has its
  // name without them.  A volume that refuses the times still gets the
  // attributes; the caller then tries the times once more by name.
  bool set = writeBasicInformation(copy.handle(), copied);
  bool attributesSet = set;
  if (!set) {
    BasicInformation attributesOnly{};
    attributesOnly.attributes = copied.attributes;
    attributesSet = writeBasicInformation(copy.handle(), attributesOnly);
  }
  if (!place(copy, to, true, set, timesSet)) return false;
  // It was made hidden; a volume that took no attributes through the open
  // gets them by name.
  if (!attributesSet) SetFileAttributesW(to.c_str(), copied.attributes);
  return true;
}

}  // namespace

bool copyFileSafely(const std::wstring& source, const std::wstring& target, const FileTimes* times,
                    bool* timesSet) {
  notifyFileOperation(L"copy", source);
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
  if (!copyOpenFile(file, from, to, folder, info, &set)) return false;
  if (timesSet) *timesSet = set && times;
  return true;
}

CopyOutcome copySourceFile(const std::wstring& source, const std::wstring& target, FileTimes* times,
                           bool* timesSet, uint64_t expectedSize) {
  if (!times)
    return copyFileSafely(source, target, nullptr, timesSet) ? CopyOutcome::Copied
                                                             : CopyOutcome::Failed;
  notifyFileOperation(L"read", source);
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
  notifyFileOperation(L"copy", source);
  if (folder.empty()) return CopyOutcome::Failed;
  if (expectedSize > kSharedCopyAbove) {
    // Its times are read: others may read it while its data is copied, as
    // they may while CopyFileW copies it.  Another program that has begun
    // writing it meanwhile fails this open, and so the copy.
    file.reset();
    file.reset(CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return CopyOutcome::Failed;
  }
  info.changed.QuadPart = 0;
  return copyOpenFile(file, from, to, folder, info, timesSet) ? CopyOutcome::Copied
                                                              : CopyOutcome::Failed;
}

bool moveFile(const std::wstring& source, const std::wstring& target) {
  notifyFileOperation(L"move", source);
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
  {
    Temporary copy = Temporary::copyOf(from, folder);
    if (!copy || placeTemporary(copy, to, false) == Placement::Failed) return false;
  }
  DWORD attributes = GetFileAttributesW(from.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    SetFileAttributesW(from.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (DeleteFileW(from.c_str())) return true;
  // The source cannot go (another program holds it): the copy is taken
  // back, so the file stays in one place and the move counts as failed.
  DWORD error = GetLastError();
  if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(from.c_str(), attributes);
  removeOwnFile(to);
  SetLastError(error);
  return false;
}
