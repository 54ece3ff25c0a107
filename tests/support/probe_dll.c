/* A DLL with nothing in it: the DLL-search test plants copies of it in
   several folders and asks which one the loader took. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  (void)module;
  (void)reason;
  (void)reserved;
  return TRUE;
}
