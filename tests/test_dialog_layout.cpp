// The dialogs' layout on the real windows: every control's text measured in
// the control's own font against the room its rectangle leaves, and no two
// controls overlapping.  In process at the DPI this process runs at, and in
// a child run of this program at 96 and 144 DPI: under Wine a process takes
// its DPI from the registry as it starts.

#include <gtest/gtest.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/handles.h"
#include "base/text.h"
#include "res/resource.h"
#include "support/main_window_driver.h"
#include "support/test_files.h"
#include "support/ui_thread.h"

namespace {

constexpr char kDpiVariable[] = "OSTRELLE_LAYOUT_DPI";  // set for a child run
constexpr wchar_t kDesktopKey[] = L"Control Panel\\Desktop";

// The room a control leaves its text, in pixels: a push button's frame and
// margin, a check or radio box with the gap after it, a group box's caption
// indent on both sides.
SIZE roomFor(HWND control, HDC dc, const TEXTMETRICW& metrics) {
  RECT client;
  GetClientRect(control, &client);
  SIZE room = {client.right, client.bottom};
  if (windowClass(control) != L"Button") return room;
  const int dpi = GetDeviceCaps(dc, LOGPIXELSX);
  switch (GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK) {
    case BS_PUSHBUTTON:
    case BS_DEFPUSHBUTTON:
      room.cx -= 2 * MulDiv(3, dpi, 96);
      room.cy -= 2 * MulDiv(3, dpi, 96);
      break;
    case BS_GROUPBOX:
      room.cx -= 2 * metrics.tmAveCharWidth;
      break;
    default: {  // check boxes and radio buttons: a 13-pixel box at 96 DPI
      INT digit = 0;
      GetCharWidth32W(dc, L'0', L'0', &digit);
      room.cx -= 12 * dpi / 96 + 1 + digit / 2;
    }
  }
  return room;
}

// Whether the control breaks its text into lines that fit its width.
bool wraps(HWND control) {
  LONG style = GetWindowLongW(control, GWL_STYLE);
  if (windowClass(control) == L"Static")
    return (style & SS_TYPEMASK) == SS_LEFT || (style & SS_TYPEMASK) == SS_CENTER ||
           (style & SS_TYPEMASK) == SS_RIGHT;
  return (style & BS_MULTILINE) != 0;
}

// The size the text takes: a wrapping control's as the text is drawn broken
// into lines at `width` (wider than `width` when a line cannot be broken),
// any other's line by line at its natural width.
SIZE textSize(HDC dc, const std::wstring& text, bool wrapping, int width,
              const TEXTMETRICW& metrics) {
  if (wrapping) {
    RECT r = {0, 0, width, 0};
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    return {r.right, r.bottom};
  }
  SIZE total = {0, 0};
  size_t start = 0;
  for (;;) {
    size_t end = text.find(L'\n', start);
    std::wstring line = text.substr(start, end == std::wstring::npos ? end : end - start);
    SIZE size = {0, metrics.tmHeight};
    if (!line.empty())
      GetTextExtentPoint32W(dc, line.c_str(), static_cast<int>(line.size()), &size);
    total.cx = std::max(total.cx, size.cx);
    total.cy += metrics.tmHeight;
    if (end == std::wstring::npos) return total;
    start = end + 1;
  }
}

RECT rectIn(HWND dialog, HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

bool isGroupBox(HWND control) {
  return windowClass(control) == L"Button" &&
         (GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK) == BS_GROUPBOX;
}

std::wstring describe(HWND control) {
  return formatText(L"%d \"%s\"", GetDlgCtrlID(control), windowText(control).c_str());
}

// Every text of `dialog` that does not fit its control, and every control
// that overlaps another or crosses a group box's frame, one line each.
std::vector<std::wstring> layoutFaults(HWND dialog) {
  std::vector<std::wstring> faults;
  std::vector<HWND> controls;
  for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
    if (IsWindowVisible(c)) controls.push_back(c);
  const std::wstring where = L"\"" + windowText(dialog) + L"\" ";
  for (HWND control : controls) {
    std::wstring text = windowText(control);
    // Only a static's type says icon: the same bits of a button are its kind
    // (an automatic check box has the icon's value).
    if (text.empty() || (windowClass(control) == L"Static" &&
                         (GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON))
      continue;
    ScopedGetDC dc(control);
    ScopedSelectObject font(dc.get(),
                            reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
    TEXTMETRICW metrics = {};
    GetTextMetricsW(dc.get(), &metrics);
    SIZE room = roomFor(control, dc.get(), metrics);
    SIZE need = textSize(dc.get(), text, wraps(control), room.cx, metrics);
    if (need.cx > room.cx || need.cy > room.cy)
      faults.push_back(
          where + describe(control) +
          formatText(L": needs %ldx%ld px, has %ldx%ld", need.cx, need.cy, room.cx, room.cy));
  }
  for (size_t i = 0; i < controls.size(); ++i) {
    for (size_t j = i + 1; j < controls.size(); ++j) {
      RECT a = rectIn(dialog, controls[i]), b = rectIn(dialog, controls[j]), both;
      bool groupI = isGroupBox(controls[i]), groupJ = isGroupBox(controls[j]);
      if (groupI && groupJ) continue;
      if (!IntersectRect(&both, &a, &b)) continue;
      // Inside a group box is fine, across its frame is not.
      if (groupI && EqualRect(&both, &b)) continue;
      if (groupJ && EqualRect(&both, &a)) continue;
      faults.push_back(where + describe(controls[i]) + L" overlaps " + describe(controls[j]));
    }
  }
  return faults;
}

std::wstring joined(const std::vector<std::wstring>& lines) {
  std::wstring all;
  for (const std::wstring& line : lines) all += L"\n  " + line;
  return all;
}

int processDpi() { return GetDeviceCaps(ScopedGetDC(nullptr).get(), LOGPIXELSX); }

bool underWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// The current user's desktop LogPixels; nothing when it is not set.
std::optional<DWORD> logPixels() {
  DWORD value = 0, size = sizeof value;
  if (SHGetValueW(HKEY_CURRENT_USER, kDesktopKey, L"LogPixels", nullptr, &value, &size))
    return std::nullopt;
  return value;
}

void setLogPixels(std::optional<DWORD> value) {
  if (value)
    SHSetValueW(HKEY_CURRENT_USER, kDesktopKey, L"LogPixels", REG_DWORD, &*value, sizeof *value);
  else
    SHDeleteValueW(HKEY_CURRENT_USER, kDesktopKey, L"LogPixels");
}

// Runs this program's in-process layout test in a new process at `dpi`;
// its exit code, with what it printed in `output`.
DWORD runLayoutTestAt(int dpi, std::string& output) {
  TempFolder folder;
  std::wstring outputPath = folder / L"output.txt";
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  FileHandle out(CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  wchar_t exe[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring command =
      formatText(L"\"%s\" --gtest_filter=DialogLayout.TextsFitAndNoControlsOverlap", exe);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = out.get();
  PROCESS_INFORMATION process = {};
  DWORD code = 1000;
  // The setting stays until the child has ended, and then is put back.
  std::optional<DWORD> previous = logPixels();
  setLogPixels(static_cast<DWORD>(dpi));
  SetEnvironmentVariableA(kDpiVariable, std::to_string(dpi).c_str());
  if (CreateProcessW(exe, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                     &process)) {
    if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0)
      GetExitCodeProcess(process.hProcess, &code);
    else
      TerminateProcess(process.hProcess, code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  SetEnvironmentVariableA(kDpiVariable, nullptr);
  setLogPixels(previous);
  out.reset();
  output = readFile(outputPath);
  return code;
}

}  // namespace

// The main window, the add-source dialog and the About box as they open.
TEST(DialogLayout, TextsFitAndNoControlsOverlap) {
  if (const char* expected = std::getenv(kDpiVariable)) {
    ASSERT_EQ(processDpi(), std::atoi(expected)) << "the child run did not get its DPI";
  }
  MainWindowDriver app;
  ASSERT_TRUE(app.open());
  std::vector<std::wstring> faults;
  auto measure = [&](HWND dialog) {
    return app.ui().call([&] {
      std::vector<std::wstring> more = layoutFaults(dialog);
      faults.insert(faults.end(), more.begin(), more.end());
    });
  };
  ASSERT_TRUE(measure(app.window()));
  struct Box {
    int command;
    const wchar_t* title;
    int close;
  };
  for (Box box : {Box{IDC_ADD_SOURCE, L"抽出元フォルダを追加", IDCANCEL},
                  Box{IDC_ABOUT, L"バージョン情報", IDOK}}) {
    app.postCommand(box.command);
    HWND dialog = app.ui().waitForWindow(L"#32770", box.title);
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(measure(dialog));
    pressButton(dialog, box.close);
    ASSERT_TRUE(waitForWindowGone(dialog));
  }

  EXPECT_TRUE(faults.empty()) << "at " << processDpi() << " DPI:" << toUtf8(joined(faults));
}

// The same at 96 and 144 DPI, each in a process of its own.
TEST(DialogLayout, TheLayoutHoldsAt96And144Dpi) {
  if (std::getenv(kDpiVariable)) GTEST_SKIP() << "a child run measures in process only";
  if (!underWine()) GTEST_SKIP() << "a new process takes the registry's DPI under Wine only";
  for (int dpi : {96, 144}) {
    if (dpi == processDpi()) continue;  // measured in process
    std::string output;
    EXPECT_EQ(runLayoutTestAt(dpi, output), 0u) << "at " << dpi << " DPI:\n" << output;
  }
}
