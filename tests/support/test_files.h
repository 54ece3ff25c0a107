#pragma once
// Test helpers: a fresh temporary folder per test, files with chosen bytes
// and times, reading files and logs back.

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A new empty folder under the system's temp folder, removed with its
// contents when the object goes.  path() has no trailing backslash.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

 private:
  std::wstring path_;
};

// Creates every missing folder of `path` (plain or "\\?\" form).
void makeFolders(const std::wstring& path);
// Writes `bytes` to `path`, creating parent folders; optionally sets the
// last-write (and creation) time to `time` (FILETIME ticks).
void writeFile(const std::wstring& path, const std::string& bytes, uint64_t time = 0);
std::string readFile(const std::wstring& path);
// Whether the file holds exactly `bytes`; reads in pieces, without a copy.
bool fileHolds(const std::wstring& path, const std::string& bytes);
bool fileExists(const std::wstring& path);
bool folderExists(const std::wstring& path);
void removeTree(const std::wstring& path);

uint64_t toTicks(FILETIME time);
FILETIME toFileTime(uint64_t ticks);
// Times read through a shared open (works while the file is locked elsewhere).
struct TestFileTimes {
  uint64_t created = 0, accessed = 0, written = 0;
};
TestFileTimes fileTimes(const std::wstring& path);
void setFileTimes(const std::wstring& path, uint64_t created, uint64_t accessed, uint64_t written);
// 2024-01-01 00:00:00 UTC plus `seconds`.
uint64_t ticksAt(int64_t seconds);

// Names (not paths) of the files and folders directly in `folder`, sorted.
std::vector<std::wstring> listFolder(const std::wstring& folder);
// Every file below `folder`, as relative paths with "\", sorted.
std::vector<std::wstring> listTree(const std::wstring& folder);

// A folder link at `link` that leads to `target`: under Wine a symbolic
// link made by the system's ln (Wine's own call makes none), on Windows a
// directory symbolic link.  removeFolderLink takes the link away, never
// what it leads to.
bool makeFolderLink(const std::wstring& link, const std::wstring& target);
void removeFolderLink(const std::wstring& link);
// The same for many at once (one program started for all of them).
using FolderLinks = std::vector<std::pair<std::wstring, std::wstring>>;  // link, target
bool makeFolderLinks(const FolderLinks& links);
void removeFolderLinks(const std::vector<std::wstring>& links);

// The small file system mounted for disk-full tests (OSTRELLE_DISKFULL, a
// Linux path, seen here as Z:\...), or "" when none was mounted.
std::wstring smallDisk();
// A folder named by the environment variable `variable` (a Linux path, seen
// here as Z:\..., or a Windows path), or "" when it is not set.
std::wstring folderFromEnvironment(const char* variable);
// A path as the build gives it (a Linux path, seen here as Z:\..., or a
// Windows path), with "\" separators and no trailing one.
std::wstring windowsPath(const std::string& linuxOrWindowsPath);
// Bytes free to the caller on the disk holding `folder`.
uint64_t freeBytes(const std::wstring& folder);

// Opens a file with no sharing for the object's lifetime, so that every
// other open fails with a sharing violation.
class LockedFile {
 public:
  explicit LockedFile(const std::wstring& path);
  ~LockedFile();
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;
  bool locked() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};
