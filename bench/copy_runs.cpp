#include "bench/copy_runs.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "base/text.h"
#include "bench/engine_run.h"
#include "bench/measure.h"
#include "bench/report.h"
#include "bench/source_folders.h"
#include "bench/tree_snapshot.h"
#include "bench/volume_requests.h"
#include "bench/xcopy_sequence.h"

namespace {

// One engine run per worker count and one xcopy sequence, in one round.
struct Round {
  std::vector<ResultFile> engine;  // per worker count, in the variant's order
  std::vector<double> engineProcessSeconds;
  std::vector<Requests> engineRequests;
  XcopySequenceResult xcopy;
  Requests xcopyRequests;
  // The second runs with the box checked (Variant::runAgain), per count.
  std::vector<ResultFile> again;
  std::vector<Requests> againRequests;
};

std::wstring engineDestination(const std::wstring& setFolder, unsigned workers) {
  return setFolder + (workers == 0 ? std::wstring(L"\\out-ostrelle")
                                   : formatText(L"\\out-ostrelle-w%u", workers));
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

// The second runs with the box checked, per worker count: medians of the
// rounds, the files they left out and the requests of the last round.
void printAgain(const std::vector<Round>& rounds, const std::vector<unsigned>& counts,
                double files) {
  printf("  second run into the same destination, box checked, median of %zu round(s):\n",
         rounds.size());
  for (size_t i = 0; i < counts.size(); ++i) {
    std::vector<double> whole, scan, transfer;
    for (const auto& r : rounds) {
      whole.push_back(r.again[i].number("whole_s"));
      scan.push_back(r.again[i].number("scan_s"));
      transfer.push_back(r.again[i].number("transfer_s"));
    }
    printf("    workers %s: %.2f s (scan %.2f s, transfer %.2f s), %s files left out as the same\n",
           workersLabel(counts[i]).c_str(), median(whole), median(scan), median(transfer),
           grouped(rounds.back().again[i].number("skipped")).c_str());
  }
  if (!rounds.back().againRequests[0].known) return;
  printf("    requests the volume delayed in the second run, last round:\n");
  for (size_t i = 0; i < counts.size(); ++i)
    printRequests(("second run, workers " + workersLabel(counts[i])).c_str(),
                  rounds.back().againRequests[i], files);
}

}  // namespace

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
  if (!prepareSources(plan, sourceRoot, settings.fresh)) {
    checkFailed("the sources of \"" + variant.title + "\" could not be written");
    return;
  }
  std::vector<std::wstring> sources = sourceFolders(plan, sourceRoot);
  std::wstring outX = setFolder + L"\\out-xcopy";

  const std::vector<unsigned>& counts = variant.workers;
  std::vector<EngineRunRequest> requests;
  for (unsigned workers : counts) {
    EngineRunRequest request;
    request.sources = sources;
    request.destination = engineDestination(setFolder, workers);
    request.ignoreHierarchy = variant.flat;
    request.programFolder = variant.scratch + L"\\program";
    request.workers = workers;
    request.skipSame = settings.skipSame;
    request.logTransfers = settings.logTransfers;
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
      "stamps kept), subfolders included%s%s%s; workers: %s; xcopy SRC DST /S /E /D /Y /I /Q per "
      "source\n",
      variant.flat ? ", ignore hierarchy" : "",
      settings.skipSame ? ", box \"same files not copied\" checked" : "",
      settings.logTransfers ? ", a log line per file" : "", countList.c_str());

  std::vector<Round> rounds;
  for (uint32_t r = 0; r < settings.rounds; ++r) {
    Round round;
    round.engine.resize(counts.size());
    round.engineProcessSeconds.resize(counts.size());
    round.engineRequests.resize(counts.size());
    round.again.resize(counts.size());
    round.againRequests.resize(counts.size());
    for (const auto& request : requests) removeTree(request.destination);
    removeTree(outX);
    auto runEngine = [&](size_t i) {
      waitForWriteback();
      Requests before = readRequests(variant.requestCounter);
      EngineRunFigures run = runEngineProcess(requests[i], variant.scratch,
                                              "round " + std::to_string(r + 1) + ", Ostrelle");
      round.engineRequests[i] = requestsBetween(before, readRequests(variant.requestCounter));
      round.engine[i] = run.result;
      round.engineProcessSeconds[i] = run.processSeconds;
      if (!variant.runAgain) return;
      EngineRunRequest again = requests[i];
      again.skipSame = true;
      waitForWriteback();
      before = readRequests(variant.requestCounter);
      run = runEngineProcess(again, variant.scratch,
                             "round " + std::to_string(r + 1) + ", Ostrelle again");
      round.againRequests[i] = requestsBetween(before, readRequests(variant.requestCounter));
      round.again[i] = run.result;
      // Nothing changed since the first run filled the destination.
      if (run.ok && run.result.number("skipped") != entries)
        checkFailed("round " + std::to_string(r + 1) +
                    ", Ostrelle again: " + grouped(run.result.number("skipped")) +
                    " files left out as the same, not all " + grouped(entries));
    };
    auto runXcopy = [&] {
      if (!settings.xcopy) return;
      waitForWriteback();
      Requests before = readRequests(variant.requestCounter);
      round.xcopy = runXcopySequence(sources, outX, variant.scratch);
      round.xcopyRequests = requestsBetween(before, readRequests(variant.requestCounter));
      if (!round.xcopy.ok) checkFailed(utf8(round.xcopy.problem));
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
      if (variant.runAgain)
        printf("  round %u, Ostrelle again (workers %s): %.2f s (scan %.2f s, transfer %.2f s)\n",
               r + 1, workersLabel(counts[i]).c_str(), round.again[i].number("whole_s"),
               round.again[i].number("scan_s"), round.again[i].number("transfer_s"));
    }
    if (settings.xcopy) printf("  round %u, xcopy sequence: %.2f s\n", r + 1, round.xcopy.seconds);
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
  if (variant.runAgain) printAgain(rounds, counts, static_cast<double>(ours[0].files.size()));

  // Checks on the destinations of the last round.
  Snapshot expected = expectedSnapshot(plan);
  for (size_t i = 0; i < counts.size(); ++i) {
    checkSnapshots("workers " + workersLabel(counts[i]) + " vs planned winners", ours[i], expected,
                   "identical", true);
    if (i > 0)
      checkSnapshots(
          "workers " + workersLabel(counts[i]) + " vs workers " + workersLabel(counts[0]), ours[i],
          ours[0], "same files (paths, sizes, times, contents)");
  }
  if (settings.xcopy)
    checkSnapshots("workers " + workersLabel(counts[0]) + " vs xcopy", ours[0], takeSnapshot(outX),
                   "same files (paths, sizes, times, contents)");
  fflush(stdout);
}
