// The About box driven in-process on a UI thread: its template, the link's
// states (colour, font, capture), closing, the resources it frees, the
// Readme button, and the icon and version resources.

#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <utility>
#include <vector>

#include "app/about_box.h"
#include "base/handles.h"
#include "base/program_folder.h"
#include "base/texts.h"
#include "res/resource.h"
#include "support/ui_thread.h"

namespace {

std::vector<std::pair<HWND, std::wstring>> opened;  // what the shell was asked to open

void recordOpen(HWND owner, const wchar_t* target) { opened.emplace_back(owner, target); }

HICON appIcon() {
  return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP),
                                       IMAGE_ICON, 0, 0, LR_SHARED | LR_DEFAULTSIZE));
}

struct LinkLook {
  bool underlined = false;
  COLORREF colour = 0;
  int backgroundMode = 0;
  HBRUSH brush = nullptr;
  HFONT font = nullptr;
};

// One About box on its own UI thread, owned by a stand-in main window.
class AboutBox : public ::testing::Test {
 protected:
  void SetUp() override {
    SetCursorPos(1, 1);  // keep the real pointer away from the link
    opened.clear();
    setShellOpenForTests(recordOpen);
  }
  void TearDown() override { setShellOpenForTests(nullptr); }

  // Opens the box; returns false when it did not appear.
  bool open() {
    ui_ = std::make_unique<UiThread>([this] {
      owner_ = createOwnerWindow(appIcon());
      showAboutBox(owner_);
      DestroyWindow(owner_);
      return 0;
    });
    box_ = ui_->waitForWindow(L"#32770", L"バージョン情報");
    link_ = box_ ? GetDlgItem(box_, IDC_LINK) : nullptr;
    return box_ && link_ && settle(box_);
  }

  // True once the box is gone and showAboutBox has returned.
  bool closed() { return waitForWindowGone(box_) && ui_->join(); }

  // Delivers a pointer move at (x, y) of the link's client area.  Moves the
  // window system queued earlier (it adds one at the real pointer position,
  // kept far from the box, on capture changes) are delivered first, so that
  // none can arrive afterwards and undo this one.
  void moveOverLink(int x, int y) {
    ASSERT_TRUE(ui_->call([&] {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE))
        DispatchMessageW(&msg);
      SendMessageW(link_, WM_MOUSEMOVE, 0, MAKELPARAM(x, y));
    }));
  }

  // What the link looks like now: its font, and the colours the box gives
  // it when it paints.
  LinkLook look() {
    LinkLook l;
    ui_->call([&] {
      l.font = reinterpret_cast<HFONT>(SendMessageW(link_, WM_GETFONT, 0, 0));
      LOGFONTW description = {};
      GetObjectW(l.font, sizeof description, &description);
      l.underlined = description.lfUnderline != 0;
      HDC dc = CreateCompatibleDC(nullptr);
      SetTextColor(dc, RGB(1, 2, 3));
      SetBkMode(dc, OPAQUE);
      l.brush = reinterpret_cast<HBRUSH>(SendMessageW(
          box_, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(link_)));
      l.colour = GetTextColor(dc);
      l.backgroundMode = GetBkMode(dc);
      DeleteDC(dc);
    });
    return l;
  }

  void expectNormal() {
    LinkLook l = look();
    EXPECT_FALSE(l.underlined);
    EXPECT_EQ(l.colour, RGB(0, 0, 255));
    EXPECT_EQ(l.backgroundMode, TRANSPARENT);
    EXPECT_NE(ui_->capture(), link_);
  }
  void expectHovered() {
    LinkLook l = look();
    EXPECT_TRUE(l.underlined);
    EXPECT_EQ(l.colour, RGB(255, 0, 0));
    EXPECT_EQ(ui_->capture(), link_);
  }

  std::unique_ptr<UiThread> ui_;
  HWND owner_ = nullptr;
  HWND box_ = nullptr;
  HWND link_ = nullptr;
};

}  // namespace

