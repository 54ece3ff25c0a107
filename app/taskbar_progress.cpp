#include "app/taskbar_progress.h"

#include <objbase.h>
#include <shobjidl.h>

#include "base/run_state.h"
#include "base/system_function.h"

namespace {

ProgressDisplayFactory displayFactory = nullptr;

// The class of the taskbar list object; its ITaskbarList3 interface exists
// from Windows 7 on.
const CLSID kTaskbarListClass = {
    0x56fdf344, 0xfd6d, 0x11d0, {0x95, 0x8a, 0x00, 0x60, 0x97, 0xc9, 0xa0, 0x90}};
const IID kTaskbarList3 = {
    0xea1afb91, 0x9e28, 0x4b86, {0x90, 0xe9, 0x9e, 0x9f, 0x8a, 0x5e, 0xef, 0xaf}};

class TaskbarListDisplay : public ProgressDisplay {
 public:
  TaskbarListDisplay(HWND window, ITaskbarList3* list) : window_(window), list_(list) {}
  ~TaskbarListDisplay() override { list_->Release(); }
  TaskbarListDisplay(const TaskbarListDisplay&) = delete;
  TaskbarListDisplay& operator=(const TaskbarListDisplay&) = delete;

  void setMode(ProgressMode mode) override {
    TBPFLAG flag = TBPF_NOPROGRESS;
    switch (mode) {
      case ProgressMode::None:
        break;
      case ProgressMode::Indeterminate:
        flag = TBPF_INDETERMINATE;
        break;
      case ProgressMode::Normal:
        flag = TBPF_NORMAL;
        break;
      case ProgressMode::Error:
        flag = TBPF_ERROR;
        break;
    }
    list_->SetProgressState(window_, flag);
  }
  void setValue(uint32_t done, uint32_t total) override {
    list_->SetProgressValue(window_, done, total);
  }

 private:
  HWND window_;
  ITaskbarList3* list_;
};

}  // namespace

ProgressView progressViewOf(RunPhase phase, bool errorLogged, uint32_t done, uint32_t total) {
  switch (phase) {
    case RunPhase::Ended:
      return {};
    case RunPhase::Starting:
      return {ProgressMode::Indeterminate, 0, 0};
    case RunPhase::Scanning:
      if (errorLogged) return {ProgressMode::Error, 1, 1};
      return {ProgressMode::Indeterminate, 0, 0};
    case RunPhase::Transferring:
      break;
  }
  if (done > total) done = total;
  return {errorLogged ? ProgressMode::Error : ProgressMode::Normal, done, total};
}

ProgressView currentProgressView() {
  RunPhase phase = runProgress.phase.load();
  return progressViewOf(phase, runState.errorLogged.load(), runProgress.done.load(),
                        runProgress.selected.load());
}

void TaskbarProgress::attach(std::unique_ptr<ProgressDisplay> display) {
  display_ = std::move(display);
  shown_ = ProgressView();
}

void TaskbarProgress::show(const ProgressView& view) {
  if (!display_ || view == shown_) return;
  if (view.mode != shown_.mode) display_->setMode(view.mode);
  bool hasValue = view.mode == ProgressMode::Normal || view.mode == ProgressMode::Error;
  if (hasValue &&
      (view.mode != shown_.mode || view.done != shown_.done || view.total != shown_.total))
    display_->setValue(view.done, view.total);
  shown_ = view;
}

UINT taskbarButtonCreatedMessage() {
  static const UINT message = RegisterWindowMessageW(L"TaskbarButtonCreated");
  return message;
}

bool allowTaskbarMessage(HWND window) {
  using FilterMessage = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
  constexpr DWORD kAllow = 1;  // MSGFLT_ALLOW
  auto filter = systemFunction<FilterMessage>(L"user32.dll", "ChangeWindowMessageFilterEx");
  UINT message = taskbarButtonCreatedMessage();
  return filter && message && filter(window, message, kAllow, nullptr);
}

std::unique_ptr<ProgressDisplay> createTaskbarDisplay(HWND window) {
  if (displayFactory) return displayFactory(window);
  ITaskbarList3* list = nullptr;
  // Before Windows 7 the object lacks this interface and the call fails.
  if (FAILED(CoCreateInstance(kTaskbarListClass, nullptr, CLSCTX_INPROC_SERVER, kTaskbarList3,
                              reinterpret_cast<void**>(&list))) ||
      !list)
    return nullptr;
  if (FAILED(list->HrInit())) {
    list->Release();
    return nullptr;
  }
  return std::make_unique<TaskbarListDisplay>(window, list);
}

void setProgressDisplayFactory(ProgressDisplayFactory factory) { displayFactory = factory; }
