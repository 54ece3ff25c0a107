#pragma once
// Functions of the system's own DLLs that some of the Windows versions the
// program runs on lack: looked up at run time, so that the program still
// starts where one is missing, and the caller falls back.

#include <windows.h>

// `name` of the loaded system DLL `module` as a `Function` pointer, or
// nullptr where this Windows has none.
template <typename Function>
Function systemFunction(const wchar_t* module, const char* name) {
  HMODULE loaded = GetModuleHandleW(module);
  FARPROC found = loaded ? GetProcAddress(loaded, name) : nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(found));
}
