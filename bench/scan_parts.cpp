#include "bench/scan_parts.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "base/handles.h"
#include "base/run_options.h"
#include "base/run_state.h"
#include "bench/measure.h"
#include "bench/report.h"
#include "engine/folder_tree.h"
#include "engine/source_scan.h"

namespace {

enum Way { kEnumerate, kEnumerateAndOpen, kEngineScan, kWayCount };

struct Walk {
  uint64_t files = 0;
  uint64_t opened = 0;  // files the open succeeded on
};

// Every folder below each source, read with FindFirstFileW / FindNextFileW
// as the scan reads them ("\\?\" paths, pattern "*"); with `open`, each file
// is also opened as the scan opens it (for reading, no sharing) and closed.
Walk walkSources(const std::vector<std::wstring>& sources, bool open) {
  Walk walk;
  std::vector<std::wstring> folders;
  for (const auto& source : sources) folders.push_back(L"\\\\?\\" + source);
  WIN32_FIND_DATAW data;
  while (!folders.empty()) {
    std::wstring folder = std::move(folders.back());
    folders.pop_back();
    FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) continue;
    do {
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0)
          folders.push_back(folder + L"\\" + data.cFileName);
        continue;
      }
      ++walk.files;
      if (open) {
        FileHandle file(CreateFileW((folder + L"\\" + data.cFileName).c_str(), GENERIC_READ, 0,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        walk.opened += static_cast<bool>(file);
      }
    } while (FindNextFileW(find.get(), &data));
  }
  return walk;
}

// Copies and distinct names in a scanned tree.
void countTree(const FolderNode& node, uint64_t& copies, uint64_t& names) {
  for (const FileEntry& entry : node.files) {
    copies += static_cast<uint64_t>(entry.sourceCount);
    ++names;
  }
  for (const FolderNode& child : node.subfolders) countTree(child, copies, names);
}

// The seconds of the engine's scan as a run makes it (no log open: its lines
// go nowhere), one worker; the release of the tree afterwards is not
// counted.  Negative, after a failed check, when it did not gather every
// copy.
double engineScan(const std::vector<std::wstring>& sources, const DataSetPlan& plan) {
  RunOptions options;  // the defaults of a run: newest and unique, later time, copy
  options.sources = sources;
  options.includeSubfolders = true;
  options.workers = 1;
  runState.cancelRequested = false;
  runState.errorLogged = false;
  FolderTree tree;
  double start = nowSeconds();
  scanSources(options, tree);
  double seconds = nowSeconds() - start;
  uint64_t copies = 0, names = 0;
  countTree(tree.root(), copies, names);
  if (runState.errorLogged || copies != plan.copyCount() || names != plan.names.size()) {
    checkFailed("scan parts: the engine's scan gathered " + grouped(static_cast<double>(copies)) +
                " copies of " + grouped(static_cast<double>(names)) + " names" +
                (runState.errorLogged ? ", with error lines" : ""));
    return -1;
  }
  return seconds;
}

}  // namespace

void printScanParts(const std::vector<std::wstring>& sources, const DataSetPlan& plan,
                    uint32_t rounds) {
  printf(
      "\n=== The scan in parts: folder reads, opens, and the merge with the rest (same sources, "
      "1 worker) ===\n");
  const uint64_t copies = plan.copyCount();
  std::vector<double> seconds[kWayCount];
  for (uint32_t r = 0; r < rounds; ++r) {
    double round[kWayCount] = {};
    for (int k = 0; k < kWayCount; ++k) {
      // Even rounds in order, odd rounds backwards.
      int way = r % 2 == 0 ? k : kWayCount - 1 - k;
      waitForWriteback();
      if (way == kEngineScan) {
        round[way] = engineScan(sources, plan);
      } else {
        double start = nowSeconds();
        Walk walk = walkSources(sources, way == kEnumerateAndOpen);
        round[way] = nowSeconds() - start;
        if (walk.files != copies || (way == kEnumerateAndOpen && walk.opened != copies)) {
          checkFailed("scan parts: the walk met " + grouped(static_cast<double>(walk.files)) +
                      " files and opened " + grouped(static_cast<double>(walk.opened)) + " of " +
                      grouped(static_cast<double>(copies)));
          round[way] = -1;
        }
      }
      if (round[way] < 0) return;
      seconds[way].push_back(round[way]);
    }
    printf("  round %u: folder reads %.2f s; with the opens %.2f s; the engine's scan %.2f s\n",
           r + 1, round[kEnumerate], round[kEnumerateAndOpen], round[kEngineScan]);
  }
  double enumerate = median(seconds[kEnumerate]), opened = median(seconds[kEnumerateAndOpen]),
         scan = median(seconds[kEngineScan]);
  auto share = [&](double part) { return scan > 0 ? 100 * part / scan : 0.0; };
  printf("  median of %u round(s), %s copies:\n", rounds,
         grouped(static_cast<double>(copies)).c_str());
  printf("    folder reads (enumeration only)   %8.2f s  %5.1f%%  %6.1f us per copy\n", enumerate,
         share(enumerate), enumerate / copies * 1e6);
  printf("    opens (with the opens - reads)    %8.2f s  %5.1f%%  %6.1f us per copy\n",
         opened - enumerate, share(opened - enumerate), (opened - enumerate) / copies * 1e6);
  printf("    merge and the rest (scan - opens) %8.2f s  %5.1f%%  %6.1f us per copy\n",
         scan - opened, share(scan - opened), (scan - opened) / copies * 1e6);
  printf("    the engine's scan                 %8.2f s\n", scan);
  fflush(stdout);
}
