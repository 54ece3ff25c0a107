#pragma once
// The log button's popup menu: show the latest log, open the log folder,
// switch the logging of transfers, and preview a run (command 2004, which
// the main window handles).

#include <windows.h>

// The transfer-logging switch (loaded from the settings, stored when a run
// starts, flipped by the menu).
bool logTransfersEnabled();
void setLogTransfers(bool on);

// Shows the menu at the cursor, owned by `window`.
void showLogMenu(HWND window);
// Handles the menu commands 2001-2003; returns false for any other id.
bool handleLogMenuCommand(HWND window, int id);
