#pragma once
// The copy runs: a data set gathered by the real engine (once per worker
// count) and by the xcopy sequence in every round, timed side by side, and
// the destinations of the last round checked against each other and against
// the planned winners.

#include <string>
#include <vector>

#include "bench/bench_settings.h"
#include "bench/data_set.h"

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
  // After each engine run, a second one with the box checked into the
  // destination the first filled, timed and counted apart.
  bool runAgain = false;
};

void runVariant(const Settings& settings, const Variant& variant);
