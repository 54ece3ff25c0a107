#pragma once
// The narrow interfaces through which the engine and the run log reach the
// user: message boxes owned by the main window, the shell's "open", and the
// few window operations a run needs.  The main window implements them with
// its HWND; tests implement them to run whole extractions without a window.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "base/run_options.h"

class UserPrompt {
 public:
  virtual ~UserPrompt() = default;
  // A message box owned by the main window; returns the button pressed
  // (IDOK, IDYES, IDNO...).  `type` is the MB_* combination.
  virtual int showMessage(const std::wstring& text, const std::wstring& caption, UINT type) = 0;
  // ShellExecuteW with the verb "open", SW_SHOWNORMAL; result not examined.
  virtual void shellOpen(const std::wstring& path) = 0;
};

// How a run ended, as its outcome box tells it.  NotStarted: its log could
// not be opened.
enum class RunOutcome { NotStarted, Completed, CompletedWithErrors, Cancelled };

// What a run needs of its window.
class RunHost : public UserPrompt {
 public:
  // Options, sources (in list order) and destination text as the controls
  // hold them when the run starts.
  virtual RunOptions readOptions() = 0;
  virtual void setTitle(const std::wstring& title) = 0;
  // Inputs enabled, run button "抽出実行", title "Ostrelle".
  virtual void enterIdleState() = 0;
  // The run's log is open and its start line written; lines written here
  // follow the start line.  On the run's thread.
  virtual void logOpened() {}
  // Once per run, after its log is closed and before its outcome box (or
  // at once when the log could not be opened).  On the run's thread.
  virtual void runEnded(RunOutcome) {}
};

// UserPrompt on a real window: MessageBoxW and ShellExecuteW owned by `owner`.
class WindowPrompt : public UserPrompt {
 public:
  explicit WindowPrompt(HWND owner) : owner_(owner) {}
  int showMessage(const std::wstring& text, const std::wstring& caption, UINT type) override;
  void shellOpen(const std::wstring& path) override;
  HWND owner() const { return owner_; }

 private:
  HWND owner_;
};

// How far the current run (or preview) has got, for the window's taskbar
// button.  The window sets Starting before it creates the run's thread; the
// run's thread then moves it on and counts the files it has handled; the
// window reads it a few times a second.  Counting costs one atomic increment
// per file; nothing else happens on the run's side.
enum class RunPhase : int { Ended, Starting, Scanning, Transferring };

struct RunProgress {
  std::atomic<RunPhase> phase{RunPhase::Ended};
  std::atomic<uint32_t> selected{0};  // files the transfer will handle
  std::atomic<uint32_t> done{0};      // of those, handled (transferred or failed)

  void start() {
    selected = 0;
    done = 0;
    phase = RunPhase::Starting;
  }
  void fileDone() { done.fetch_add(1, std::memory_order_relaxed); }
};

inline RunProgress runProgress;
