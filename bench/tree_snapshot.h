#pragma once
// What a destination folder holds, for checking two runs against each other
// and against the data set's expected winners.

#include <cstdint>
#include <string>
#include <vector>

#include "bench/data_set.h"

struct SnapshotFile {
  std::wstring relative;  // path below the root, "\" separated
  uint64_t size = 0;
  uint64_t written = 0;  // last-write time
  uint64_t hash = 0;     // of the content (FNV-1a)
};

struct Snapshot {
  std::vector<SnapshotFile> files;  // sorted in name order
  std::vector<std::wstring> folders;
  uint64_t totalBytes = 0;
};

Snapshot takeSnapshot(const std::wstring& root);
// The destination that the plan's winners make.
Snapshot expectedSnapshot(const DataSetPlan& plan);

// Differences as readable lines (at most `limit`); empty when equal.
std::vector<std::wstring> compareSnapshots(const Snapshot& a, const Snapshot& b,
                                           bool compareFolders, size_t limit = 5);

// Prints "destination check, <what>: <sameText>" (with the first snapshot's
// counts of files and folders when `withCounts`) or "DIFFERENT" and the first
// differences, which count as a failed check.  True when equal.
bool checkSnapshots(const std::string& what, const Snapshot& a, const Snapshot& b,
                    const char* sameText, bool withCounts = false);

// Deletes a folder and everything below it.
void removeTree(const std::wstring& path);
