#pragma once
// The About box (dialog 203) with its web link, and the Readme button.

#include <windows.h>

void showAboutBox(HWND mainWindow);
void openReadme(HWND mainWindow);
