#pragma once
// Flags shared between the user-interface thread, the run's thread and the
// close-waiter.  Each has one writer at a time; atomics keep every read whole.

#include <atomic>

struct RunState {
  std::atomic<bool> running{false};          // a run is active
  std::atomic<bool> cancelRequested{false};  // the user asked the run to stop
  std::atomic<bool> errorLogged{false};      // the current run wrote an error line
};

extern RunState runState;

inline bool cancelled() { return runState.cancelRequested.load(); }