TEST_F(AboutBox, TemplateLayout) {
  ASSERT_TRUE(open());
  struct Control {
    int index;  // position among the children (template order)
    int id;
    const wchar_t* cls;
    DWORD style;       // bits that must be set
    RECT dialogUnits;  // x, y, w, h
    std::wstring text;
  };
  const Control controls[] = {
      {0, IDC_STATIC, L"Static", SS_CENTER, {10, 10, 130, 20}, L"Ostrelle\nVersion 1.01"},
      {1,
       IDC_STATIC,
       L"Static",
       SS_ICON | SS_CENTERIMAGE | SS_REALSIZEIMAGE,
       {10, 30, 130, 65},
       L""},
      {2, IDC_STATIC, L"Static", SS_CENTER, {10, 100, 130, 10}, L"制作 : Ostrelle Project"},
      {3,
       IDC_LINK,
       L"Static",
       SS_CENTER | SS_NOTIFY | WS_TABSTOP,
       {10, 110, 130, 10},
       std::wstring(texts::kLinkPrefix) + texts::kMakerPage},
      {4, IDOK, L"Button", BS_DEFPUSHBUTTON | WS_TABSTOP, {50, 125, 50, 15}, L"OK"},
  };
  std::vector<HWND> children;
  for (HWND c = GetWindow(box_, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) children.push_back(c);
  ASSERT_EQ(children.size(), 5u);
  for (const Control& c : controls) {
    SCOPED_TRACE(c.index);
    HWND w = children[c.index];
    EXPECT_EQ(GetDlgCtrlID(w) & 0xFFFF, c.id & 0xFFFF);
    EXPECT_EQ(windowClass(w), c.cls);
    DWORD style = GetWindowLongW(w, GWL_STYLE);
    if (std::wstring(c.cls) == L"Static") {
      EXPECT_EQ(style & SS_TYPEMASK, c.style & SS_TYPEMASK);
      EXPECT_EQ(style & ~SS_TYPEMASK & c.style, c.style & ~SS_TYPEMASK);
    } else {
      EXPECT_EQ(style & c.style, c.style);
    }
    RECT expected = c.dialogUnits;   // x, y, width, height: each mapped on its own, as
    MapDialogRect(box_, &expected);  // the dialog manager does when it creates the control
    RECT actual;
    GetWindowRect(w, &actual);
    MapWindowPoints(nullptr, box_, reinterpret_cast<POINT*>(&actual), 2);
    if ((style & SS_TYPEMASK) != SS_ICON || std::wstring(c.cls) != L"Static") {
      EXPECT_EQ(actual.left, expected.left);
      EXPECT_EQ(actual.top, expected.top);
      EXPECT_EQ(actual.right - actual.left, expected.right);
      EXPECT_EQ(actual.bottom - actual.top, expected.bottom);
      EXPECT_EQ(windowText(w), c.text);
    } else {
      EXPECT_TRUE(SendMessageW(w, STM_GETICON, 0, 0));  // icon 102 shown
    }
  }
  DWORD style = GetWindowLongW(box_, GWL_STYLE);
  EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
            DWORD(WS_CAPTION | WS_SYSMENU | DS_MODALFRAME));
  RECT client = {0, 0, 150, 150};
  MapDialogRect(box_, &client);
  RECT actualClient;
  GetClientRect(box_, &actualClient);
  EXPECT_EQ(actualClient.right, client.right);
  EXPECT_EQ(actualClient.bottom, client.bottom);
  EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(box_, WM_GETICON, ICON_SMALL, 0)), appIcon());
  EXPECT_EQ(GetWindow(box_, GW_OWNER), owner_);
  pressButton(box_, IDOK);
  EXPECT_TRUE(closed());
}

TEST_F(AboutBox, LinkFollowsThePointer) {
  ASSERT_TRUE(open());
  expectNormal();
  EXPECT_EQ(reinterpret_cast<HCURSOR>(GetClassLongPtrW(link_, GCLP_HCURSOR)),
            LoadCursorW(nullptr, IDC_HAND));

  RECT client;
  GetClientRect(link_, &client);
  moveOverLink(5, 3);
  expectHovered();
  moveOverLink(client.right - 1, client.bottom - 1);
  expectHovered();
  const POINT outside[] = {{-1, 3}, {client.right, 3}, {5, client.bottom}, {5, -4}};
  for (POINT p : outside) {
    SCOPED_TRACE(p.x * 1000 + p.y);
    moveOverLink(5, 3);
    expectHovered();
    moveOverLink(p.x, p.y);
    expectNormal();
  }
  // Other statics keep the default colours.
  HWND name = GetWindow(box_, GW_CHILD);
  LinkLook linkLook = look();
  HDC dc = CreateCompatibleDC(nullptr);
  SetTextColor(dc, RGB(1, 2, 3));
  HBRUSH other = reinterpret_cast<HBRUSH>(SendMessageW(
      box_, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(name)));
  EXPECT_NE(other, linkLook.brush);
  EXPECT_NE(GetTextColor(dc), RGB(0, 0, 255));
  DeleteDC(dc);
  pressButton(box_, IDOK);
  EXPECT_TRUE(closed());
}

