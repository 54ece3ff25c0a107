#pragma once
// Event lines of work done on several threads, written in the order one
// thread would have written them.
//
// A phase numbers its steps in one-thread order.  Each step collects its
// lines in a StepLines and hands them to OrderedLog::finish.  The lines of
// step s reach the run log only once every step before s has finished, so
// the log is line for line the one-thread log.  Each line gets its time
// stamp as it is written (writeLogLine), and an error line sets errorLogged
// at that moment.  At most `window` steps are begun and not yet written,
// which bounds the lines held back however long the phase runs.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/handles.h"
#include "base/sync.h"

// Where a piece of engine work writes its event lines.
class LogSink {
 public:
  virtual void write(const wchar_t* category, std::wstring message) = 0;

 protected:
  ~LogSink() = default;
};

// Straight into the run log: work done on the run's own thread.
class DirectLog final : public LogSink {
 public:
  void write(const wchar_t* category, std::wstring message) override;
};

// The lines of one step, held until its turn.  `category` is one of the
// static category texts.
class StepLines final : public LogSink {
 public:
  struct Line {
    const wchar_t* category;
    std::wstring message;
  };
  void write(const wchar_t* category, std::wstring message) override {
    lines_.push_back(Line{category, std::move(message)});
  }
  std::vector<Line>& lines() { return lines_; }

 private:
  std::vector<Line> lines_;
};

class OrderedLog {
 public:
  // False from ok() when the platform gave no event; the caller then works
  // on one thread.
  explicit OrderedLog(size_t window);
  OrderedLog(const OrderedLog&) = delete;
  OrderedLog& operator=(const OrderedLog&) = delete;
  bool ok() const { return static_cast<bool>(roomMade_); }

  // The number of the next step, on the one thread that numbers them.
  // Waits while `window` steps are begun and not yet written.
  uint64_t begin();
  // Once for every begun step, from any thread, with the step's lines (none
  // for a step dropped after a cancel).  Writes the lines of every step
  // that is now due, in step order.
  void finish(uint64_t step, StepLines& lines);
  // Whether every begun step has been written.
  bool drained();

 private:
  struct Slot {
    bool finished = false;
    std::vector<StepLines::Line> lines;
  };
  CriticalSection lock_;
  // Set for a begin() that waits for room; signalled only then, so a phase
  // that never fills the window makes no kernel call for it.
  KernelHandle roomMade_;
  bool waiting_ = false;
  std::vector<Slot> slots_;
  uint64_t begun_ = 0, written_ = 0;
};
