#pragma once
// The main window (dialog 201): every input of a run, the run button with its
// busy and idle states, and closing while a run is active.

#include <windows.h>

#include "app/command_line.h"
#include "app/unattended_run.h"
#include "base/run_host.h"
#include "base/run_options.h"
#include "settings/settings_file.h"

// The module that holds the dialogs and icons (stored by showMainWindow).
HINSTANCE appInstance();

// Shows the main window modally on the calling thread, with no owner, and
// returns the dialog's result once it has ended: 0, or after "/run" or
// "/preview" the exit code (app/unattended_run.h).  The command line's
// folders are listed as a drop lists them and its destination fills the
// destination box; a bad line shows the usage once the window is up (or,
// with "/run" or "/preview", ends it with kExitNotStarted).
INT_PTR showMainWindow(HINSTANCE instance, const CommandLine& commandLine = CommandLine());

// The program: the main window for `commandLine` as GetCommandLineW gives
// it.  Returns the process's exit code: 0 when started for a person, the
// run's after "/run" or "/preview" (kExitNotStarted at once, without a
// window, when such a line is bad).
int runProgram(HINSTANCE instance, const wchar_t* commandLine);

INT_PTR CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Steps of the window's life, all on the user-interface thread except
// enterIdleState, which a run also calls from its own thread at its end.
// initMainWindow computes the program's folder only while it is still
// unknown, so a folder set beforehand (setProgramFolder, in tests) is kept.
void initMainWindow(HWND window);
void startRun(HWND window);
// A preview (log menu command 2004): a run that plans instead of
// transferring, and leaves the settings file and the history alone.
void startPreview(HWND window);
void enterBusyState(HWND window);
void enterIdleState(HWND window);
// Polls runState.running every 100 ms, then posts WM_CLOSE to the window.
DWORD WINAPI closeWaiter(LPVOID window);

// The options as the window's controls hold them now: the whole destination
// text, every source list entry in list order, the option controls, and the
// log menu's transfer-logging switch.
RunOptions readRunOptions(HWND window);
StoredSettings storedSettingsOf(const RunOptions& options, const DestinationHistory& history);

// The RunHost a run gets: the options captured when the run button was
// pressed, and the window's title, message boxes and idle state.
class MainWindowHost : public RunHost {
 public:
  explicit MainWindowHost(HWND window) : window_(window), prompt_(window) {}
  void setOptions(RunOptions options) { options_ = std::move(options); }
  // Started by "/run" or "/preview", before any run: from then on no box
  // waits (UnattendedPrompt stands in for them), and the window closes once
  // a run has ended.
  void setUnattended() { unattended_ = true; }
  bool unattended() const { return unattended_; }
  UnattendedPrompt& unattendedPrompt() { return quiet_; }

  RunOptions readOptions() override { return options_; }
  void setTitle(const std::wstring& title) override;
  void enterIdleState() override;
  int showMessage(const std::wstring& text, const std::wstring& caption, UINT type) override;
  void shellOpen(const std::wstring& path) override;
  void logOpened() override;
  void runEnded(RunOutcome outcome) override;

 private:
  UserPrompt& prompt();

  HWND window_;
  WindowPrompt prompt_;
  UnattendedPrompt quiet_;
  bool unattended_ = false;
  RunOptions options_;
};

// Creates the run's thread; tests replace it to hold a run at its start or
// to make the creation fail.  Returns the thread's handle or NULL.
using RunThreadStarter = HANDLE (*)(LPTHREAD_START_ROUTINE procedure, LPVOID parameter);
void setRunThreadStarter(RunThreadStarter starter);  // nullptr: CreateThread
