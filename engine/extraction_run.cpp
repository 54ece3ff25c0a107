#include "engine/extraction_run.h"

#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "engine/file_ops.h"
#include "engine/folder_tree.h"
#include "engine/preview.h"
#include "engine/transfer.h"
#include "log/run_log.h"

namespace {

// What tells a preview from a run: its log's first and last lines and its
// outcome.
struct RunKind {
  bool preview;
  const wchar_t* started;
  const wchar_t* finished;
  const wchar_t* cancelled;
};
constexpr RunKind kExtraction = {false, texts::kRunStarted, texts::kRunFinished,
                                 texts::kRunCancelled};
constexpr RunKind kPreview = {true, texts::kPreviewStarted, texts::kPreviewFinished,
                              texts::kPreviewCancelled};

// Scan and transfer, or plan the transfer; the log is open.
void extract(RunHost& host, const RunOptions& options, const RunKind& kind) {
  FolderTree tree;
  runProgress.phase = RunPhase::Scanning;
  scanSources(options, tree);
  if (!cancelled()) {
    runProgress.selected = countSelected(tree.root(), options.targetKind);
    runProgress.done = 0;
    runProgress.phase = RunPhase::Transferring;
    if (kind.preview) {
      // The title stays the scan's; the destination text goes as typed.
      planTransfer(options, tree.root(), options.destination);
    } else {
      host.setTitle(options.copies() ? texts::kTitleCopying : texts::kTitleMoving);
      writeLogLine(texts::kCategoryNotice,
                   options.copies() ? texts::kCopyStarted : texts::kMoveStarted);
      std::wstring target = transferTarget(options.destination);
      if (!target.empty()) transferFolder(options, tree.root(), target);
    }
  }
  tree.clear();
}

void report(RunHost& host, bool wasCancelled, const RunKind& kind) {
  if (kind.preview) {
    // A preview always offers its log: the plan is what it is for.
    if (wasCancelled)
      host.showMessage(texts::kPreviewOutcomeCancelled, texts::kAppName, MB_OK);
    else if (host.showMessage(texts::kPreviewOutcomeDone, texts::kAppName,
                              MB_YESNO | MB_ICONQUESTION) == IDYES)
      showLatestLog(host);
  } else if (wasCancelled) {
    host.showMessage(texts::kOutcomeCancelled, texts::kAppName, MB_OK);
  } else if (runState.errorLogged) {
    if (host.showMessage(texts::kOutcomeErrors, texts::kAppName, MB_YESNO | MB_ICONQUESTION) ==
        IDYES)
      showLatestLog(host);
  } else {
    host.showMessage(texts::kOutcomeDone, texts::kAppName, MB_OK);
  }
}

void runWith(RunHost& host, const RunKind& kind) {
  try {
    // The run works on a copy of the inputs taken now: entries dropped onto
    // the source list while it runs wait for the next run.
    RunOptions options = host.readOptions();
    if (openRunLog(host, options, kind.started)) {
      bool logOpen = true;
      try {
        extract(host, options, kind);
      } catch (...) {
        // Out of memory while merging a huge tree: record it and end the
        // run as stopped rather than taking the program down.
        writeLogLine(texts::kCategoryError, texts::kErrOutOfMemory);
        writeLogLine(texts::kCategoryNotice, kind.cancelled);
        closeRunLog();
        logOpen = false;
        report(host, true, kind);
      }
      if (logOpen) {
        bool wasCancelled = cancelled();
        writeLogLine(texts::kCategoryNotice, wasCancelled ? kind.cancelled : kind.finished);
        closeRunLog();
        report(host, wasCancelled, kind);
      }
    }
  } catch (...) {
    // Nothing may escape the thread; the window must come back to idle.
  }
  runProgress.phase = RunPhase::Ended;
  // Fixed order: a close-waiter that sees `running` clear may end the
  // dialog at once.
  host.enterIdleState();
  runState.running = false;
}

}  // namespace

void runExtractionWith(RunHost& host) { runWith(host, kExtraction); }

void runPreviewWith(RunHost& host) { runWith(host, kPreview); }

DWORD WINAPI runExtraction(LPVOID host) {
  runExtractionWith(*static_cast<RunHost*>(host));
  return 0;
}

DWORD WINAPI runPreview(LPVOID host) {
  runPreviewWith(*static_cast<RunHost*>(host));
  return 0;
}
