#pragma once
// One extraction run: open the log, scan, transfer, close the log, report,
// hand the window back.  A preview is the same run that plans the transfer
// into its log instead of doing it.

#include <windows.h>

#include "base/run_host.h"

// The run's thread procedure; `host` is the RunHost of the main window.
DWORD WINAPI runExtraction(LPVOID host);

// The same sequence on the calling thread.  Expects runState.running set by
// the caller and clears it as its very last action.
void runExtractionWith(RunHost& host);

// The preview's thread procedure and the same on the calling thread: the
// run's sequence with "プレビュー開始。" and "プレビュー完了。" (or "プレビュー中止。"),
// the transfer planned (engine/preview.h), and an outcome that offers the
// log.
DWORD WINAPI runPreview(LPVOID host);
void runPreviewWith(RunHost& host);
