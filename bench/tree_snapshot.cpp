#include "bench/tree_snapshot.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "base/handles.h"
#include "base/text.h"
#include "bench/report.h"

namespace {

std::wstring withLongPrefix(const std::wstring& path) { return L"\\\\?\\" + path; }

uint64_t fnv1a(const char* data, size_t size, uint64_t hash = 1469598103934665603ull) {
  for (size_t i = 0; i < size; ++i) {
    hash ^= static_cast<unsigned char>(data[i]);
    hash *= 1099511628211ull;
  }
  return hash;
}

uint64_t hashFile(const std::wstring& path) {
  FileHandle file(CreateFileW(withLongPrefix(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  uint64_t hash = 1469598103934665603ull;
  if (!file) return 0;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
    hash = fnv1a(buffer, got, hash);
  return hash;
}

void collect(const std::wstring& root, const std::wstring& relative, Snapshot& out) {
  std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
  WIN32_FIND_DATAW data;
  FindHandle find(FindFirstFileW(withLongPrefix(folder + L"\\*").c_str(), &data));
  if (!find) return;
  std::vector<std::wstring> subfolders;
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    std::wstring rel = relative.empty() ? name : relative + L"\\" + name;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      subfolders.push_back(rel);
    } else {
      SnapshotFile file;
      file.relative = rel;
      file.size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
      file.written = (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                     data.ftLastWriteTime.dwLowDateTime;
      file.hash = hashFile(root + L"\\" + rel);
      out.totalBytes += file.size;
      out.files.push_back(std::move(file));
    }
  } while (FindNextFileW(find.get(), &data));
  find.reset();
  for (const auto& sub : subfolders) {
    out.folders.push_back(sub);
    collect(root, sub, out);
  }
}

bool byName(const std::wstring& a, const std::wstring& b) { return compareNames(a, b) < 0; }

void sortSnapshot(Snapshot& s) {
  std::sort(s.files.begin(), s.files.end(), [](const SnapshotFile& a, const SnapshotFile& b) {
    return byName(a.relative, b.relative);
  });
  std::sort(s.folders.begin(), s.folders.end(), byName);
}

}  // namespace

Snapshot takeSnapshot(const std::wstring& root) {
  Snapshot s;
  collect(root, L"", s);
  sortSnapshot(s);
  return s;
}

Snapshot expectedSnapshot(const DataSetPlan& plan) {
  Snapshot s;
  for (const auto& name : plan.names) {
    const PlannedCopy& w = name.winner();
    SnapshotFile file;
    const std::wstring& folder = plan.folders[name.folder];
    file.relative = folder.empty() ? name.name : folder + L"\\" + name.name;
    file.size = w.size;
    file.written = w.time;
    std::string bytes = copyContent(name, w);
    file.hash = fnv1a(bytes.data(), bytes.size());
    s.totalBytes += file.size;
    s.files.push_back(std::move(file));
  }
  s.folders.assign(plan.folders.begin() + 1, plan.folders.end());
  sortSnapshot(s);
  return s;
}

std::vector<std::wstring> compareSnapshots(const Snapshot& a, const Snapshot& b,
                                           bool compareFolders, size_t limit) {
  std::vector<std::wstring> out;
  auto note = [&](std::wstring line) {
    if (out.size() < limit) out.push_back(std::move(line));
  };
  size_t i = 0, j = 0;
  while (i < a.files.size() || j < b.files.size()) {
    int c = i == a.files.size()   ? 1
            : j == b.files.size() ? -1
                                  : compareNames(a.files[i].relative, b.files[j].relative);
    if (c < 0) {
      note(L"only in the first: " + a.files[i++].relative);
    } else if (c > 0) {
      note(L"only in the second: " + b.files[j++].relative);
    } else {
      const SnapshotFile &x = a.files[i++], &y = b.files[j++];
      if (x.size != y.size || x.written != y.written || x.hash != y.hash)
        note(formatText(L"differs: %s (size %llu/%llu, time %llu/%llu)", x.relative.c_str(), x.size,
                        y.size, x.written, y.written));
    }
  }
  if (compareFolders) {
    std::vector<std::wstring> onlyA, onlyB;
    std::set_difference(a.folders.begin(), a.folders.end(), b.folders.begin(), b.folders.end(),
                        std::back_inserter(onlyA), byName);
    std::set_difference(b.folders.begin(), b.folders.end(), a.folders.begin(), a.folders.end(),
                        std::back_inserter(onlyB), byName);
    for (const auto& f : onlyA) note(L"folder only in the first: " + f);
    for (const auto& f : onlyB) note(L"folder only in the second: " + f);
  }
  return out;
}

bool checkSnapshots(const std::string& what, const Snapshot& a, const Snapshot& b,
                    const char* sameText, bool withCounts) {
  auto differences = compareSnapshots(a, b, true);
  printf("    destination check, %s: %s", what.c_str(),
         differences.empty() ? sameText : "DIFFERENT");
  if (withCounts)
    printf(" (%s files, %s folders)", grouped(static_cast<double>(a.files.size())).c_str(),
           grouped(static_cast<double>(a.folders.size())).c_str());
  printf("\n");
  printDifferences(differences);
  if (!differences.empty()) checkFailed("destination " + what + " differ");
  return differences.empty();
}

void removeTree(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  FindHandle find(FindFirstFileW(withLongPrefix(path + L"\\*").c_str(), &data));
  if (find) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = path + L"\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        removeTree(child);
      } else {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
          SetFileAttributesW(withLongPrefix(child).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(withLongPrefix(child).c_str());
      }
    } while (FindNextFileW(find.get(), &data));
  }
  find.reset();
  RemoveDirectoryW(withLongPrefix(path).c_str());
}
