#pragma once
// One extraction run: open the log, scan, transfer, close the log, report,
// hand the window back.

#include <windows.h>

#include "base/run_host.h"

// The run's thread procedure; `host` is the RunHost of the main window.
DWORD WINAPI runExtraction(LPVOID host);

// The same sequence on the calling thread.  Expects runState.running set by
// the caller and clears it as its very last action.
void runExtractionWith(RunHost& host);
