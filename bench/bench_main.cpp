// Ostrelle benchmark: the real engine against a sequence of "xcopy /D" runs
// on a generated data set, and the merge of one very large node.
//
//   ostrelle_bench [--data DIR] [--seed N] [--sources N] [--files N] [--shared F]
//                  [--depth N] [--fan-out N] [--min-size N] [--max-size N]
//                  [--flat-files N] [--rounds N] [--variants hierarchy,flat]
//                  [--no-xcopy] [--fresh] [--scale-sizes 10000,100000,1000000]
//                  [--scale-shared 0,0.5] [--scale-random] [--workers 1,2,4,8]
//                  [--slow-data DIR] [--slow-files N] [--slow-workers 0] [--slow-delay-ms N]
//                  [--only copy,sweep,slow,calls,scale]
//
// Each measured run happens in a child process of this program, so its peak
// working set is its own.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/handles.h"
#include "base/text.h"
#include "bench/call_costs.h"
#include "bench/data_set.h"
#include "bench/engine_run.h"
#include "bench/measure.h"
#include "bench/scale_mode.h"
#include "bench/tree_snapshot.h"
#include "bench/xcopy_sequence.h"

namespace {

struct Settings {
  DataSetParams data;
  uint32_t flatFiles = 5000;  // files per source of the flat variant
  std::wstring dataRoot;
  uint32_t rounds = 3;
  bool hierarchy = true, flat = true;
  bool xcopy = true;
  bool fresh = false;
  bool copyBench = true, sweepBench = true, slowBench = true, scaleBench = true, callsBench = true;
  std::vector<unsigned> sweepWorkers{1, 2, 4, 8};  // the sweep's worker counts
  // The slow volume: a mount of bench/slowfs that run.sh makes, or why not.
  std::wstring slowRoot, slowMissing;
  uint32_t slowFiles = 2000;  // files per source on the slow volume
  double slowDelayMs = 1;     // the mount's delay per request, for the report
  std::vector<unsigned> slowWorkers{0};
  std::vector<uint32_t> scaleSizes{10000, 100000, 1000000};
  std::vector<double> scaleShares{0.0, 0.5};
  bool scaleRandom = false;
};

std::string utf8(const std::wstring& text) { return toUtf8(text); }

// 1234567 -> "1,234,567"
std::string grouped(double value) {
  char digits[32];
  snprintf(digits, sizeof digits, "%.0f", value);
  std::string s = digits, out;
  int n = 0;
  for (size_t i = s.size(); i-- > 0;) {
    out.insert(out.begin(), s[i]);
    if (++n % 3 == 0 && i > 0 && s[i - 1] != '-') out.insert(out.begin(), ',');
  }
  return out;
}

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

// Writes the sources unless an earlier run left the same ones.
bool prepareSources(const DataSetPlan& plan, const std::wstring& folder, bool fresh) {
  std::wstring stamp = folder + L"\\complete.txt";
  std::string description = utf8(plan.params.describe());
  if (!fresh && readStamp(stamp, description)) {
    printf("  sources: reused from %s\n", utf8(folder).c_str());
    return true;
  }
  removeTree(folder);
  double start = nowSeconds();
  if (!writeDataSet(plan, folder)) {
    fprintf(stderr, "cannot write the data set under %s\n", utf8(folder).c_str());
    return false;
  }
  writeStamp(stamp, description);
  printf("  sources: written in %.1f s to %s\n", nowSeconds() - start, utf8(folder).c_str());
  return true;
}

void describePlan(const DataSetPlan& plan) {
  printf("  %s copies, %s distinct names, %s of them in several sources (%.1f%%)\n",
         grouped(static_cast<double>(plan.copyCount())).c_str(),
         grouped(static_cast<double>(plan.names.size())).c_str(),
         grouped(static_cast<double>(plan.sharedNameCount())).c_str(),
         100.0 * plan.sharedNameCount() / plan.names.size());
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t middle = v.size() / 2;
  return v.size() % 2 ? v[middle] : (v[middle - 1] + v[middle]) / 2;
}

// The requests the slow volume delays, counted by kind.
const char* const kRequestKinds[] = {"open",   "create", "write",  "release",
                                     "rename", "mkdir",  "utimens"};
constexpr size_t kRequestKindCount = sizeof kRequestKinds / sizeof kRequestKinds[0];

struct Requests {
  bool known = false;
  double count[kRequestKindCount] = {};
};

// What the volume's counter file says now ("" or unreadable: unknown).
Requests readRequests(const std::wstring& counterFile) {
  Requests r;
  ResultFile file;
  if (counterFile.empty() || !file.load(counterFile)) return r;
  r.known = true;
  for (size_t k = 0; k < kRequestKindCount; ++k) r.count[k] = file.number(kRequestKinds[k]);
  return r;
}

Requests requestsBetween(const Requests& before, const Requests& after) {
  Requests r;
  r.known = before.known && after.known;
  for (size_t k = 0; k < kRequestKindCount; ++k) r.count[k] = after.count[k] - before.count[k];
  return r;
}

void printRequests(const char* who, const Requests& r, double files) {
  if (!r.known) return;
  double total = 0;
  std::string line;
  for (size_t k = 0; k < kRequestKindCount; ++k) {
    total += r.count[k];
    line += std::string(k ? ", " : "") + kRequestKinds[k] + " " + grouped(r.count[k]);
  }
  printf("      %-29s %s = %s, %.1f per destination file\n", who, line.c_str(),
         grouped(total).c_str(), files > 0 ? total / files : 0.0);
}

// One engine run per worker count and one xcopy sequence, in one round.
struct Round {
  std::vector<ResultFile> engine;  // per worker count, in the variant's order
  std::vector<double> engineProcessSeconds;
  std::vector<Requests> engineRequests;
  XcopySequenceResult xcopy;
  Requests xcopyRequests;
};

// A copy benchmark: a data set, where it lives, and the worker counts the
// engine runs with in every round.
struct Variant {
  std::string title;
  std::string note;  // a line under the title, or ""
  DataSetPlan plan;
  bool flat = false;  // ignore hierarchy (the sources have no folders)
  std::vector<unsigned> workers{0};
  std::wstring root;            // the data set and the destinations go below it
  std::wstring scratch;         // run logs, result and output files (a local folder)
  std::wstring requestCounter;  // the slow volume's counter file, or ""
};

std::string workersLabel(unsigned workers) {
  return workers == 0 ? "automatic" : std::to_string(workers);
}

std::string formatDelay(double ms) {
  char text[32];
  snprintf(text, sizeof text, "%g", ms);
  return text;
}

std::wstring engineDestination(const std::wstring& setFolder, unsigned workers) {
  return setFolder + (workers == 0 ? std::wstring(L"\\out-ostrelle")
                                   : formatText(L"\\out-ostrelle-w%u", workers));
}

void printDifferences(const std::vector<std::wstring>& lines) {
  for (const auto& line : lines) printf("      %s\n", utf8(line).c_str());
}

// The figures of one worker count that the single-count report spells out.
void printDetails(const std::vector<Round>& rounds, size_t index, const Snapshot& ours,
                  double copies, double entries) {
  std::vector<double> scan, transfer, whole, process;
  for (const auto& r : rounds) {
    scan.push_back(r.engine[index].number("scan_s"));
    transfer.push_back(r.engine[index].number("transfer_s"));
    whole.push_back(r.engine[index].number("whole_s"));
    process.push_back(r.engineProcessSeconds[index]);
  }
  const ResultFile& last = rounds.back().engine[index];
  double peakAbove = last.number("peak_ws") - last.number("base_ws");
  double mb = static_cast<double>(ours.totalBytes) / 1e6;
  printf("    scan:      %8.2f s  %s files scanned/s (%s copies, %s file entries)\n", median(scan),
         grouped(copies / median(scan)).c_str(), grouped(copies).c_str(), grouped(entries).c_str());
  printf("    transfer:  %8.2f s  %.2f MB/s (%s files, %.1f MB)\n", median(transfer),
         mb / median(transfer), grouped(static_cast<double>(ours.files.size())).c_str(), mb);
  printf("    whole run: %8.2f s  (%.2f s with the process start; fastest round %.2f s)\n",
         median(whole), median(process), *std::min_element(whole.begin(), whole.end()));
  printf(
      "    memory:    peak working set %.1f MB, %.1f MB above the %.1f MB at start = %.0f "
      "bytes per file entry\n",
      last.number("peak_ws") / 1048576, peakAbove / 1048576, last.number("base_ws") / 1048576,
      peakAbove / entries);
  printf("               after the scan: working set %.1f MB, private %.1f MB above start\n",
         (last.number("scan_ws") - last.number("base_ws")) / 1048576,
         (last.number("scan_private") - last.number("base_private")) / 1048576);
}

// Runs the data set by the engine (once per worker count) and by the xcopy
// sequence in every round, then checks the destinations of the last round
// against each other and against the planned winners.
void runVariant(const Settings& settings, const Variant& variant) {
  const DataSetPlan& plan = variant.plan;
  std::wstring setFolder = variant.root + L"\\" + plan.params.key();
  CreateDirectoryW(variant.root.c_str(), nullptr);
  CreateDirectoryW(setFolder.c_str(), nullptr);
  CreateDirectoryW(variant.scratch.c_str(), nullptr);
  printf("\n=== %s ===\n", variant.title.c_str());
  if (!variant.note.empty()) printf("%s\n", variant.note.c_str());
  printf("Data set: %s\n", utf8(plan.params.describe()).c_str());
  describePlan(plan);
  fflush(stdout);
  std::wstring sourceRoot = setFolder + L"\\sources";
  if (!prepareSources(plan, sourceRoot, settings.fresh)) return;
  std::vector<std::wstring> sources;
  for (uint32_t i = 1; i <= plan.params.sources; ++i)
    sources.push_back(sourceRoot + formatText(L"\\s%u", i));
  std::wstring outX = setFolder + L"\\out-xcopy";
  std::wstring resultPath = variant.scratch + L"\\engine-result.txt";

  const std::vector<unsigned>& counts = variant.workers;
  std::vector<EngineRunRequest> requests;
  for (unsigned workers : counts) {
    EngineRunRequest request;
    request.sources = sources;
    request.destination = engineDestination(setFolder, workers);
    request.ignoreHierarchy = variant.flat;
    request.programFolder = variant.scratch + L"\\program";
    request.workers = workers;
    requests.push_back(request);
  }
  CreateDirectoryW(requests.front().programFolder.c_str(), nullptr);

  const double copies = static_cast<double>(plan.copyCount());
  const double entries = static_cast<double>(plan.names.size());
  std::string countList;
  for (unsigned workers : counts)
    countList += (countList.empty() ? "" : ", ") + workersLabel(workers);
  printf(
      "Run: copy mode, default options (newest and unique, later of the two times, time\n"
      "stamps kept), subfolders included%s; workers: %s; xcopy SRC DST /S /E /D /Y /I /Q per "
      "source\n",
      variant.flat ? ", ignore hierarchy" : "", countList.c_str());

  std::vector<Round> rounds;
  for (uint32_t r = 0; r < settings.rounds; ++r) {
    Round round;
    round.engine.resize(counts.size());
    round.engineProcessSeconds.resize(counts.size());
    round.engineRequests.resize(counts.size());
    for (const auto& request : requests) removeTree(request.destination);
    removeTree(outX);
    auto runEngine = [&](size_t i) {
      waitForWriteback();
      DeleteFileW(resultPath.c_str());
      Requests before = readRequests(variant.requestCounter);
      ChildResult child = runProcess(engineChildCommand(requests[i], resultPath),
                                     variant.scratch + L"\\engine-output.txt");
      round.engineRequests[i] = requestsBetween(before, readRequests(variant.requestCounter));
      round.engineProcessSeconds[i] = child.seconds;
      if (!child.started || child.exitCode != 0 || !round.engine[i].load(resultPath))
        fprintf(stderr, "  the engine run failed (exit code %lu)\n", child.exitCode);
    };
    auto runXcopy = [&] {
      if (!settings.xcopy) return;
      waitForWriteback();
      Requests before = readRequests(variant.requestCounter);
      round.xcopy = runXcopySequence(sources, outX, variant.scratch);
      round.xcopyRequests = requestsBetween(before, readRequests(variant.requestCounter));
    };
    // Alternate the order so that no run always comes first or last: even
    // rounds run the counts in list order and then xcopy, odd rounds xcopy
    // and then the counts backwards.
    if (r % 2 == 0) {
      for (size_t i = 0; i < counts.size(); ++i) runEngine(i);
      runXcopy();
    } else {
      runXcopy();
      for (size_t i = counts.size(); i-- > 0;) runEngine(i);
    }
    for (size_t i = 0; i < counts.size(); ++i) {
      const ResultFile& e = round.engine[i];
      printf(
          "  round %u, Ostrelle (workers %s): %.2f s (scan %.2f s, transfer %.2f s; process %.2f "
          "s)",
          r + 1, workersLabel(counts[i]).c_str(), e.number("whole_s"), e.number("scan_s"),
          e.number("transfer_s"), round.engineProcessSeconds[i]);
      if (settings.xcopy) printf(", ratio %.2f", e.number("whole_s") / round.xcopy.seconds);
      printf("\n");
      if (e.number("errors") != 0 || e.number("done") != 1)
        printf("  WARNING: the run wrote error lines or did not finish; log: %s\n",
               e.text("log").c_str());
    }
    if (settings.xcopy) printf("  round %u, xcopy sequence: %.2f s\n", r + 1, round.xcopy.seconds);
    if (!round.xcopy.ok) printf("  WARNING: %s\n", utf8(round.xcopy.problem).c_str());
    fflush(stdout);
    rounds.push_back(std::move(round));
  }

  // Medians, and the ratios of this run's medians.
  std::vector<double> xcopy;
  for (const auto& r : rounds) xcopy.push_back(r.xcopy.seconds);
  std::vector<Snapshot> ours;
  for (const auto& request : requests) ours.push_back(takeSnapshot(request.destination));
  printf("  median of %u round(s):\n", settings.rounds);
  if (counts.size() == 1) {
    printDetails(rounds, 0, ours[0], copies, entries);
  } else {
    printf("    %-9s %9s %9s %9s %9s %11s %14s %13s %12s\n", "workers", "whole", "fastest", "scan",
           "transfer", "/ xcopy", "round ratios", "speed-up", "bytes/entry");
    double firstWhole = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
      std::vector<double> whole, scan, transfer, ratios;
      for (const auto& r : rounds) {
        whole.push_back(r.engine[i].number("whole_s"));
        scan.push_back(r.engine[i].number("scan_s"));
        transfer.push_back(r.engine[i].number("transfer_s"));
        if (settings.xcopy) ratios.push_back(r.engine[i].number("whole_s") / r.xcopy.seconds);
      }
      if (i == 0) firstWhole = median(whole);
      const ResultFile& last = rounds.back().engine[i];
      char ratio[32] = "-", range[32] = "-";
      if (settings.xcopy) {
        snprintf(ratio, sizeof ratio, "%.2f", median(whole) / median(xcopy));
        snprintf(range, sizeof range, "%.2f-%.2f", *std::min_element(ratios.begin(), ratios.end()),
                 *std::max_element(ratios.begin(), ratios.end()));
      }
      printf("    %-9s %7.2f s %7.2f s %7.2f s %7.2f s %11s %14s %13.2f %12.0f\n",
             workersLabel(counts[i]).c_str(), median(whole),
             *std::min_element(whole.begin(), whole.end()), median(scan), median(transfer), ratio,
             range, firstWhole / median(whole),
             (last.number("peak_ws") - last.number("base_ws")) / entries);
    }
    printf(
        "    (medians but for fastest, the quickest round; speed-up: whole run of workers %s / "
        "whole run of this count)\n",
        workersLabel(counts[0]).c_str());
  }
  if (settings.xcopy) {
    std::string per;
    for (double t : rounds.back().xcopy.perSource)
      per += (per.empty() ? "" : " + ") + std::to_string(t).substr(0, 5);
    printf("    xcopy /D sequence: %.2f s, fastest %.2f s (last round %s s), %s files copied\n",
           median(xcopy), *std::min_element(xcopy.begin(), xcopy.end()), per.c_str(),
           grouped(static_cast<double>(rounds.back().xcopy.filesCopied)).c_str());
    if (counts.size() == 1) {
      std::vector<double> whole, process;
      for (const auto& r : rounds) {
        whole.push_back(r.engine[0].number("whole_s"));
        process.push_back(r.engineProcessSeconds[0]);
      }
      printf("    ratio Ostrelle/xcopy: %.2f (with Ostrelle's process start %.2f)\n",
             median(whole) / median(xcopy), median(process) / median(xcopy));
    }
  }