TEST_F(AboutBox, ActivationAndClickResetTheLink) {
  ASSERT_TRUE(open());
  moveOverLink(5, 3);
  expectHovered();
  SendMessageW(box_, WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, 0), 0);
  expectHovered();  // deactivation changes nothing
  SendMessageW(box_, WM_ACTIVATE, MAKEWPARAM(WA_CLICKACTIVE, 0), 0);
  expectNormal();

  moveOverLink(5, 3);
  SendMessageW(box_, WM_ACTIVATE, MAKEWPARAM(WA_ACTIVE, 0), 0);
  expectNormal();

  moveOverLink(5, 3);
  PostMessageW(box_, WM_COMMAND, MAKEWPARAM(IDC_LINK, STN_DBLCLK), reinterpret_cast<LPARAM>(link_));
  ASSERT_TRUE(settle(box_));
  expectHovered();
  EXPECT_TRUE(opened.empty());

  PostMessageW(box_, WM_COMMAND, MAKEWPARAM(IDC_LINK, STN_CLICKED),
               reinterpret_cast<LPARAM>(link_));
  ASSERT_TRUE(settle(box_));
  expectNormal();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].first, nullptr);
  EXPECT_EQ(opened[0].second, texts::kMakerPage);
  EXPECT_TRUE(IsWindow(box_));  // the click does not close the box
  pressButton(box_, IDOK);
  EXPECT_TRUE(closed());
}

// On a screen of another DPI the platform gives the controls a font for it
// (here set by hand, as it does); the link's two fonts follow that font, and
// the underlined one of the old DPI goes once the link no longer shows it.
TEST_F(AboutBox, LinkFontsFollowTheNewFontAfterADpiChange) {
  ASSERT_TRUE(open());
  moveOverLink(5, 3);
  LinkLook before = look();
  ASSERT_TRUE(before.underlined);
  LOGFONTW description = {};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(box_, WM_GETFONT, 0, 0)), sizeof description,
             &description);
  description.lfHeight = description.lfHeight * 3 / 2;
  GdiObject larger(CreateFontIndirectW(&description));
  RECT suggested;
  GetWindowRect(box_, &suggested);
  ASSERT_TRUE(ui_->call([&] {
    SendMessageW(link_, WM_SETFONT, reinterpret_cast<WPARAM>(larger.get()), FALSE);
    SendMessageW(box_, 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(144, 144),
                 reinterpret_cast<LPARAM>(&suggested));
  }));
  ASSERT_TRUE(settle(box_));
  expectNormal();
  EXPECT_EQ(look().font, larger.get());
  EXPECT_EQ(GetObjectType(before.font), 0u);

  moveOverLink(5, 3);
  expectHovered();
  LOGFONTW hovered = {};
  GetObjectW(look().font, sizeof hovered, &hovered);
  EXPECT_EQ(hovered.lfHeight, description.lfHeight);
  pressButton(box_, IDOK);
  EXPECT_TRUE(closed());
  EXPECT_EQ(GetObjectType(larger.get()), DWORD(OBJ_FONT));  // borrowed, not the box's
}

