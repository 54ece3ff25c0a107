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
  bool skipSame = false;       // RunOptions::skipSame
  bool logTransfers = false;   // RunOptions::logTransfers
};

// Entry point of the child process: runs the extraction and writes its
// figures into `resultPath` (with "skipped", the count of files the run's log
// says it left out as the same; 0 when it names none, -1 when the log cannot
// be read).  Returns the process exit code.
int runEngineChild(const EngineRunRequest& request, const std::wstring& resultPath);

// Command line that starts runEngineChild in a new process of this program.
std::wstring engineChildCommand(const EngineRunRequest& request, const std::wstring& resultPath);
// A child's figures, as the parent process sees them.
struct EngineRunFigures {
  bool ok = false;  // the process ended with exit code 0 and left its figures
  ResultFile result;
  double processSeconds = 0;  // from CreateProcessW to its end
};
// Starts runEngineChild in a process of its own (result and output files in
// `scratch`) and waits for it.  A run that fails, writes error lines or does
// not finish is a failed check named after `what`.
EngineRunFigures runEngineProcess(const EngineRunRequest& request, const std::wstring& scratch,
                                  const std::string& what);

// Parses what engineChildCommand produced (the arguments after the mode).
bool parseEngineChild(const std::vector<std::wstring>& args, EngineRunRequest& request,
                      std::wstring& resultPath);
