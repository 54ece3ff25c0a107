// clang-format off
#include <windows.h>
#include <commctrl.h>  // needs windows.h first
// clang-format on

#include "app/main_window.h"
#include "app/process_hardening.h"

// The program is its main window: it ends when the window closes.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // First, before anything loads a DLL by name.
  hardenProcess(findDllSearchFunctions());
  InitCommonControls();  // the manifest asks for the version 6 controls
  showMainWindow(instance);
  return 0;
}
