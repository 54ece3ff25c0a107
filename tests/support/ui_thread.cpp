#include "support/ui_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>

namespace {

constexpr UINT kCallMessage = WM_APP + 1;
constexpr wchar_t kHelperClass[] = L"OstrelleTestUiHelper";
constexpr wchar_t kOwnerClass[] = L"OstrelleTestOwner";

// What call() hands to the UI thread.  Shared, so that a call that timed out
// does not leave the thread with a dangling pointer.
struct CallRequest {
  std::function<void()> fn;
  std::exception_ptr error;
  std::atomic<bool> abandoned{false};
};

void registerClassOnce(const wchar_t* name, WNDPROC proc) {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = name;
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  RegisterClassW(&wc);  // fails harmlessly when already registered
}

BOOL CALLBACK collectWindow(HWND window, LPARAM out) {
  reinterpret_cast<std::vector<HWND>*>(out)->push_back(window);
  return TRUE;
}

std::vector<HWND> childWindows(HWND parent) {
  std::vector<HWND> children;
  EnumChildWindows(parent, collectWindow, reinterpret_cast<LPARAM>(&children));
  return children;
}

bool threadInfo(DWORD threadId, GUITHREADINFO& info) {
  info = {};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(threadId, &info) != FALSE;
}

bool isIconStatic(HWND child) {
  return windowClass(child) == L"Static" &&
         (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
}

int lowId(HWND child) { return GetDlgCtrlID(child) & 0xFFFF; }

}  // namespace

// --- UiThread ---------------------------------------------------------------

UiThread::UiThread(std::function<INT_PTR()> body) : body_(std::move(body)) {
  registerClassOnce(kHelperClass, helperProc);
  ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  thread_ = CreateThread(nullptr, 0, threadMain, this, 0, &threadId_);
  if (!thread_) {
    ADD_FAILURE() << "UiThread: CreateThread failed";
    return;
  }
  if (WaitForSingleObject(ready_, kUiTimeoutMs) != WAIT_OBJECT_0)
    ADD_FAILURE() << "UiThread: the thread did not start";
}

UiThread::~UiThread() {
  if (thread_ && !joined_ && !join()) {
    ADD_FAILURE() << "UiThread: the thread still runs at the end of the test; closing its windows";
    for (HWND w : topLevelWindows(threadId_)) {
      PostMessageW(w, WM_COMMAND, IDCANCEL, 0);
      PostMessageW(w, WM_CLOSE, 0, 0);
    }
    if (!join(2000)) {
      ADD_FAILURE() << "UiThread: terminating the thread";
      TerminateThread(thread_, 1);
      WaitForSingleObject(thread_, 2000);
    }
  }
  if (thread_) CloseHandle(thread_);
  if (ready_) CloseHandle(ready_);
}

DWORD WINAPI UiThread::threadMain(void* param) {
  auto* self = static_cast<UiThread*>(param);
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // creates the message queue
  self->helper_ = CreateWindowExW(0, kHelperClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
  SetEvent(self->ready_);
  try {
    self->result_ = self->body_();
  } catch (...) {
    self->threw_ = true;
  }
  if (self->helper_) DestroyWindow(self->helper_);
  return 0;
}

LRESULT CALLBACK UiThread::helperProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kCallMessage) {
    auto* shared = reinterpret_cast<std::shared_ptr<CallRequest>*>(lParam);
    std::shared_ptr<CallRequest> request = *shared;
    delete shared;
    if (!request->abandoned) {
      try {
        request->fn();
      } catch (...) {
        request->error = std::current_exception();
      }
    }
    return 1;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

bool UiThread::join(DWORD timeoutMs) {
  if (!thread_) return false;
  if (WaitForSingleObject(thread_, timeoutMs) != WAIT_OBJECT_0) return false;
  joined_ = true;
  return true;
}

bool UiThread::finished() const {
  return thread_ && WaitForSingleObject(thread_, 0) == WAIT_OBJECT_0;
}

HWND UiThread::waitForWindow(const wchar_t* className, const wchar_t* caption,
                             DWORD timeoutMs) const {
  return waitForTopLevel(
      [&](HWND w) {
        return (!className || windowClass(w) == className) &&
               (!caption || windowText(w) == caption);
      },
      threadId_, timeoutMs);
}

bool UiThread::call(const std::function<void()>& fn, DWORD timeoutMs) const {
  if (!helper_) return false;
  auto request = std::make_shared<CallRequest>();
  request->fn = fn;
  auto* shared = new std::shared_ptr<CallRequest>(request);
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutW(helper_, kCallMessage, 0, reinterpret_cast<LPARAM>(shared), SMTO_NORMAL,
                           timeoutMs, &answer)) {
    // Either never delivered (the copy leaks, harmlessly) or still queued:
    // the thread must not run it any more.
    request->abandoned = true;
    return false;
  }
  if (request->error) std::rethrow_exception(request->error);
  return true;
}

HWND UiThread::capture() const {
  GUITHREADINFO info;
  return threadInfo(threadId_, info) ? info.hwndCapture : nullptr;
}

HWND UiThread::focus() const {
  GUITHREADINFO info;
  return threadInfo(threadId_, info) ? info.hwndFocus : nullptr;
}

HWND UiThread::active() const {
  GUITHREADINFO info;
  return threadInfo(threadId_, info) ? info.hwndActive : nullptr;
}

// --- finding windows --------------------------------------------------------

std::vector<HWND> topLevelWindows(DWORD threadId) {
  std::vector<HWND> all;
  if (threadId) {
    EnumThreadWindows(threadId, collectWindow, reinterpret_cast<LPARAM>(&all));
    return all;
  }
  return windowsOfProcess(GetCurrentProcessId());
}

std::vector<HWND> windowsOfProcess(DWORD processId) {
  std::vector<HWND> all, ours;
  EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&all));
  for (HWND w : all) {
    DWORD process = 0;
    GetWindowThreadProcessId(w, &process);
    if (process == processId) ours.push_back(w);
  }
  return ours;
}

