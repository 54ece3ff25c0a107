#pragma once
// Driving real windows from a test: a UI thread that runs a modal dialog (or
// anything else with a message loop), waiting for its windows to appear,
// reading and answering message boxes, and calling code on that thread.
//
// Typical use:
//
//   UiThread ui([] {
//     return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(203), nullptr,
//                            someProc, 0);
//   });
//   HWND box = ui.waitForWindow(L"#32770", L"バージョン情報");
//   ASSERT_TRUE(box);
//   ...                                  // drive it: post messages, read state
//   pressButton(box, IDOK);
//   ASSERT_TRUE(ui.join());              // fails instead of hanging
//   EXPECT_EQ(ui.result(), 1);
//
// Every wait has a timeout (kUiTimeoutMs by default) and returns a null
// window / false when it expires, so a test fails rather than hangs.
//
// Wine notes: WaitForInputIdle returns at once there, so "the thread has
// handled everything sent and posted so far" is established with settle().

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

constexpr DWORD kUiTimeoutMs = 5000;

// One thread with a message queue that runs `body` and ends when it returns.
// Before `body` starts, the thread owns a hidden message-only window through
// which call() runs code on the thread while `body` sits in any message loop
// (a modal dialog, a message box, a popup menu...).
class UiThread {
 public:
  explicit UiThread(std::function<INT_PTR()> body);
  // Joins; if the thread is still running after the timeout, closes its
  // windows, waits again and, as a last resort, terminates it. Either case
  // is reported as a test failure.
  ~UiThread();
  UiThread(const UiThread&) = delete;
  UiThread& operator=(const UiThread&) = delete;

  DWORD threadId() const { return threadId_; }

  // Waits for the thread to end; false on timeout.
  bool join(DWORD timeoutMs = kUiTimeoutMs);
  bool finished() const;
  // The body's return value (valid after join()).
  INT_PTR result() const { return result_; }
  // True when the body threw (the exception is swallowed on the thread).
  bool threw() const { return threw_; }

  // A visible top-level window of this thread whose class and caption match
  // (nullptr = any); null on timeout.
  HWND waitForWindow(const wchar_t* className, const wchar_t* caption,
                     DWORD timeoutMs = kUiTimeoutMs) const;

  // Runs `fn` on the UI thread and returns when it is done.  Exceptions
  // thrown by `fn` are rethrown here.  Returns false (without running `fn`)
  // when the thread did not answer within the timeout.
  bool call(const std::function<void()>& fn, DWORD timeoutMs = kUiTimeoutMs) const;

  // The window holding the mouse capture / the focus / active on this thread.
  HWND capture() const;
  HWND focus() const;
  HWND active() const;

 private:
  static DWORD WINAPI threadMain(void* self);
  static LRESULT CALLBACK helperProc(HWND, UINT, WPARAM, LPARAM);

  std::function<INT_PTR()> body_;
  HANDLE thread_ = nullptr;
  HANDLE ready_ = nullptr;
  DWORD threadId_ = 0;
  HWND helper_ = nullptr;
  INT_PTR result_ = 0;
  bool threw_ = false;
  bool joined_ = false;
};

// --- finding windows --------------------------------------------------------

// Top-level windows of this process (threadId 0) or of one thread.
std::vector<HWND> topLevelWindows(DWORD threadId = 0);
// Top-level windows of any process, this one or another.
std::vector<HWND> windowsOfProcess(DWORD processId);
// Polls `match` over the visible top-level windows of this process (or of
// `threadId`) every 10 ms; null on timeout.
HWND waitForTopLevel(const std::function<bool(HWND)>& match, DWORD threadId = 0,
                     DWORD timeoutMs = kUiTimeoutMs);
// Waits until `window` no longer exists; false on timeout.
bool waitForWindowGone(HWND window, DWORD timeoutMs = kUiTimeoutMs);
// Polls `condition` every 10 ms; false on timeout.
bool waitUntil(const std::function<bool()>& condition, DWORD timeoutMs = kUiTimeoutMs);

std::wstring windowText(HWND window);
std::wstring windowClass(HWND window);

// --- message boxes ----------------------------------------------------------

// A window counts as a message box when it is a dialog ("#32770"), holds the
// message static (id 0xFFFF), and every child has one of the ids a message
// box uses (buttons IDOK..IDCONTINUE, the icon static, 0xFFFF).  That tells
// it apart from the program's own dialogs, which carry other control ids.
bool isMessageBox(HWND window);

struct MessageBoxQuery {
  const wchar_t* caption = nullptr;  // exact caption, or any
  HWND owner = nullptr;              // GetWindow(GW_OWNER), or any
  DWORD threadId = 0;                // the thread showing it, or any of the process
};
HWND waitForMessageBox(const MessageBoxQuery& query = {}, DWORD timeoutMs = kUiTimeoutMs);
// Adds to `seen` the text of every message box that process `processId`
// (another one, or this one) shows at this moment and `seen` lacks.
void noteMessageBoxes(DWORD processId, std::vector<std::wstring>& seen);

struct MessageBoxContent {
  std::wstring text;     // the message static (0xFFFF)
  std::wstring caption;  // the window title
  HWND owner = nullptr;
  DWORD threadId = 0;
  std::vector<int> buttons;  // ids of the visible buttons, ascending
  bool hasIcon = false;      // a visible SS_ICON static showing an icon
  bool hasButton(int id) const;
};
MessageBoxContent readMessageBox(HWND box);

// --- acting on windows ------------------------------------------------------

// Posts WM_COMMAND(id, BN_CLICKED) from the button `id` of `dialog`, as a
// click does.  Works for message boxes and the program's dialogs.
void pressButton(HWND dialog, int id);
// Posts WM_KEYDOWN/WM_KEYUP of `vk` to `target` (normally the focus window,
// so that the dialog manager of a modal loop sees it).
void postKey(HWND target, UINT vk);
// Returns once the thread of `window` has handled every message sent or
// posted to it before the call (pressButton, postKey, PostMessageW...):
// sends WM_NULL, then posts a marker behind the queued messages and waits
// until the thread takes it (a WH_GETMESSAGE hook sees it), then sends
// WM_NULL again.  A posted message whose handler runs a nested loop (a
// message box, say) counts as handled once that loop runs.  Mouse and
// keyboard input of the window system itself is not covered.  False when
// the window is gone or the thread did not get there within the timeout.
bool settle(HWND window, DWORD timeoutMs = kUiTimeoutMs);

// A plain top-level window on the calling thread, of a class whose icon is
// `classIcon` (may be null), created with the module of the executable.
// Stands in for the main window as the owner of boxes under test.
HWND createOwnerWindow(HICON classIcon = nullptr, const wchar_t* caption = L"test owner");
