#pragma once
// A reproducible benchmark data set: several source folders whose names
// partly overlap, with chosen depth and file sizes.  Everything follows from
// the parameters and the seed, so the same command makes the same files.

#include <cstdint>
#include <string>
#include <vector>

struct DataSetParams {
  uint32_t seed = 1;
  uint32_t sources = 3;
  uint32_t filesPerSource = 20000;
  double sharedShare = 0.5;  // share of distinct names present in two or more sources
  uint32_t depth = 3;        // folder levels below each source (0: flat, all files at the top)
  uint32_t fanOut = 4;       // subfolders per folder
  uint32_t minSize = 100;    // file sizes in bytes, uniform in [minSize, maxSize]
  uint32_t maxSize = 4000;

  std::wstring describe() const;
  // A folder name that changes with every parameter.
  std::wstring key() const;
};

// Small, fast, fully specified generator (the same numbers on every build).
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }

 private:
  uint64_t state_;
};

struct PlannedCopy {
  uint32_t source;  // 0-based, in list order
  uint64_t time;    // last-write time (FILETIME ticks)
  uint32_t size;
};

struct PlannedName {
  std::wstring name;
  uint32_t folder;  // index into DataSetPlan::folders
  std::vector<PlannedCopy> copies;
  // The copy that must win: the newest, the earlier source on a tie.
  const PlannedCopy& winner() const;
};

struct DataSetPlan {
  DataSetParams params;
  std::vector<std::wstring> folders;  // relative paths, "" first
  std::vector<PlannedName> names;
  uint64_t copyCount() const;
  uint64_t sharedNameCount() const;
};

DataSetPlan planDataSet(const DataSetParams& params);

// The bytes of one copy: a header naming source and file, then filler.
std::string copyContent(const PlannedName& name, const PlannedCopy& copy);

// Writes the sources as root\s1..sN, every folder of the plan in each.
// Returns false when a file cannot be written.
bool writeDataSet(const DataSetPlan& plan, const std::wstring& root);

// The file of one copy below `root` (as writeDataSet places it).
std::wstring copyPath(const DataSetPlan& plan, const std::wstring& root, const PlannedName& name,
                      const PlannedCopy& copy);
// Writes (or overwrites) one copy's file: its content, size and times.
bool writeCopy(const DataSetPlan& plan, const std::wstring& root, const PlannedName& name,
               const PlannedCopy& copy);

// The plan after newer copies of some winners were written into the sources:
// a seeded choice of `share` of the names (the same for the same plan, share
// and seed), whose winner's file gets new content of another size and a
// last-write time newer than every copy of its name, so it stays the winner
// and differs from the copy gathered before in both size and time.
// `changed` receives the indexes of the chosen names, in plan order.
DataSetPlan planNewerWinners(const DataSetPlan& plan, double share, uint64_t seed,
                             std::vector<size_t>& changed);
