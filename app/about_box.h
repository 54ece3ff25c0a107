#pragma once
// The About box (dialog 203) with its web link, and the Readme button.

#include <windows.h>

void showAboutBox(HWND mainWindow);
void openReadme(HWND mainWindow);

// The shell's "open" (ShellExecuteW, SW_SHOWNORMAL) through which the link
// and the Readme button open their targets.  Tests put a recorder in its
// place to see what would be opened; nullptr restores the shell.
using ShellOpenFunction = void (*)(HWND owner, const wchar_t* target);
void setShellOpenForTests(ShellOpenFunction open);
