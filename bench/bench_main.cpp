// Ostrelle benchmark: the real engine against a sequence of "xcopy /D" runs
// on a generated data set, a gather again into a filled destination, and the
// merge of one very large node.
//
//   ostrelle_bench [--data DIR] [--seed N] [--sources N] [--files N] [--shared F]
//                  [--depth N] [--fan-out N] [--min-size N] [--max-size N]
//                  [--flat-files N] [--rounds N] [--variants hierarchy,flat]
//                  [--no-xcopy] [--fresh] [--scale-sizes 10000,100000,1000000]
//                  [--scale-shared 0,0.5] [--scale-random] [--workers 1,2,4,8]
//                  [--slow-data DIR] [--slow-files N] [--slow-workers 0] [--slow-delay-ms N]
//                  [--skip-same] [--log-transfers]
//                  [--only copy,sweep,slow,calls,scale,again]
//
// Each measured run happens in a child process of this program, so its peak
// working set is its own.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/text.h"
#include "bench/again.h"
#include "bench/bench_settings.h"
#include "bench/call_costs.h"
#include "bench/copy_runs.h"
#include "bench/data_set.h"
#include "bench/engine_run.h"
#include "bench/measure.h"
#include "bench/report.h"
#include "bench/scale_mode.h"

namespace {

std::vector<std::wstring> splitList(const std::wstring& text) {
  std::vector<std::wstring> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(L',', start);
    if (comma == std::wstring::npos) comma = text.size();
    if (comma > start) out.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}

// A Linux path (as the run script passes it) becomes its Wine drive path.
std::wstring windowsPath(std::wstring path) {
  if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
  std::replace(path.begin(), path.end(), L'/', L'\\');
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return path;
}

std::wstring defaultDataRoot() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  return windowsPath(std::wstring(buffer, n)) + L"\\ostrelle-bench";
}

std::vector<unsigned> parseCounts(const std::wstring& text) {
  std::vector<unsigned> out;
  for (const auto& v : splitList(text)) out.push_back(wcstoul(v.c_str(), nullptr, 10));
  return out;
}

bool parseSettings(const std::vector<std::wstring>& args, Settings& s) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::wstring& a = args[i];
    auto value = [&]() -> std::wstring { return i + 1 < args.size() ? args[++i] : L""; };
    auto number = [&]() { return static_cast<uint32_t>(wcstoul(value().c_str(), nullptr, 10)); };
    if (a == L"--data")
      s.dataRoot = windowsPath(value());
    else if (a == L"--seed")
      s.data.seed = number();
    else if (a == L"--sources")
      s.data.sources = number();
    else if (a == L"--files")
      s.data.filesPerSource = number();
    else if (a == L"--shared")
      s.data.sharedShare = wcstod(value().c_str(), nullptr);
    else if (a == L"--depth")
      s.data.depth = number();
    else if (a == L"--fan-out")
      s.data.fanOut = number();
    else if (a == L"--min-size")
      s.data.minSize = number();
    else if (a == L"--max-size")
      s.data.maxSize = number();
    else if (a == L"--flat-files")
      s.flatFiles = number();
    else if (a == L"--workers")
      s.sweepWorkers = parseCounts(value());
    else if (a == L"--slow-workers")
      s.slowWorkers = parseCounts(value());
    else if (a == L"--slow-files")
      s.slowFiles = number();
    else if (a == L"--slow-data")
      s.slowRoot = windowsPath(value());
    else if (a == L"--slow-missing")
      s.slowMissing = value();
    else if (a == L"--slow-delay-ms")
      s.slowDelayMs = wcstod(value().c_str(), nullptr);
    else if (a == L"--scale-random")
      s.scaleRandom = true;
    else if (a == L"--rounds")
      s.rounds = std::max(1u, number());
    else if (a == L"--no-xcopy")
      s.xcopy = false;
    else if (a == L"--fresh")
      s.fresh = true;
    else if (a == L"--skip-same")
      s.skipSame = true;
    else if (a == L"--log-transfers")
      s.logTransfers = true;
    else if (a == L"--variants") {
      auto list = splitList(value());
      s.hierarchy = std::find(list.begin(), list.end(), L"hierarchy") != list.end();
      s.flat = std::find(list.begin(), list.end(), L"flat") != list.end();
    } else if (a == L"--scale-sizes") {
      s.scaleSizes.clear();
      for (const auto& v : splitList(value()))
        s.scaleSizes.push_back(wcstoul(v.c_str(), nullptr, 10));
    } else if (a == L"--scale-shared") {
      s.scaleShares.clear();
      for (const auto& v : splitList(value())) s.scaleShares.push_back(wcstod(v.c_str(), nullptr));
    } else if (a == L"--only") {
      auto list = splitList(value());
      auto has = [&](const wchar_t* part) {
        return std::find(list.begin(), list.end(), part) != list.end();
      };
      s.copyBench = has(L"copy");
      s.sweepBench = has(L"sweep");
      s.slowBench = has(L"slow");
      s.scaleBench = has(L"scale");
      s.callsBench = has(L"calls");
      s.againBench = has(L"again");
    } else {
      fprintf(stderr, "unknown argument: %s\n", utf8(a).c_str());
      return false;
    }
  }
  if (s.sweepWorkers.empty() || s.slowWorkers.empty()) {
    fprintf(stderr, "a worker list is empty\n");
    return false;
  }
  if (s.data.sources < 1 || s.data.filesPerSource < 1 || s.flatFiles < 1 || s.slowFiles < 1 ||
      s.data.minSize > s.data.maxSize || s.data.fanOut < 1) {
    fprintf(stderr, "invalid data set parameters\n");
    return false;
  }
  if (s.dataRoot.empty()) s.dataRoot = defaultDataRoot();
  return true;
}

