#include "engine/temporary_file.h"

#include <atomic>
#include <utility>
#include <vector>

#include "base/text.h"
#include "base/texts.h"
#include "engine/file_ops.h"
#include "engine/native_file.h"
#include "engine/path_forms.h"
#include "log/ordered_log.h"

namespace {

constexpr wchar_t kMarker[] = L"~ostrelle-part-";
constexpr wchar_t kSuffix[] = L".tmp";
constexpr size_t kMarkerLength = 15, kFieldDigits = 8, kSuffixLength = 4;
constexpr size_t kNameLength = kMarkerLength + 3 * kFieldDigits + 2 + kSuffixLength;

// The second the process started: with the process id it keeps this run's
// names apart from those another process makes at the same time.
DWORD processStartSecond() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  return static_cast<DWORD>(ticksOf(created) / 10000000);
}

const std::wstring& ownStamp() {
  static const std::wstring stamp =
      formatText(L"%08lx-%08lx", GetCurrentProcessId(), processStartSecond());
  return stamp;
}

bool isLowerHex(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); }

// Deletes through `file`, which must be open with DELETE access and
// FILE_WRITE_ATTRIBUTES; a read-only file loses that attribute first.
bool deleteThrough(HANDLE file) {
  if (deleteOnClose(file)) return true;
  BasicInformation normal{};
  normal.attributes = FILE_ATTRIBUTE_NORMAL;
  return writeBasicInformation(file, normal) && deleteOnClose(file);
}

// Removes a temporary that nobody holds: the open without sharing is the
// proof, and the removal goes through that very open, so nothing can take
// hold of the file in between.  A link is removed itself, never followed.
bool removeIfDead(const std::wstring& path) {
  FileHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                              0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return false;
  BasicInformation info{};
  if (!readBasicInformation(file.get(), info) || (info.attributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  return deleteThrough(file.get());
}

}  // namespace

bool isTemporaryName(std::wstring_view name) {
  if (name.size() != kNameLength || name.substr(0, kMarkerLength) != kMarker ||
      name.substr(kNameLength - kSuffixLength) != kSuffix)
    return false;
  for (size_t i = kMarkerLength; i < kNameLength - kSuffixLength; ++i) {
    bool separator = (i - kMarkerLength) % (kFieldDigits + 1) == kFieldDigits;
    if (separator ? name[i] != L'-' : !isLowerHex(name[i])) return false;
  }
  return true;
}

std::wstring newTemporaryPath(const std::wstring& folder) {
  static std::atomic<unsigned> counter{0};
  return formatText(L"%s\\%s%s-%08x%s", folder.c_str(), kMarker, ownStamp().c_str(),
                    counter.fetch_add(1), kSuffix);
}

Temporary::Temporary(Temporary&& other) noexcept
    : file_(std::move(other.file_)), path_(std::move(other.path_)) {
  other.path_.clear();
}

Temporary& Temporary::operator=(Temporary&& other) noexcept {
  if (this != &other) {
    remove();
    file_ = std::move(other.file_);
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

Temporary::~Temporary() { remove(); }

Temporary Temporary::create(const std::wstring& folder) {
  Temporary temporary;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring path = newTemporaryPath(folder);
    FileHandle file(CreateFileW(
        path.c_str(), GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, nullptr));
    if (file) {
      temporary.file_ = std::move(file);
      temporary.path_ = std::move(path);
      break;
    }
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  return temporary;
}

Temporary Temporary::copyOf(const std::wstring& from, const std::wstring& folder) {
  Temporary temporary;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring path = newTemporaryPath(folder);
    if (!CopyFileW(from.c_str(), path.c_str(), TRUE)) {
      DWORD error = GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      // A copy that failed half-way may have left part of the file behind.
      removeOwnFile(path);
      break;
    }
    // CopyFileW has closed it: from here on it is held like one made here.
    FileHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (file) {
      temporary.file_ = std::move(file);
      temporary.path_ = std::move(path);
      break;
    }
    // Taken away in that moment (by a cleanup that saw nobody hold it), or
    // held by another program: once more under a new name.
    if (GetLastError() != ERROR_FILE_NOT_FOUND) removeOwnFile(path);
  }
  return temporary;
}

LONG Temporary::rename(const std::wstring& to, bool replace) {
  LONG status = file_ ? renameOpenFile(file_.get(), to, replace) : kStatusNotImplemented;
  if (status >= 0) release();
  return status;
}

void Temporary::release() {
  file_.reset();
  path_.clear();
}

void Temporary::remove() {
  if (path_.empty()) return;
  DWORD error = GetLastError();  // the caller may still look at why a step failed
  bool gone = file_ && deleteThrough(file_.get());
  file_.reset();
  if (!gone) removeOwnFile(path_);
  path_.clear();
  SetLastError(error);
}

int removeDeadTemporaries(const std::wstring& folder, LogSink& log,
                          const std::function<void(const WIN32_FIND_DATAW&)>& everyEntry) {
  std::wstring api = apiPath(folder);
  if (api.empty()) return 0;
  std::vector<std::wstring> candidates;
  {
    WIN32_FIND_DATAW data;
    std::wstring pattern =
        everyEntry ? joinPath(api, L"*") : formatText(L"%s\\%s*%s", api.c_str(), kMarker, kSuffix);
    FindHandle find(FindFirstFileW(pattern.c_str(), &data));
    if (!find) return 0;
    do {
      if (everyEntry) everyEntry(data);
      if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && isTemporaryName(data.cFileName))
        candidates.push_back(joinPath(api, data.cFileName));
    } while (FindNextFileW(find.get(), &data));
  }
  int removed = 0;
  for (const std::wstring& path : candidates) {
    if (!removeIfDead(path)) continue;
    ++removed;
    log.write(texts::kCategoryNotice,
              formatText(texts::kDeadTemporaryRemoved, plainPathOf(path).c_str()));
  }
  return removed;
}
