#pragma once
// One real extraction run (scan and transfer through the engine, with its
// run log) timed from inside the process that does it.

#include <string>
#include <vector>

#include "bench/measure.h"

struct EngineRunRequest {
  std::vector<std::wstring> sources;
  std::wstring destination;
  bool ignoreHierarchy = false;
  std::wstring programFolder;  // where the run log goes
  unsigned workers = 0;        // RunOptions::workers: 0 automatic, else that many threads
};

// Entry point of the child process: runs the extraction and writes its
// figures into `resultPath`.  Returns the process exit code.
int runEngineChild(const EngineRunRequest& request, const std::wstring& resultPath);

// Command line that starts runEngineChild in a new process of this program.
std::wstring engineChildCommand(const EngineRunRequest& request, const std::wstring& resultPath);
// Parses what engineChildCommand produced (the arguments after the mode).
bool parseEngineChild(const std::vector<std::wstring>& args, EngineRunRequest& request,
                      std::wstring& resultPath);