  if (rounds.back().xcopyRequests.known || rounds.back().engineRequests[0].known) {
    printf("    requests the volume delayed, last round:\n");
    for (size_t i = 0; i < counts.size(); ++i)
      printRequests(("Ostrelle, workers " + workersLabel(counts[i])).c_str(),
                    rounds.back().engineRequests[i], static_cast<double>(ours[i].files.size()));
    if (settings.xcopy)
      printRequests("xcopy sequence", rounds.back().xcopyRequests,
                    static_cast<double>(ours[0].files.size()));
  }

  // Checks on the destinations of the last round.
  Snapshot expected = expectedSnapshot(plan);
  for (size_t i = 0; i < counts.size(); ++i) {
    auto againstPlan = compareSnapshots(ours[i], expected, true);
    printf("    destination check, workers %s vs planned winners: %s (%s files, %s folders)\n",
           workersLabel(counts[i]).c_str(), againstPlan.empty() ? "identical" : "DIFFERENT",
           grouped(static_cast<double>(ours[i].files.size())).c_str(),
           grouped(static_cast<double>(ours[i].folders.size())).c_str());
    printDifferences(againstPlan);
    if (i > 0) {
      auto againstFirst = compareSnapshots(ours[i], ours[0], true);
      printf("    destination check, workers %s vs workers %s: %s\n",
             workersLabel(counts[i]).c_str(), workersLabel(counts[0]).c_str(),
             againstFirst.empty() ? "same files (paths, sizes, times, contents)" : "DIFFERENT");
      printDifferences(againstFirst);
    }
  }
  if (settings.xcopy) {
    auto againstXcopy = compareSnapshots(ours[0], takeSnapshot(outX), true);
    printf("    destination check, workers %s vs xcopy: %s\n", workersLabel(counts[0]).c_str(),
           againstXcopy.empty() ? "same files (paths, sizes, times, contents)" : "DIFFERENT");
    printDifferences(againstXcopy);
  }
  fflush(stdout);
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
        printf("  %10u: the scale run failed (exit code %lu)\n", size, child.exitCode);
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
        printf("  WARNING: the node holds %s entries with counts summing to %s, %s\n",
               grouped(r.number("entries")).c_str(), grouped(r.number("count_sum")).c_str(),
               r.number("sorted") == 1 ? "sorted" : "NOT sorted");
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
      runVariant(settings, v);
    }
  }
  if (settings.callsBench) {
    DataSetParams flat = settings.data;
    flat.depth = 0;
    flat.filesPerSource = settings.flatFiles;
    std::wstring largeFolder = settings.dataRoot + L"\\" + flat.key() + L"\\sources\\s1";
    printCallCosts(settings.dataRoot + L"\\calls", largeFolder);
  }
  if (settings.scaleBench) runScale(settings, settings.dataRoot);
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
