#pragma once
// Whether a target already holds the file a copy would bring: the same size
// and the same last-write time, the times compared at the precision the
// destination's volume keeps.  A copy that leaves out what is the same
// changes nothing there: no write, no time, no attribute, no temporary.

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

// Time steps in FILETIME ticks (100 ns).
constexpr uint64_t kExactTime = 1, kExFatTime = 100000, kFatTime = 20000000;

// The precision of last-write times on a file system of that name (as
// GetVolumeInformationW gives it): exact on NTFS and ReFS, 10 ms on exFAT,
// 2 s on FAT and wherever the volume does not say.
uint64_t timePrecisionOf(const std::wstring& fileSystemName);
// The same for the volume that holds `folder` (a "\\?\" path); the answer
// for each volume is asked once per process.
uint64_t timePrecisionAt(const std::wstring& folder);

// Whether two last-write times are one at that precision: closer than one
// step.  A volume rounds a time it stores to its step, so a time and its
// stored form are always closer than that; an hour apart is never the same.
bool sameTime(uint64_t a, uint64_t b, uint64_t precision);

// Whether `target` (a "\\?\" path) is a file of `size` bytes whose last
// write is `written` at `precision`.
bool holdsSameFile(const std::wstring& target, uint64_t size, uint64_t written, uint64_t precision);

// What a folder held when a run came to it, as its enumeration gave it: the
// size and last-write time of each file, by its name as the file system
// compares names.  Asking it costs no request, where asking by name costs
// one for every file (and for a new name, a system that looks for other
// spellings of it reads the whole folder).
class FolderSnapshot {
 public:
  void add(const WIN32_FIND_DATAW& entry);  // folders are left out
  bool holdsSame(std::wstring_view name, uint64_t size, uint64_t written, uint64_t precision) const;

 private:
  struct File {
    uint64_t size, written;
  };
  std::unordered_map<std::wstring, File> files_;  // by folded name
};
