#include "bench/again.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/text.h"
#include "bench/engine_run.h"
#include "bench/measure.h"
#include "bench/report.h"
#include "bench/scan_parts.h"
#include "bench/source_folders.h"
#include "bench/tree_snapshot.h"
#include "bench/xcopy_sequence.h"

namespace {

constexpr double kChangedShare = 0.10;

enum Phase { kFirst, kNothingChanged, kChanged, kPhaseCount };
const char* const kPhaseNames[kPhaseCount] = {"first", "again, nothing changed",
                                              "again, 10% changed"};

// One round: each side's three runs, in phase order.
struct AgainRound {
  ResultFile engine[kPhaseCount];
  XcopySequenceResult xcopy[kPhaseCount];
};

// Writes the files of the changed names as `plan` has them: the newer
// copies (the changed plan) or the data set's own (the plan it was written
// from).  False, after a failed check, when a file cannot be written.
bool writeChangedFiles(const DataSetPlan& plan, const std::wstring& sourceRoot,
                       const std::vector<size_t>& changed) {
  for (size_t index : changed) {
    const PlannedName& name = plan.names[index];
    if (!writeCopy(plan, sourceRoot, name, name.winner())) {
      checkFailed("again: cannot write " + utf8(copyPath(plan, sourceRoot, name, name.winner())));
      return false;
    }
  }
  return true;
}

// The number of files the run's log says it left out, checked against what
// the destination held before it.
void checkSkipped(const ResultFile& run, double expected, const std::string& what) {
  double skipped = run.number("skipped", -1);
  if (skipped != expected)
    checkFailed(what + ": the log says " + grouped(skipped) + " files left out as the same, " +
                grouped(expected) + " expected");
}

void printMedians(const std::vector<AgainRound>& rounds) {
  printf("  median of %zu round(s):\n", rounds.size());
  printf("    %-24s %10s %10s %9s  %s\n", "phase", "Ostrelle", "xcopy", "/ xcopy",
         "rounds' own ratios");
  for (int p = 0; p < kPhaseCount; ++p) {
    std::vector<double> ours, theirs, ratios;
    for (const auto& r : rounds) {
      ours.push_back(r.engine[p].number("whole_s"));
      theirs.push_back(r.xcopy[p].seconds);
      ratios.push_back(ours.back() / theirs.back());
    }
    printf("    %-24s %8.2f s %8.2f s %9.2f  %.2f-%.2f\n", kPhaseNames[p], median(ours),
           median(theirs), median(ours) / median(theirs),
           *std::min_element(ratios.begin(), ratios.end()),
           *std::max_element(ratios.begin(), ratios.end()));
  }
  printf("    (/ xcopy: the ratio of the medians)\n");
  std::vector<double> scan, transfer;
  for (const auto& r : rounds) {
    scan.push_back(r.engine[kNothingChanged].number("scan_s"));
    transfer.push_back(r.engine[kNothingChanged].number("transfer_s"));
  }
  printf(
      "    Ostrelle again, nothing changed: scan %.2f s, transfer %.2f s (the transfer is the "
      "skip checks alone)\n",
      median(scan), median(transfer));
}

}  // namespace

