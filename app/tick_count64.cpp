// GetTickCount64 for Windows XP.
//
// The thread library that comes with the compiler (linked in statically for
// the C++ runtime's locks) times its waits with GetTickCount64, which kernel32
// has only from Windows Vista on; a program importing it does not start on XP.
// This file defines the import pointer those calls go through, so the linker
// takes it instead of kernel32's: it leads to kernel32's own GetTickCount64
// where there is one, found at run time, and otherwise to GetTickCount
// widened to 64 bits.  Linked into the program only (not into a library), so
// the definition is there before the thread library asks for the import.

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace {

using TickCount64Function = ULONGLONG(WINAPI*)();

// The last count handed out by the fallback; every count builds on it.
std::atomic<std::uint64_t> g_lastTickCount{0};

// GetTickCount wraps to 0 every 49.7 days.  Each call adds the milliseconds
// since the last count (a 32-bit difference, so it is right across a wrap) to
// that count.  The clock is read after the last count is loaded and never
// runs backwards, so no thread adds a negative time; a thread that loses the
// exchange reads the clock again.  Calls must come less than 49.7 days apart,
// which holds for timeouts measured from one call to the next.
ULONGLONG WINAPI widenedTickCount() {
  std::uint64_t last = g_lastTickCount.load();
  for (;;) {
    const DWORD now = GetTickCount();
    const std::uint64_t next = last + static_cast<DWORD>(now - static_cast<DWORD>(last));
    if (g_lastTickCount.compare_exchange_weak(last, next)) return next;
  }
}

TickCount64Function findTickCount64() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  FARPROC found = kernel ? GetProcAddress(kernel, "GetTickCount64") : nullptr;
  if (!found) return &widenedTickCount;
  return reinterpret_cast<TickCount64Function>(reinterpret_cast<void*>(found));
}

// Resolved on first use.  Threads racing here all find the same function, so
// no lock is needed (and none is taken: the thread library's locks call this).
std::atomic<TickCount64Function> g_tickCount64{nullptr};

ULONGLONG WINAPI tickCount64() {
  TickCount64Function f = g_tickCount64.load(std::memory_order_acquire);
  if (!f) {
    f = findTickCount64();
    g_tickCount64.store(f, std::memory_order_release);
  }
  return f();
}

}  // namespace

// The import pointer's own name: decorated for stdcall on 32-bit x86.
#if defined(__i386__)
#define OSTRELLE_TICK_COUNT64_IMPORT "__imp__GetTickCount64@0"
#else
#define OSTRELLE_TICK_COUNT64_IMPORT "__imp_GetTickCount64"
#endif

extern "C" {
extern TickCount64Function const ostrelleTickCount64Import __asm__(OSTRELLE_TICK_COUNT64_IMPORT);
TickCount64Function const ostrelleTickCount64Import = &tickCount64;
}
