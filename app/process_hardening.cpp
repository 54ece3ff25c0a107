#include "app/process_hardening.h"

namespace {

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

template <typename Function>
Function kernelFunction(const char* name) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  FARPROC found = kernel ? GetProcAddress(kernel, name) : nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(found));
}

}  // namespace

DllSearchFunctions findDllSearchFunctions() {
  DllSearchFunctions functions;
  functions.setDllDirectory =
      kernelFunction<decltype(functions.setDllDirectory)>("SetDllDirectoryW");
  functions.setDefaultDllDirectories =
      kernelFunction<decltype(functions.setDefaultDllDirectories)>("SetDefaultDllDirectories");
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
