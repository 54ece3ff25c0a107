#pragma once
// What one run of the benchmark was asked to do: its parts, the data set and
// the options of the engine's runs.

#include <cstdint>
#include <string>
#include <vector>

#include "bench/data_set.h"

struct Settings {
  DataSetParams data;
  uint32_t flatFiles = 5000;  // files per source of the flat variant
  std::wstring dataRoot;
  uint32_t rounds = 3;
  bool hierarchy = true, flat = true;
  bool xcopy = true;
  bool fresh = false;
  bool copyBench = true, sweepBench = true, slowBench = true, scaleBench = true, callsBench = true,
       againBench = true;
  // The engine's runs of the copy, sweep and slow parts: the box "出力先と同じ
  // ファイルはコピーしない" (RunOptions::skipSame) and a log line per file
  // (RunOptions::logTransfers).  The again part always has the box checked.
  bool skipSame = false;
  bool logTransfers = false;
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
