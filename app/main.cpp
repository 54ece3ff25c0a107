// clang-format off
#include <windows.h>
#include <commctrl.h>  // needs windows.h first
// clang-format on

#include "app/main_window.h"
#include "app/process_hardening.h"

// The program is its main window: it ends when the window closes, with the
// exit code of a run the command line asked for (0 otherwise).
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // First, before anything loads a DLL by name.
  hardenProcess(findDllSearchFunctions());
  InitCommonControls();  // the manifest asks for the version 6 controls
  return runProgram(instance, GetCommandLineW());
}
