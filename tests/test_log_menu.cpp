// The log menu shown for real on a UI thread: its items and check mark,
// choosing and dismissing, and the commands.

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "base/program_folder.h"
#include "base/texts.h"
#include "log/log_menu.h"
#include "log/run_log.h"
#include "res/resource.h"
#include "support/test_files.h"
#include "support/ui_thread.h"

namespace {

constexpr UINT kShowMenu = WM_APP + 5;

struct Command {
  int id;
  bool duringShowLogMenu;  // handled before showLogMenu returned
};
std::vector<Command> commands;  // written on the UI thread, read after settle()
std::atomic<bool> insideShowLogMenu{false};

// Stands in for the main window: opens the menu on request and routes the
// commands as the main window does.
LRESULT CALLBACK ownerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kShowMenu:
      insideShowLogMenu = true;
      showLogMenu(window);
      insideShowLogMenu = false;
      return 0;
    case WM_COMMAND:
      commands.push_back({LOWORD(wParam), insideShowLogMenu.load()});
      handleLogMenuCommand(window, LOWORD(wParam));
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

struct MenuItem {
  UINT id;
  bool separator, checked;
  std::wstring text;
  bool operator==(const MenuItem& o) const {
    return id == o.id && separator == o.separator && checked == o.checked && text == o.text;
  }
};

std::vector<MenuItem> itemsOf(HMENU menu) {
  std::vector<MenuItem> items;
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    wchar_t text[256] = {};
    MENUITEMINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STATE | MIIM_STRING;
    info.dwTypeData = text;
    info.cch = 256;
    GetMenuItemInfoW(menu, i, TRUE, &info);
    items.push_back({info.wID, (info.fType & MFT_SEPARATOR) != 0, (info.fState & MFS_CHECKED) != 0,
                     (info.fType & MFT_SEPARATOR) ? L"" : text});
  }
  return items;
}

class LogMenu : public ::testing::Test {
 protected:
  void SetUp() override {
    commands.clear();
    setProgramFolder(folder_.path() + L"\\");
    resetLogPaths();
    ui_ = std::make_unique<UiThread>([this] {
      WNDCLASSW wc = {};
      wc.lpfnWndProc = ownerProc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.lpszClassName = L"OstrelleTestMenuOwner";
      RegisterClassW(&wc);
      owner_ = CreateWindowExW(0, wc.lpszClassName, L"menu owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                               50, 50, 400, 300, nullptr, nullptr, wc.hInstance, nullptr);
      MSG msg;
      while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      return 0;
    });
    ASSERT_TRUE(ui_->waitForWindow(nullptr, L"menu owner"));
  }
  void TearDown() override {
    PostMessageW(owner_, WM_CLOSE, 0, 0);
    EXPECT_TRUE(ui_->join());
    resetLogPaths();
    setProgramFolder(L"");
  }

  // Opens the menu with the pointer at (x, y); returns the menu window.
  HWND openMenu(int x = 300, int y = 200) {
    SetCursorPos(x, y);
    PostMessageW(owner_, kShowMenu, 0, 0);
    return ui_->waitForWindow(L"#32768", nullptr);
  }

  TempFolder folder_;
  std::unique_ptr<UiThread> ui_;
  HWND owner_ = nullptr;
};

}  // namespace

