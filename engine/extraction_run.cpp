#include "engine/extraction_run.h"

#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "engine/file_ops.h"
#include "engine/folder_tree.h"
#include "engine/preview.h"
#include "engine/source_scan.h"
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
      if (!target.empty()) transferFolder(options, tree.root(), target, tree.scannedIdentities());
    }
  }
  tree.clear();
}

// The texts the end of a run shows, made before the first run: a run that
// ends because memory ran out must be able to show them.
struct OutcomeTexts {
  std::wstring caption = texts::kAppName;
  std::wstring cancelled = texts::kOutcomeCancelled, errors = texts::kOutcomeErrors,
               done = texts::kOutcomeDone;
  std::wstring previewCancelled = texts::kPreviewOutcomeCancelled,
               previewDone = texts::kPreviewOutcomeDone;
};

const OutcomeTexts& outcomeTexts() {
  static const OutcomeTexts made;
  return made;
}

void report(RunHost& host, bool wasCancelled, const RunKind& kind) {
  const OutcomeTexts& t = outcomeTexts();
  host.runEnded(wasCancelled           ? RunOutcome::Cancelled
                : runState.errorLogged ? RunOutcome::CompletedWithErrors
                                       : RunOutcome::Completed);
  if (kind.preview) {
    // A preview always offers its log: the plan is what it is for.
    if (wasCancelled)
      host.showMessage(t.previewCancelled, t.caption, MB_OK);
    else if (host.showMessage(t.previewDone, t.caption, MB_YESNO | MB_ICONQUESTION) == IDYES)
      showLatestLog(host);
  } else if (wasCancelled) {
    host.showMessage(t.cancelled, t.caption, MB_OK);
  } else if (runState.errorLogged) {
    if (host.showMessage(t.errors, t.caption, MB_YESNO | MB_ICONQUESTION) == IDYES)
      showLatestLog(host);
  } else {
    host.showMessage(t.done, t.caption, MB_OK);
  }
}

void runWith(RunHost& host, const RunKind& kind) {
  try {
    outcomeTexts();
    // The run works on a copy of the inputs taken now: entries dropped onto
    // the source list while it runs wait for the next run.
    RunOptions options = host.readOptions();
    if (openRunLog(host, options, kind.started)) {
      bool outOfMemory = false;
      try {
        host.logOpened();
        extract(host, options, kind);
      } catch (...) {
        // Out of memory while merging a huge tree: record it and end the
        // run as stopped rather than taking the program down.  Nothing on
        // this way needs memory: the lines are made in place if need be,
        // and the outcome's texts exist already.
        outOfMemory = true;
      }
      bool wasCancelled = outOfMemory || cancelled();
      if (outOfMemory) writeLogLine(texts::kCategoryError, texts::kErrOutOfMemory);
      writeLogLine(texts::kCategoryNotice, wasCancelled ? kind.cancelled : kind.finished);
      closeRunLog();
      report(host, wasCancelled, kind);
    } else {
      host.runEnded(RunOutcome::NotStarted);
    }
  } catch (...) {
    // Nothing may escape the thread; the window must come back to idle.
  }
  runProgress.phase = RunPhase::Ended;
  // Fixed order: a close-waiter that sees `running` clear may end the
  // dialog at once.
  try {
    host.enterIdleState();
  } catch (...) {
  }
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
