#pragma once
// The two inputs that say where a run reads and writes: the source list
// (filled by the add-source dialog and by drops, emptied by "削除") and the
// destination box (typed, picked, chosen from the history or dropped).

// clang-format off
#include <windows.h>
#include <shellapi.h>  // needs windows.h first
// clang-format on

#include <string>
#include <vector>

// Makes the destination box and then the source list take dropped files.
void installDropTargets(HWND mainWindow);

// Replacement window procedures of the two controls: they consume
// WM_DROPFILES and pass everything else to the control's own procedure.
LRESULT CALLBACK handleSourceDrop(HWND list, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK handleDestinationDrop(HWND box, UINT message, WPARAM wParam, LPARAM lParam);

// The paths of a drop, in the drop's order.
std::vector<std::wstring> droppedPaths(HDROP drop);

// The whole text of a control, however long.
std::wstring controlText(HWND control);

// Every entry of a list box, in list order.
std::vector<std::wstring> sourceEntries(HWND list);
// True when an entry equals `path` under the name order's case folding.
bool isSourceListed(HWND list, const std::wstring& path);
// Adds `path` unless it is listed already; returns whether it was added.
bool addSource(HWND list, const std::wstring& path);
// Adds paths as a drop onto the list adds them: in the order given, each
// unchanged unless listed already (also earlier in the same call), then the
// horizontal extent.  Nothing is checked: a file or a missing folder is
// listed too, and the scan reports it.
void addSources(HWND list, const std::vector<std::wstring>& paths);
// The horizontal extent becomes the widest entry's width in the list's font.
void updateHorizontalExtent(HWND list);
// Removes the selected entry and selects the one that took its place (or the
// new last one); nothing happens without a selection.
void removeSelectedSource(HWND mainWindow);

// The add-source dialog (202), owned by the main window; 1 after "追加",
// 0 after cancelling.
INT_PTR showAddSourceDialog(HWND mainWindow);
// "追加"'s text rule: exactly one trailing backslash is removed.
std::wstring withoutTrailingBackslash(std::wstring text);

// The shell's folder picker, opening at the folder named by `path`.  On true
// `path` holds the chosen folder; on false it is unchanged.
bool browseForFolder(HWND owner, const wchar_t* title, std::wstring& path);
// "..." of the main window: the picker for the destination box.
void browseDestination(HWND mainWindow);
