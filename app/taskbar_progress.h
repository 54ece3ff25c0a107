#pragma once
// Progress of a run on the main window's taskbar button: indeterminate while
// scanning, files done out of files selected while transferring, the error
// state once an error line has been written, nothing when no run is active.
//
// The run's thread only moves runProgress on (base/run_host.h).  The window
// reads it from a timer a few times a second and hands what changed to the
// taskbar, on its own thread, where the taskbar object was made.

#include <windows.h>

#include <cstdint>
#include <memory>

#include "base/run_host.h"

enum class ProgressMode { None, Indeterminate, Normal, Error };

struct ProgressView {
  ProgressMode mode = ProgressMode::None;
  uint32_t done = 0, total = 0;  // meaningful in Normal and Error
  bool operator==(const ProgressView& o) const {
    return mode == o.mode && done == o.done && total == o.total;
  }
  bool operator!=(const ProgressView& o) const { return !(*this == o); }
};

// What the button shows for a run in `phase`.  Before its log is open the
// error flag still holds the previous run's value and is not looked at.  An
// error during the scan shows a full bar in the error state.
ProgressView progressViewOf(RunPhase phase, bool errorLogged, uint32_t done, uint32_t total);
// The same from runProgress and runState now.
ProgressView currentProgressView();

// The button's progress display: the taskbar list interface, or a stand-in.
class ProgressDisplay {
 public:
  virtual ~ProgressDisplay() = default;
  virtual void setMode(ProgressMode mode) = 0;
  virtual void setValue(uint32_t done, uint32_t total) = 0;
};

// The display of one window.  Hands on changes only, so a view that stays
// the same costs nothing however often it is shown.
class TaskbarProgress {
 public:
  // A new display (the button was made again); it starts out empty.
  void attach(std::unique_ptr<ProgressDisplay> display);
  void show(const ProgressView& view);

 private:
  std::unique_ptr<ProgressDisplay> display_;
  ProgressView shown_;
};

// The registered message the taskbar sends once a window's button exists;
// only then may its progress be set.
UINT taskbarButtonCreatedMessage();

// Lets the taskbar's message through to `window` also when the program runs
// elevated, which otherwise filters out messages from the less privileged
// shell (ChangeWindowMessageFilterEx, Windows 7 and later, looked up at run
// time; false where it is missing or refuses).
bool allowTaskbarMessage(HWND window);

// The taskbar list of `window`, or null where the system has none (Windows
// XP, a desktop without a taskbar).  On the window's thread, with COM
// initialised there.
std::unique_ptr<ProgressDisplay> createTaskbarDisplay(HWND window);

// Tests put a recording display in place of the taskbar's; nullptr restores
// it.
using ProgressDisplayFactory = std::unique_ptr<ProgressDisplay> (*)(HWND window);
void setProgressDisplayFactory(ProgressDisplayFactory factory);