// Escape never closes the box; OK, Enter and the caption's close do, and
// every opening frees its own brush and underlined font.
TEST_F(AboutBox, ClosingAndResources) {
  enum How { OkButton, EnterKey, CaptionClose, CloseMessage };
  for (How how : {OkButton, EnterKey, CaptionClose, CloseMessage}) {
    SCOPED_TRACE(how);
    ASSERT_TRUE(open());
    postKey(ui_->focus(), VK_ESCAPE);
    PostMessageW(box_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    ASSERT_TRUE(settle(box_));
    ASSERT_TRUE(settle(box_));
    EXPECT_TRUE(IsWindowVisible(box_));

    moveOverLink(5, 3);
    LinkLook hovered = look();
    ASSERT_TRUE(hovered.underlined);
    EXPECT_EQ(GetObjectType(hovered.brush), DWORD(OBJ_BRUSH));
    EXPECT_EQ(GetObjectType(hovered.font), DWORD(OBJ_FONT));

    switch (how) {
      case OkButton:
        pressButton(box_, IDOK);
        break;
      case EnterKey:
        postKey(ui_->focus(), VK_RETURN);
        break;
      case CaptionClose:
        PostMessageW(box_, WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
      case CloseMessage:
        PostMessageW(box_, WM_CLOSE, 0, 0);
        break;
    }
    ASSERT_TRUE(closed());
    EXPECT_EQ(GetObjectType(hovered.brush), 0u);
    EXPECT_EQ(GetObjectType(hovered.font), 0u);
  }
  // The hand stays the static class's cursor.
  HWND probe = CreateWindowExW(0, L"Static", L"", 0, 0, 0, 1, 1, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
  EXPECT_EQ(reinterpret_cast<HCURSOR>(GetClassLongPtrW(probe, GCLP_HCURSOR)),
            LoadCursorW(nullptr, IDC_HAND));
  DestroyWindow(probe);
}

TEST_F(AboutBox, ReadmeBesideTheProgram) {
  setProgramFolder(L"C:\\Tools\\Ostrelle\\");
  HWND owner = createOwnerWindow();
  openReadme(owner);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].first, owner);
  EXPECT_EQ(opened[0].second, L"C:\\Tools\\Ostrelle\\Readme.txt");
  DestroyWindow(owner);
  setProgramFolder(L"");
}

TEST(Resources, IconsAtEverySize) {
  struct Case {
    int id, size;
  };
  for (Case c : {Case{IDI_APP, 256}, Case{IDI_APP, 64}, Case{IDI_APP, 48}, Case{IDI_APP, 40},
                 Case{IDI_APP, 32}, Case{IDI_APP, 24}, Case{IDI_APP, 20}, Case{IDI_APP, 16},
                 Case{IDI_ABOUT, 128}}) {
    SCOPED_TRACE(c.id * 1000 + c.size);
    HICON icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(c.id),
                                               IMAGE_ICON, c.size, c.size, 0));
    ASSERT_TRUE(icon);
    ICONINFO info = {};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bitmap = {};
    GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, c.size);
    EXPECT_EQ(bitmap.bmHeight, c.size);
    EXPECT_EQ(bitmap.bmBitsPixel, 32);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
  }
  // The group of 101 lists exactly the eight images, each tagged Japanese
  // as every resource is.
  HRSRC group = FindResourceExW(nullptr, MAKEINTRESOURCEW(14), MAKEINTRESOURCEW(IDI_APP),
                                MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
  ASSERT_TRUE(group);
  const WORD* header = static_cast<const WORD*>(LockResource(LoadResource(nullptr, group)));
  EXPECT_EQ(header[2], 8);
}

// The manifest, tagged Japanese and for any processor, reaches the loader:
// the common controls come from the side-by-side store (version 6), not from
// System32 (version 5).
TEST(Resources, ManifestBringsTheVersion6Controls) {
  HMODULE controls = LoadLibraryW(L"comctl32.dll");
  ASSERT_TRUE(controls);
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(controls, path, MAX_PATH);
  FreeLibrary(controls);
  std::wstring file = path;
  for (wchar_t& c : file) c = static_cast<wchar_t>(towlower(c));
  EXPECT_NE(file.find(L"\\winsxs\\"), std::wstring::npos) << path;
}

// The version resource: numbers 1.0.1.0, strings in a Japanese UTF-16 block.
TEST(Resources, VersionInformation) {
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));
  ASSERT_TRUE(found);
  const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, found)));
  DWORD size = SizeofResource(nullptr, found);
  std::wstring text(reinterpret_cast<const wchar_t*>(data), size / 2);

  size_t fixed = 0;
  while (fixed + sizeof(VS_FIXEDFILEINFO) <= size &&
         *reinterpret_cast<const DWORD*>(data + fixed) != 0xFEEF04BD)
    fixed += 4;
  ASSERT_LT(fixed + sizeof(VS_FIXEDFILEINFO), size);
  VS_FIXEDFILEINFO info;
  memcpy(&info, data + fixed, sizeof info);
  EXPECT_EQ(info.dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(info.dwFileVersionLS, 0x00010000u);
  EXPECT_EQ(info.dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(info.dwProductVersionLS, 0x00010000u);

  // Each value follows its key, aligned to 4 bytes.
  auto value = [&](const std::wstring& key) {
    size_t at = text.find(key + L'\0');
    if (at == std::wstring::npos) return std::wstring(L"<missing>");
    size_t v = at + key.size() + 1;
    if (v % 2) ++v;
    return std::wstring(text.c_str() + v);
  };
  EXPECT_NE(text.find(L"041104B0"), std::wstring::npos);
  EXPECT_EQ(value(L"ProductName"), L"Ostrelle");
  EXPECT_EQ(value(L"ProductVersion"), L"1.01");
  EXPECT_EQ(value(L"FileVersion"), L"1.01");
  EXPECT_EQ(value(L"OriginalFilename"), sizeof(void*) == 8 ? L"Ostrelle64.exe" : L"Ostrelle.exe");
  EXPECT_EQ(value(L"FileDescription"), L"Ostrelle - 最新ファイル抽出ツール");
}
