#pragma once
// The executable's drive and folder, ending in a backslash ("" if unknown).

#include <string>

// Computes it from the module's path; the main window calls this first.
void computeProgramFolder();
// Derives the folder from an executable path (exposed for tests).
std::wstring programFolderOf(const std::wstring& exePath);
const std::wstring& programFolder();
// Tests point the program's folder (settings, logs) at a temporary folder.
void setProgramFolder(const std::wstring& folder);