void runAgainPart(const Settings& settings) {
  DataSetPlan plan = planDataSet(settings.data);
  const std::wstring setFolder = settings.dataRoot + L"\\" + plan.params.key();
  const std::wstring sourceRoot = setFolder + L"\\sources";
  const std::wstring outE = setFolder + L"\\out-again-ostrelle";
  const std::wstring outX = setFolder + L"\\out-again-xcopy";
  CreateDirectoryW(setFolder.c_str(), nullptr);
  printf(
      "\n=== Again: a second and a third gather into the destination the first one filled "
      "===\n");
  printf("Data set: %s\n", utf8(plan.params.describe()).c_str());
  describePlan(plan);
  fflush(stdout);
  if (!prepareSources(plan, sourceRoot, settings.fresh)) {
    checkFailed("again: the sources could not be written");
    return;
  }
  std::vector<size_t> changed;
  DataSetPlan newer = planNewerWinners(plan, kChangedShare, settings.data.seed, changed);
  const double names = static_cast<double>(plan.names.size());
  const double changedCount = static_cast<double>(changed.size());
  printf(
      "Run: copy mode, default options, subfolders included, box \"same files not copied\" "
      "checked%s,\nautomatic workers; xcopy SRC DST /S /E /D /Y /I /Q per source.  Between the "
      "second and the\nthird run %s winners (%.0f%%) get a newer copy of another size in their "
      "source.\n",
      settings.logTransfers ? ", a log line per file" : "", grouped(changedCount).c_str(),
      kChangedShare * 100);

  EngineRunRequest request;
  request.sources = sourceFolders(plan, sourceRoot);
  request.destination = outE;
  request.programFolder = setFolder + L"\\program";
  request.skipSame = true;
  request.logTransfers = settings.logTransfers;
  CreateDirectoryW(request.programFolder.c_str(), nullptr);
  // The destination holds nothing, all winners, all but the changed ones.
  const double expectedSkips[kPhaseCount] = {0, names, names - changedCount};

  std::vector<AgainRound> rounds;
  for (uint32_t r = 0; r < settings.rounds; ++r) {
    AgainRound round;
    removeTree(outE);
    removeTree(outX);
    for (int p = 0; p < kPhaseCount; ++p) {
      std::string what = "again, round " + std::to_string(r + 1) + ", " + kPhaseNames[p];
      if (p == kChanged) {
        markSourcesChanging(sourceRoot);
        double start = nowSeconds();
        if (!writeChangedFiles(newer, sourceRoot, changed)) return;
        printf("  round %u: %s newer copies written in %.2f s\n", r + 1,
               grouped(changedCount).c_str(), nowSeconds() - start);
      }
      auto runEngine = [&] {
        waitForWriteback();
        EngineRunFigures run = runEngineProcess(request, setFolder, what + ", Ostrelle");
        round.engine[p] = run.result;
        if (run.ok) checkSkipped(run.result, expectedSkips[p], what + ", Ostrelle");
      };
      auto runXcopy = [&] {
        waitForWriteback();
        round.xcopy[p] = runXcopySequence(request.sources, outX, setFolder);
        if (!round.xcopy[p].ok) checkFailed(what + ": " + utf8(round.xcopy[p].problem));
      };
      // As in the copy runs, the side that goes first alternates by round.
      if (r % 2 == 0) {
        runEngine();
        runXcopy();
      } else {
        runXcopy();
        runEngine();
      }
      const ResultFile& e = round.engine[p];
      printf(
          "  round %u, %-23s Ostrelle %7.2f s (scan %.2f s, transfer %.2f s), xcopy sequence "
          "%7.2f s (%s files copied), ratio %.2f\n",
          r + 1, (std::string(kPhaseNames[p]) + ":").c_str(), e.number("whole_s"),
          e.number("scan_s"), e.number("transfer_s"), round.xcopy[p].seconds,
          grouped(static_cast<double>(round.xcopy[p].filesCopied)).c_str(),
          e.number("whole_s") / round.xcopy[p].seconds);
      fflush(stdout);
    }
    // Every round starts from the data set as written.
    if (!writeChangedFiles(plan, sourceRoot, changed)) return;
    markSourcesComplete(plan, sourceRoot);
    rounds.push_back(std::move(round));
  }
  printMedians(rounds);

  // The last round's destinations hold the newer winners.
  Snapshot expected = expectedSnapshot(newer);
  Snapshot ours = takeSnapshot(outE);
  checkSnapshots("again, Ostrelle vs planned winners after the change", ours, expected, "identical",
                 true);
  checkSnapshots("again, xcopy vs planned winners after the change", takeSnapshot(outX), expected,
                 "identical", true);
  fflush(stdout);

  printScanParts(request.sources, plan, settings.rounds);
}
