#pragma once
// Settings the process makes before anything else runs: where DLLs loaded
// by name are looked for, and how a drive without a medium answers.

#include <windows.h>

// The loader functions hardenProcess uses; NULL where Windows lacks one.
struct DllSearchFunctions {
  BOOL(WINAPI* setDllDirectory)(LPCWSTR) = nullptr;  // Windows XP SP1 and later
  // Windows 8 and later, and Vista and 7 with update KB2533623.
  BOOL(WINAPI* setDefaultDllDirectories)(DWORD) = nullptr;
};

// Both functions as kernel32 of this Windows has them.
DllSearchFunctions findDllSearchFunctions();

// Drops the current folder from the DLL search and, where Windows can, limits
// the search of every later load by name to System32, so a DLL planted beside
// the program (a Downloads folder) is not taken for a system one.  Where
// setDefaultDllDirectories is missing, the program's own folder stays first
// in the search, as Windows has it.  Also makes errors of a drive without a
// medium (an empty card reader) come back to the caller instead of a system
// message box, keeping the other error-mode bits the process was given.
void hardenProcess(const DllSearchFunctions& functions);
