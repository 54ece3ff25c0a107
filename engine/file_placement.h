#pragma once
// Giving a complete copy its target's name.
//
// A new name is given through the copy's own open, so the file never has its
// name before it is whole and nobody can take it away in between.  An
// existing file of that name is replaced by ReplaceFileW, which keeps the
// replaced file's identity (its security, owner and the like, as a copy
// over an existing file does), with a backup name so that no failure can
// leave neither version under the target's name; it needs the copy closed.
// Where a volume refuses it, or it is not used, the copy is renamed over
// the old file, through its own open where the system allows.

#include <windows.h>

#include <string>

#include "engine/temporary_file.h"

// How an existing target is replaced.  `Platform` is ReplaceFileW, with the
// rename as the fallback where a volume refuses it; `Rename` is the rename
// over it.  `Automatic` takes Platform, except under Wine, whose
// ReplaceFileW moves the old file aside first and is not atomic.  Tests
// choose one to check both ways.
enum class ReplaceMethod { Automatic, Platform, Rename };
void setReplaceMethod(ReplaceMethod method);

// ReplaceFileW, or what a test puts in its place to answer as a volume
// would (nullptr: ReplaceFileW).
using ReplaceFileFunction = BOOL(WINAPI*)(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup,
                                          DWORD flags, LPVOID exclude, LPVOID reserved);
void setReplaceFileFunction(ReplaceFileFunction function);

enum class Placement {
  ByHandle,  // took the name through its open: it has the times and attributes set on it
  ByName,    // took the name by name: set its times again
  Failed,    // the target is as it was; the copy goes with its object
};

// Gives the complete copy `temporary` the name `to` (a "\\?\" path).  With
// `replace`, an existing file is replaced, also a read-only one, and the
// result carries the copy's attributes; a folder of that name stays.
// Without, an existing file makes it fail.  After a failure GetLastError
// tells why.
Placement placeTemporary(Temporary& temporary, const std::wstring& to, bool replace);
