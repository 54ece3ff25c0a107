#include "bench/source_folders.h"

#include <windows.h>

#include <cstdio>

#include "base/handles.h"
#include "base/text.h"
#include "bench/measure.h"
#include "bench/report.h"
#include "bench/tree_snapshot.h"

namespace {

std::wstring stampPath(const std::wstring& folder) { return folder + L"\\complete.txt"; }

bool readStamp(const std::wstring& path, const std::string& expected) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  char buffer[1024];
  DWORD got = 0;
  ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr);
  return std::string(buffer, got) == expected;
}

void writeStamp(const std::wstring& path, const std::string& text) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (file) WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

bool prepareSources(const DataSetPlan& plan, const std::wstring& folder, bool fresh) {
  std::string description = utf8(plan.params.describe());
  if (!fresh && readStamp(stampPath(folder), description)) {
    printf("  sources: reused from %s\n", utf8(folder).c_str());
    return true;
  }
  removeTree(folder);
  double start = nowSeconds();
  if (!writeDataSet(plan, folder)) {
    fprintf(stderr, "cannot write the data set under %s\n", utf8(folder).c_str());
    return false;
  }
  writeStamp(stampPath(folder), description);
  printf("  sources: written in %.1f s to %s\n", nowSeconds() - start, utf8(folder).c_str());
  return true;
}

std::vector<std::wstring> sourceFolders(const DataSetPlan& plan, const std::wstring& folder) {
  std::vector<std::wstring> sources;
  for (uint32_t i = 1; i <= plan.params.sources; ++i)
    sources.push_back(folder + formatText(L"\\s%u", i));
  return sources;
}

void describePlan(const DataSetPlan& plan) {
  printf("  %s copies, %s distinct names, %s of them in several sources (%.1f%%)\n",
         grouped(static_cast<double>(plan.copyCount())).c_str(),
         grouped(static_cast<double>(plan.names.size())).c_str(),
         grouped(static_cast<double>(plan.sharedNameCount())).c_str(),
         100.0 * plan.sharedNameCount() / plan.names.size());
}

void markSourcesChanging(const std::wstring& folder) { DeleteFileW(stampPath(folder).c_str()); }

void markSourcesComplete(const DataSetPlan& plan, const std::wstring& folder) {
  writeStamp(stampPath(folder), utf8(plan.params.describe()));
}
