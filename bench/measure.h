#pragma once
// Wall-clock timing, process memory counters and child processes for the
// benchmark.  Every measured phase runs in a child process of its own, so
// that the process's peak working set belongs to that phase alone.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// QueryPerformanceCounter in seconds since an arbitrary origin.
// Reads a whole file that others may hold open; false when it cannot be opened.
bool readWholeFile(const std::wstring& path, std::string& text);
double nowSeconds();
// Processor time (user and kernel) the calling thread has used.
double threadCpuSeconds();

struct MemoryCounters {
  uint64_t workingSet = 0;      // resident now
  uint64_t peakWorkingSet = 0;  // highest resident size so far
  uint64_t privateBytes = 0;    // committed private memory now
};
MemoryCounters readMemoryCounters();

// Waits (at most `limitSeconds`) until the system has written out what
// earlier phases left in its write cache, so that no timed phase pays for
// the one before it.  Reads the Linux kernel's own figures through Wine's
// view of the root file system; elsewhere it returns at once.  Returns the
// seconds waited.
double waitForWriteback(double limitSeconds = 45);

// The running executable's full path.
std::wstring selfPath();

// Quotes one command-line argument the way CommandLineToArgvW splits it.
std::wstring quoteArgument(const std::wstring& argument);

struct ChildResult {
  bool started = false;
  DWORD exitCode = 0;
  double seconds = 0;  // from CreateProcessW to the process's end
};
// Runs `commandLine` with standard output and error sent to `outputFile`
// ("" for the NUL device) and waits for it.
ChildResult runProcess(const std::wstring& commandLine, const std::wstring& outputFile = L"");

// Results passed from a child back to the parent: one "key value" per line.
class ResultFile {
 public:
  void set(const std::string& key, double value);
  void set(const std::string& key, const std::string& value);
  bool save(const std::wstring& path) const;
  bool load(const std::wstring& path);
  double number(const std::string& key, double fallback = 0) const;
  std::string text(const std::string& key) const;

 private:
  std::vector<std::pair<std::string, std::string>> values_;
};