std::string formatDelay(double ms) {
  char text[32];
  snprintf(text, sizeof text, "%g", ms);
  return text;
}

void runScale(const Settings& settings, const std::wstring& root) {
  std::wstring resultPath = root + L"\\scale-result.txt";
  for (double share : settings.scaleShares) {
    printf(
        "\n=== Scale: one node (ignore hierarchy) through addFileCopy and finishScan ===\n"
        "%.0f%% of the names met in 2 or 3 of 3 sources, the rest in one; folders of 1,000 "
        "copies,\neach with its path stored and its names in %s order; best of the repeats\n",
        share * 100, settings.scaleRandom ? "random" : "name (enumeration)");
    printf("  %10s %10s %14s %12s %12s %12s %12s %12s %12s\n", "names", "copies", "merge ns/name",
           "add ns/copy", "fold ns/name", "cpu ns/name", "peak above", "bytes/entry",
           "random read");
    double first = 0, lastCost = 0, firstCpu = 0, lastCpu = 0;
    for (uint32_t size : settings.scaleSizes) {
      ScaleRequest request;
      request.names = size;
      request.sharedShare = share;
      request.seed = settings.data.seed;
      request.repeats = size <= 10000 ? 41 : size <= 100000 ? 9 : 4;
      request.randomOrder = settings.scaleRandom;
      DeleteFileW(resultPath.c_str());
      ChildResult child = runProcess(scaleChildCommand(request, resultPath), L"");
      ResultFile r;
      if (!child.started || child.exitCode != 0 || !r.load(resultPath)) {
        checkFailed("scale, " + grouped(size) + " names: the scale run failed (exit code " +
                    std::to_string(child.exitCode) + ")");
        continue;
      }
      double names = r.number("names"), copies = r.number("copies");
      double merge = r.number("total_s") / names * 1e9;
      double add = r.number("add_s") / copies * 1e9;
      double fold = r.number("finish_s") / names * 1e9;
      double above = r.number("peak_ws") - r.number("base_ws");
      double cpu = r.number("cpu_s") / names * 1e9;
      printf("  %10s %10s %14.0f %12.0f %12.0f %12.0f %9.1f MB %12.0f %9.1f ns\n",
             grouped(names).c_str(), grouped(copies).c_str(), merge, add, fold, cpu,
             above / 1048576, above / names, r.number("random_read_s") * 1e9);
      if (r.number("entries") != names || r.number("count_sum") != copies ||
          r.number("sorted") != 1)
        checkFailed("scale: the node holds " + grouped(r.number("entries")) +
                    " entries with counts summing to " + grouped(r.number("count_sum")) + ", " +
                    (r.number("sorted") == 1 ? "sorted" : "NOT sorted"));
      if (first == 0) {
        first = merge;
        firstCpu = cpu;
      }
      lastCost = merge;
      lastCpu = cpu;
    }
    if (first > 0 && settings.scaleSizes.size() > 1)
      printf("  merge cost per name, largest / smallest: %.2f (processor time: %.2f)\n",
             lastCost / first, firstCpu > 0 ? lastCpu / firstCpu : 0.0);
    fflush(stdout);
  }
  DeleteFileW(resultPath.c_str());
}

