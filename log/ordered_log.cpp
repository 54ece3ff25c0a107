#include "log/ordered_log.h"

#include <utility>

#include "log/run_log.h"

void DirectLog::write(const wchar_t* category, std::wstring message) {
  writeLogLine(category, message);
}

OrderedLog::OrderedLog(size_t window)
    : roomMade_(CreateEventW(nullptr, FALSE, FALSE, nullptr)), slots_(window) {}

uint64_t OrderedLog::begin() {
  for (;;) {
    {
      ScopedLock hold(lock_);
      if (begun_ - written_ < slots_.size()) {
        waiting_ = false;
        return begun_++;
      }
      waiting_ = true;
    }
    WaitForSingleObject(roomMade_.get(), INFINITE);
  }
}

void OrderedLog::finish(uint64_t step, StepLines& lines) {
  // Whoever finishes the oldest unwritten step writes it and every later
  // step that has finished meanwhile.  Writing under the lock keeps lines of
  // two threads from crossing, and the run log has one writer at a time.
  ScopedLock hold(lock_);
  Slot& slot = slots_[step % slots_.size()];
  slot.finished = true;
  slot.lines = std::move(lines.lines());
  for (;;) {
    Slot& due = slots_[written_ % slots_.size()];
    if (written_ == begun_ || !due.finished) break;
    std::vector<StepLines::Line> out = std::move(due.lines);
    due.lines.clear();
    due.finished = false;
    ++written_;
    if (waiting_) {
      waiting_ = false;
      SetEvent(roomMade_.get());
    }
    for (StepLines::Line& line : out) writeLogLine(line.category, line.message);
  }
}

bool OrderedLog::drained() {
  ScopedLock hold(lock_);
  return written_ == begun_;
}
