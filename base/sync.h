#pragma once
// A critical section and its scope, for the few structures that several
// threads of one run share.  Waiting uses events and semaphores (KernelHandle)
// with these: condition variables do not exist before Vista.

#include <windows.h>

class CriticalSection {
 public:
  // A short spin before sleeping: the sections guard a few instructions,
  // and sleeping on one is a kernel call (under Wine a server round trip).
  CriticalSection() { InitializeCriticalSectionAndSpinCount(&section_, 4000); }
  ~CriticalSection() { DeleteCriticalSection(&section_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  void enter() { EnterCriticalSection(&section_); }
  void leave() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

class ScopedLock {
 public:
  explicit ScopedLock(CriticalSection& section) : section_(section) { section_.enter(); }
  ~ScopedLock() { section_.leave(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  CriticalSection& section_;
};
