#include "engine/same_file.h"

#include <windows.h>

#include <map>

#include "base/sync.h"
#include "engine/native_file.h"
#include "engine/path_forms.h"

namespace {

// The root of the volume that holds `folder` ("" when unknown).
std::wstring volumeRootOf(const std::wstring& folder) {
  std::wstring path = folder.empty() || folder.back() == L'\\' ? folder : folder + L'\\';
  std::wstring root(path.size() + 2, L'\0');
  if (path.empty() || !GetVolumePathNameW(path.c_str(), &root[0], static_cast<DWORD>(root.size())))
    return {};
  root.resize(wcslen(root.c_str()));
  return root;
}

}  // namespace

uint64_t timePrecisionOf(const std::wstring& fileSystemName) {
  std::wstring name = fileSystemName;
  for (wchar_t& c : name)
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  if (name == L"NTFS" || name == L"REFS") return kExactTime;
  if (name == L"EXFAT") return kExFatTime;
  return kFatTime;
}

uint64_t timePrecisionAt(const std::wstring& folder) {
  static CriticalSection lock;
  static std::map<std::wstring, uint64_t> known;  // by volume root
  std::wstring root = volumeRootOf(folder);
  {
    ScopedLock hold(lock);
    auto found = known.find(root);
    if (found != known.end()) return found->second;
  }
  wchar_t fileSystem[MAX_PATH + 1] = {};
  uint64_t precision = kFatTime;
  if (!root.empty() && GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr,
                                             fileSystem, MAX_PATH + 1))
    precision = timePrecisionOf(fileSystem);
  ScopedLock hold(lock);
  known.emplace(root, precision);
  return precision;
}

bool sameTime(uint64_t a, uint64_t b, uint64_t precision) {
  return (a > b ? a - b : b - a) < precision;
}

void FolderSnapshot::add(const WIN32_FIND_DATAW& entry) {
  if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return;
  uint64_t size = joinedHalves(entry.nFileSizeHigh, entry.nFileSizeLow);
  files_[foldedPath(entry.cFileName)] = File{size, ticksOf(entry.ftLastWriteTime)};
}

bool FolderSnapshot::holdsSame(std::wstring_view name, uint64_t size, uint64_t written,
                               uint64_t precision) const {
  auto found = files_.find(foldedPath(std::wstring(name)));
  return found != files_.end() && found->second.size == size &&
         sameTime(found->second.written, written, precision);
}

bool holdsSameFile(const std::wstring& target, uint64_t size, uint64_t written,
                   uint64_t precision) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(apiPath(target).c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  uint64_t targetSize = joinedHalves(data.nFileSizeHigh, data.nFileSizeLow);
  return targetSize == size && sameTime(ticksOf(data.ftLastWriteTime), written, precision);
}
