#pragma once
// A run started from the command line ("/run", "/preview") has nobody to
// answer its message boxes.  Their texts go into the run's log while one is
// open, a question takes the answer that does nothing more, nothing is
// opened through the shell, and the run's outcome becomes the process's
// exit code.

#include <atomic>
#include <string>
#include <vector>

#include "base/run_host.h"

// The process's exit codes after "/run" or "/preview".
enum ExitCode : int {
  kExitCompleted = 0,   // completed with no error line
  kExitWithErrors = 1,  // completed with error lines
  kExitCancelled = 2,   // stopped by the run button or by closing the window
  kExitNotStarted = 3,  // a bad argument, no source, no destination, no log
};
int exitCodeOf(RunOutcome outcome);

// A message box text as one log line: each run of line breaks becomes one
// space.
std::wstring logLineOf(const std::wstring& boxText);

class UnattendedPrompt : public UserPrompt {
 public:
  // Written into the log while it is open (an error box as "エラー", any
  // other as "確認"), otherwise dropped.  Answers No to a question, Cancel
  // where there is one, otherwise OK.
  int showMessage(const std::wstring& text, const std::wstring& caption, UINT type) override;
  void shellOpen(const std::wstring&) override {}

  // A box text from before the log exists (the settings file could not be
  // written): it becomes an error line once the log is open.  On the
  // user-interface thread, before the run's thread is made.
  void hold(const std::wstring& text) { held_.push_back(text); }
  // From the run's host, on the run's thread.
  void logOpened();
  void runEnded(RunOutcome outcome);

  // kExitNotStarted until a run has ended.
  int exitCode() const { return exitCode_.load(); }

 private:
  std::vector<std::wstring> held_;
  bool logOpen_ = false;
  std::atomic<int> exitCode_{kExitNotStarted};
};