HWND waitForTopLevel(const std::function<bool(HWND)>& match, DWORD threadId, DWORD timeoutMs) {
  HWND found = nullptr;
  waitUntil(
      [&] {
        for (HWND w : topLevelWindows(threadId)) {
          if (IsWindowVisible(w) && match(w)) {
            found = w;
            return true;
          }
        }
        return false;
      },
      timeoutMs);
  return found;
}

bool waitForWindowGone(HWND window, DWORD timeoutMs) {
  return waitUntil([&] { return !IsWindow(window); }, timeoutMs);
}

bool waitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (condition()) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(10);
  }
}

std::wstring windowText(HWND window) {
  // WM_GETTEXT is sent (not read from the cache) so it works across threads.
  int length = static_cast<int>(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0));
  std::wstring text(length + 1, L'\0');
  int copied = static_cast<int>(
      SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0])));
  text.resize(std::max(0, std::min(copied, length)));
  return text;
}

std::wstring windowClass(HWND window) {
  wchar_t name[256] = {};
  int n = GetClassNameW(window, name, 256);
  return std::wstring(name, n > 0 ? n : 0);
}

// --- message boxes ----------------------------------------------------------

bool isMessageBox(HWND window) {
  if (windowClass(window) != L"#32770") return false;
  bool hasText = false;
  for (HWND child : childWindows(window)) {
    int id = lowId(child);
    std::wstring cls = windowClass(child);
    if (cls == L"Button" && id >= IDOK && id <= 11) continue;  // IDOK..IDCONTINUE
    if (cls == L"Static" && isIconStatic(child)) continue;
    if (cls == L"Static" && id == 0xFFFF) {
      hasText = true;
      continue;
    }
    return false;
  }
  return hasText;
}

HWND waitForMessageBox(const MessageBoxQuery& query, DWORD timeoutMs) {
  return waitForTopLevel(
      [&](HWND w) {
        return isMessageBox(w) && (!query.caption || windowText(w) == query.caption) &&
               (!query.owner || GetWindow(w, GW_OWNER) == query.owner);
      },
      query.threadId, timeoutMs);
}

