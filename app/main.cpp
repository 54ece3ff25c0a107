// clang-format off
#include <windows.h>
#include <commctrl.h>  // needs windows.h first
// clang-format on

#include "app/main_window.h"

// The program is its main window: it ends when the window closes.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  InitCommonControls();  // the manifest asks for the version 6 controls
  showMainWindow(instance);
  return 0;
}