int benchMain(const Settings& settings) {
  CreateDirectoryW(settings.dataRoot.c_str(), nullptr);
  Variant base;
  base.root = settings.dataRoot;
  if (settings.copyBench && settings.hierarchy) {
    Variant v = base;
    v.title = "Hierarchy kept";
    v.plan = planDataSet(settings.data);
    v.scratch = v.root + L"\\" + v.plan.params.key();
    runVariant(settings, v);
  }
  if (settings.copyBench && settings.flat) {
    DataSetParams flat = settings.data;
    flat.depth = 0;
    flat.filesPerSource = settings.flatFiles;
    Variant v = base;
    v.title = "Ignore hierarchy: flat sources, every file in one node";
    v.plan = planDataSet(flat);
    v.flat = true;
    v.scratch = v.root + L"\\" + v.plan.params.key();
    runVariant(settings, v);
  }
  if (settings.sweepBench) {
    Variant v = base;
    v.title = "Worker sweep: hierarchy kept, one engine run per worker count";
    v.plan = planDataSet(settings.data);
    v.workers = settings.sweepWorkers;
    v.scratch = v.root + L"\\" + v.plan.params.key();
    runVariant(settings, v);
  }
  if (settings.slowBench) {
    std::string title = "Slow volume: sources and destinations on a passthrough adding " +
                        formatDelay(settings.slowDelayMs) +
                        " ms to each open, create,\nwrite, close, rename, mkdir and time setting";
    if (settings.slowRoot.empty()) {
      printf("\n=== %s ===\n  not run: %s\n", title.c_str(),
             settings.slowMissing.empty()
                 ? "no slow volume given (--slow-data; bench/run.sh mounts one)"
                 : utf8(settings.slowMissing).c_str());
    } else {
      DataSetParams slow = settings.data;
      slow.filesPerSource = settings.slowFiles;
      Variant v = base;
      v.title = title;
      v.note =
          "Volume: " + utf8(settings.slowRoot) + " (bench/slowfs over a folder of the local disk)";
      v.plan = planDataSet(slow);
      v.workers = settings.slowWorkers;
      v.root = settings.slowRoot;
      // The run log and the result files stay on the local disk, as a
      // program folder would.
      v.scratch = settings.dataRoot + L"\\slow-volume-scratch";
      v.requestCounter = settings.slowRoot + L"\\.slowfs-requests";
      v.runAgain = settings.skipSame;
      runVariant(settings, v);
    }
  }
  if (settings.againBench) runAgainPart(settings);
  if (settings.callsBench) {
    DataSetParams flat = settings.data;
    flat.depth = 0;
    flat.filesPerSource = settings.flatFiles;
    std::wstring largeFolder = settings.dataRoot + L"\\" + flat.key() + L"\\sources\\s1";
    printCallCosts(settings.dataRoot + L"\\calls", largeFolder);
  }
  if (settings.scaleBench) runScale(settings, settings.dataRoot);
  if (failedChecks() > 0) {
    fprintf(stderr, "\n%d check(s) failed: see the lines \"CHECK FAILED\" above\n", failedChecks());
    return 1;
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> args(argv + 1, argv + argc);
  try {
    if (!args.empty() && args[0] == L"--engine-child") {
      EngineRunRequest request;
      std::wstring resultPath;
      if (!parseEngineChild({args.begin() + 1, args.end()}, request, resultPath)) return 2;
      return runEngineChild(request, resultPath);
    }
    if (!args.empty() && args[0] == L"--scale-child" && args.size() == 7) {
      ScaleRequest request;
      request.names = wcstoul(args[2].c_str(), nullptr, 10);
      request.sharedShare = wcstod(args[3].c_str(), nullptr);
      request.seed = wcstoul(args[4].c_str(), nullptr, 10);
      request.repeats = wcstoul(args[5].c_str(), nullptr, 10);
      request.randomOrder = args[6] == L"1";
      return runScaleChild(request, args[1]);
    }
    Settings settings;
    if (!parseSettings(args, settings)) return 2;
    return benchMain(settings);
  } catch (const std::exception& e) {
    fprintf(stderr, "failed: %s\n", e.what());
    return 3;
  }
}
