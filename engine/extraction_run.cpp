#include "engine/extraction_run.h"

#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "engine/file_ops.h"
#include "engine/folder_tree.h"
#include "engine/transfer.h"
#include "log/run_log.h"

namespace {

// Scan and transfer; the log is open.
void extract(RunHost& host, const RunOptions& options) {
  FolderTree tree;
  scanSources(options, tree);
  if (!cancelled()) {
    host.setTitle(options.copies() ? texts::kTitleCopying : texts::kTitleMoving);
    writeLogLine(texts::kCategoryNotice,
                 options.copies() ? texts::kCopyStarted : texts::kMoveStarted);
    // The long-path form takes a path exactly as it stands, so a text that
    // is no full path would otherwise be read against whatever the current
    // folder is; it fails like a folder that cannot be made (so does an empty
    // one).  A full one has its separators normalised first.
    if (isFullDestination(options.destination))
      transferFolder(options, tree.root(), L"\\\\?\\" + normaliseDestination(options.destination));
    else
      writeLogLine(texts::kCategoryError,
                   formatText(texts::kErrCreateTarget, options.destination.c_str()));
  }
  tree.clear();
}

void report(RunHost& host, bool wasCancelled) {
  if (wasCancelled) {
    host.showMessage(texts::kOutcomeCancelled, texts::kAppName, MB_OK);
  } else if (runState.errorLogged) {
    if (host.showMessage(texts::kOutcomeErrors, texts::kAppName, MB_YESNO | MB_ICONQUESTION) ==
        IDYES)
      showLatestLog(host);
  } else {
    host.showMessage(texts::kOutcomeDone, texts::kAppName, MB_OK);
  }
}

}  // namespace

void runExtractionWith(RunHost& host) {
  try {
    // The run works on a copy of the inputs taken now: entries dropped onto
    // the source list while it runs wait for the next run.
    RunOptions options = host.readOptions();
    if (openRunLog(host, options)) {
      bool logOpen = true;
      try {
        extract(host, options);
      } catch (...) {
        // Out of memory while merging a huge tree: record it and end the
        // run as stopped rather than taking the program down.
        writeLogLine(texts::kCategoryError, texts::kErrOutOfMemory);
        writeLogLine(texts::kCategoryNotice, texts::kRunCancelled);
        closeRunLog();
        logOpen = false;
        report(host, true);
      }
      if (logOpen) {
        bool wasCancelled = cancelled();
        writeLogLine(texts::kCategoryNotice,
                     wasCancelled ? texts::kRunCancelled : texts::kRunFinished);
        closeRunLog();
        report(host, wasCancelled);
      }
    }
  } catch (...) {
    // Nothing may escape the thread; the window must come back to idle.
  }
  // Fixed order: a close-waiter that sees `running` clear may end the
  // dialog at once.
  host.enterIdleState();
  runState.running = false;
}

DWORD WINAPI runExtraction(LPVOID host) {
  runExtractionWith(*static_cast<RunHost*>(host));
  return 0;
}
