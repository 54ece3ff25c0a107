#include "app/process_hardening.h"

#include "base/system_function.h"

namespace {

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

}  // namespace

DllSearchFunctions findDllSearchFunctions() {
  DllSearchFunctions functions;
  functions.setDllDirectory =
      systemFunction<decltype(functions.setDllDirectory)>(L"kernel32.dll", "SetDllDirectoryW");
  functions.setDefaultDllDirectories = systemFunction<decltype(functions.setDefaultDllDirectories)>(
      L"kernel32.dll", "SetDefaultDllDirectories");
  return functions;
}

void hardenProcess(const DllSearchFunctions& functions) {
  // An empty folder takes the current folder out of the search order.
  if (functions.setDllDirectory) functions.setDllDirectory(L"");
  if (functions.setDefaultDllDirectories)
    functions.setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // SetErrorMode replaces the mode and returns the former one; XP has no
  // GetErrorMode to read it first.
  const UINT former = SetErrorMode(SEM_FAILCRITICALERRORS);
  SetErrorMode(former | SEM_FAILCRITICALERRORS);
}
