#pragma once
// The main window (dialog 201): every input of a run, the run button with its
// busy and idle states, and closing while a run is active.

#include <windows.h>

#include "base/run_host.h"
#include "base/run_options.h"
#include "settings/settings_file.h"

// The module that holds the dialogs and icons (stored by showMainWindow).
HINSTANCE appInstance();

// Shows the main window modally on the calling thread, with no owner, and
// returns the dialog's result once it has ended.
INT_PTR showMainWindow(HINSTANCE instance);

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

  RunOptions readOptions() override { return options_; }
  void setTitle(const std::wstring& title) override;
  void enterIdleState() override;
  int showMessage(const std::wstring& text, const std::wstring& caption, UINT type) override;
  void shellOpen(const std::wstring& path) override;

 private:
  HWND window_;
  WindowPrompt prompt_;
  RunOptions options_;
};

// Creates the run's thread; tests replace it to hold a run at its start or
// to make the creation fail.  Returns the thread's handle or NULL.
using RunThreadStarter = HANDLE (*)(LPTHREAD_START_ROUTINE procedure, LPVOID parameter);
void setRunThreadStarter(RunThreadStarter starter);  // nullptr: CreateThread