TEST_F(LogMenu, ItemsAndCheckMarkFollowTheSwitch) {
  for (bool on : {false, true}) {
    SCOPED_TRACE(on);
    setLogTransfers(on);
    HWND menuWindow = openMenu();
    ASSERT_TRUE(menuWindow);
    HMENU menu = reinterpret_cast<HMENU>(SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
    ASSERT_TRUE(menu);
    std::vector<MenuItem> expected = {
        {IDM_SHOW_LOG, false, false, texts::kMenuShowLog},
        {IDM_OPEN_LOG_FOLDER, false, false, texts::kMenuOpenLogFolder},
        {0, true, false, L""},
        {IDM_LOG_TRANSFERS, false, on, texts::kMenuLogTransfers},
        {0, true, false, L""},
        {2004, false, false, L"抽出結果のプレビュー(&P)"},
    };
    EXPECT_EQ(itemsOf(menu), expected);
    RECT where;
    GetWindowRect(menuWindow, &where);
    EXPECT_EQ(where.left, 300);
    EXPECT_EQ(where.top, 200);

    // Dismissed without a choice: no command, nothing changed.
    postKey(menuWindow, VK_ESCAPE);
    EXPECT_TRUE(waitForWindowGone(menuWindow));
    ASSERT_TRUE(settle(owner_));
    EXPECT_TRUE(commands.empty());
    EXPECT_EQ(logTransfersEnabled(), on);
    EXPECT_FALSE(IsMenu(menu));  // destroyed once closed
  }
}

TEST_F(LogMenu, ChoosingTheSwitchTwiceRestoresIt) {
  for (bool start : {false, true}) {
    SCOPED_TRACE(start);
    setLogTransfers(start);
    for (int round = 1; round <= 2; ++round) {
      commands.clear();
      HWND menuWindow = openMenu();
      ASSERT_TRUE(menuWindow);
      postKey(menuWindow, VK_UP);  // from no selection to the last item, the preview
      postKey(menuWindow, VK_UP);  // over the separator to the switch
      postKey(menuWindow, VK_RETURN);
      ASSERT_TRUE(waitForWindowGone(menuWindow));
      ASSERT_TRUE(settle(owner_));
      ASSERT_EQ(commands.size(), 1u);
      EXPECT_EQ(commands[0].id, IDM_LOG_TRANSFERS);
      EXPECT_TRUE(commands[0].duringShowLogMenu);
      EXPECT_EQ(logTransfersEnabled(), round == 1 ? !start : start);
    }
  }
}

TEST_F(LogMenu, CommandsAndOtherIds) {
  setLogTransfers(false);
  EXPECT_TRUE(handleLogMenuCommand(owner_, IDM_LOG_TRANSFERS));
  EXPECT_TRUE(logTransfersEnabled());
  EXPECT_TRUE(handleLogMenuCommand(owner_, IDM_LOG_TRANSFERS));
  EXPECT_FALSE(logTransfersEnabled());
  for (int id : {0, IDC_ABOUT, IDC_LOG_MENU, 2000, 2004})
    EXPECT_FALSE(handleLogMenuCommand(owner_, id));
  EXPECT_FALSE(logTransfersEnabled());
}

// Before any run there is no log to show, even with old logs in the folder.
TEST_F(LogMenu, ShowLogBeforeAnyRun) {
  writeFile(folder_ / L"logs\\2020_01_01_00_00_00_000.txt", "\xEF\xBB\xBFold");
  PostMessageW(owner_, WM_COMMAND, IDM_SHOW_LOG, 0);
  HWND box = waitForMessageBox({texts::kAppName, owner_});
  ASSERT_TRUE(box);
  MessageBoxContent content = readMessageBox(box);
  EXPECT_EQ(content.text, texts::kNoRunYet);
  EXPECT_FALSE(content.hasIcon);
  EXPECT_EQ(content.buttons, std::vector<int>{IDOK});
  EXPECT_EQ(content.threadId, ui_->threadId());
  pressButton(box, IDOK);
  EXPECT_TRUE(waitForWindowGone(box));
}

// The preview item reaches the window as command 2004, which the main window
// handles: the menu's own handling leaves it alone and changes nothing.
TEST_F(LogMenu, ChoosingThePreviewSendsItsCommand) {
  setLogTransfers(true);
  HWND menuWindow = openMenu();
  ASSERT_TRUE(menuWindow);
  postKey(menuWindow, VK_UP);  // the last item
  postKey(menuWindow, VK_RETURN);
  ASSERT_TRUE(waitForWindowGone(menuWindow));
  ASSERT_TRUE(settle(owner_));
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].id, 2004);
  EXPECT_EQ(IDM_PREVIEW, 2004);
  EXPECT_FALSE(handleLogMenuCommand(owner_, IDM_PREVIEW));
  EXPECT_TRUE(logTransfersEnabled());
  EXPECT_FALSE(waitForMessageBox({}, 200)) << "no box, no run from the menu itself";
}
