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

ProcessHardening hardenProcess(const DllSearchFunctions& functions) {
  ProcessHardening done;
  // An empty folder takes the current folder out of the search order.
  if (functions.setDllDirectory) done.currentFolderDropped = functions.setDllDirectory(L"") != 0;
  if (functions.setDefaultDllDirectories) {
    done.onlySystemFolder = functions.setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != 0;
    // The current folder is not in that search either.
    done.currentFolderDropped = done.currentFolderDropped || done.onlySystemFolder;
  }
  // SetErrorMode replaces the mode and returns the former one; XP has no
  // GetErrorMode to read it first.
  const UINT former = SetErrorMode(SEM_FAILCRITICALERRORS);
  SetErrorMode(former | SEM_FAILCRITICALERRORS);
  return done;
}
