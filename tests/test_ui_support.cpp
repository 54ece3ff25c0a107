// The window-driving helpers themselves, against the platform's own message
// boxes, so that the dialog tests can rely on what they read.

#include <gtest/gtest.h>

#include "support/ui_thread.h"

TEST(UiSupport, ReadsAndAnswersMessageBoxes) {
  struct Case {
    UINT type;
    bool icon;
    std::vector<int> buttons;
    int press;
  };
  const Case cases[] = {
      {MB_OK | MB_ICONERROR, true, {IDOK}, IDOK},
      {MB_OK, false, {IDOK}, IDOK},
      {MB_YESNO | MB_ICONQUESTION, true, {IDYES, IDNO}, IDNO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    UiThread ui(
        [&] { return MessageBoxW(nullptr, L"本文\n\n【ファイル】C:\\x", L"見出し", c.type); });
    HWND box = waitForMessageBox({L"見出し", nullptr, ui.threadId()});
    ASSERT_TRUE(box);
    MessageBoxContent content = readMessageBox(box);
    EXPECT_EQ(content.text, L"本文\n\n【ファイル】C:\\x");
    EXPECT_EQ(content.caption, L"見出し");
    EXPECT_EQ(content.hasIcon, c.icon);
    EXPECT_EQ(content.buttons, c.buttons);
    pressButton(box, c.press);
    ASSERT_TRUE(ui.join());
    EXPECT_EQ(ui.result(), c.press);
  }
}

TEST(UiSupport, CallsRunOnTheUiThreadInsideItsModalLoop) {
  UiThread ui([] { return MessageBoxW(nullptr, L"x", L"call test", MB_OK); });
  HWND box = waitForMessageBox({L"call test", nullptr, ui.threadId()});
  ASSERT_TRUE(box);
  DWORD seen = 0;
  ASSERT_TRUE(ui.call([&] { seen = GetCurrentThreadId(); }));
  EXPECT_EQ(seen, ui.threadId());
  EXPECT_THROW(ui.call([] { throw std::runtime_error("x"); }), std::runtime_error);
  EXPECT_TRUE(settle(box));
  pressButton(box, IDOK);
  ASSERT_TRUE(ui.join());
  EXPECT_FALSE(ui.call([] {}));  // the thread is gone: no answer, no hang
}

TEST(UiSupport, OwnerWindowCarriesItsClassIcon) {
  HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(32516));  // IDI_INFORMATION
  HWND owner = createOwnerWindow(icon);
  ASSERT_TRUE(owner);
  EXPECT_EQ(reinterpret_cast<HICON>(GetClassLongPtrW(owner, GCLP_HICON)), icon);
  EXPECT_EQ(reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(owner, GWLP_HINSTANCE)),
            GetModuleHandleW(nullptr));
  DestroyWindow(owner);
}