void noteMessageBoxes(DWORD processId, std::vector<std::wstring>& seen) {
  for (HWND w : windowsOfProcess(processId)) {
    if (!isMessageBox(w)) continue;
    std::wstring text = readMessageBox(w).text;
    if (std::find(seen.begin(), seen.end(), text) == seen.end()) seen.push_back(text);
  }
}

bool MessageBoxContent::hasButton(int id) const {
  return std::find(buttons.begin(), buttons.end(), id) != buttons.end();
}

MessageBoxContent readMessageBox(HWND box) {
  MessageBoxContent content;
  content.caption = windowText(box);
  content.owner = GetWindow(box, GW_OWNER);
  content.threadId = GetWindowThreadProcessId(box, nullptr);
  for (HWND child : childWindows(box)) {
    std::wstring cls = windowClass(child);
    if (cls == L"Static" && isIconStatic(child)) {
      if (IsWindowVisible(child) && SendMessageW(child, STM_GETICON, 0, 0)) content.hasIcon = true;
    } else if (cls == L"Static" && lowId(child) == 0xFFFF) {
      content.text = windowText(child);
    } else if (cls == L"Button" && IsWindowVisible(child)) {
      content.buttons.push_back(lowId(child));
    }
  }
  std::sort(content.buttons.begin(), content.buttons.end());
  return content;
}

// --- acting on windows ------------------------------------------------------

void pressButton(HWND dialog, int id) {
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void postKey(HWND target, UINT vk) {
  UINT scan = MapVirtualKeyW(vk, 0);
  PostMessageW(target, WM_KEYDOWN, vk, 1 | (scan << 16));
  PostMessageW(target, WM_KEYUP, vk, 1 | (scan << 16) | (1u << 30) | (1u << 31));
}

namespace {

UINT settleMessage() {
  static const UINT message = RegisterWindowMessageW(L"OstrelleTestSettle");
  return message;
}

// Sees every message the target thread takes from its queue; the marker
// posted by settle() signals its event and reaches the window as WM_NULL.
LRESULT CALLBACK settleHook(int code, WPARAM removal, LPARAM lParam) {
  if (code == HC_ACTION && removal == PM_REMOVE) {
    MSG* msg = reinterpret_cast<MSG*>(lParam);
    if (msg->message == settleMessage()) {
      SetEvent(reinterpret_cast<HANDLE>(msg->lParam));
      msg->message = WM_NULL;
    }
  }
  return CallNextHookEx(nullptr, code, removal, lParam);
}

bool sendNull(HWND window, DWORD timeoutMs) {
  DWORD_PTR answer = 0;
  return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs, &answer) != 0;
}

}  // namespace

bool settle(HWND window, DWORD timeoutMs) {
  if (!sendNull(window, timeoutMs)) return false;
  DWORD thread = GetWindowThreadProcessId(window, nullptr);
  if (thread == GetCurrentThreadId()) return true;
  // Posted messages come out of the queue in order: once a marker posted
  // now has been taken, everything posted before it has been dispatched.
  HANDLE taken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, settleHook, nullptr, thread);
  bool ok = taken && hook &&
            PostMessageW(window, settleMessage(), 0, reinterpret_cast<LPARAM>(taken)) &&
            WaitForSingleObject(taken, timeoutMs) == WAIT_OBJECT_0;
  if (hook) UnhookWindowsHookEx(hook);
  // On a timeout the marker may still be taken later: the event is left
  // open rather than risk signalling a recycled handle.
  if (ok && taken) CloseHandle(taken);
  return ok && sendNull(window, timeoutMs);
}

HWND createOwnerWindow(HICON classIcon, const wchar_t* caption) {
  registerClassOnce(kOwnerClass, DefWindowProcW);
  HWND window = CreateWindowExW(0, kOwnerClass, caption, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 20, 20,
                                300, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (window) SetClassLongPtrW(window, GCLP_HICON, reinterpret_cast<LONG_PTR>(classIcon));
  return window;
}
