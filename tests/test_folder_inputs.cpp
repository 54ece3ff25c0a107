// The source list and the destination box of the real main window: the
// add-source dialog, drops, removal, the horizontal extent, the folder
// pickers, and a drop during a run.

#include <gtest/gtest.h>

#include <algorithm>

#include "app/folder_inputs.h"
#include "base/handles.h"
#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "res/resource.h"
#include "support/main_window_driver.h"
#include "support/test_files.h"
#include "support/ui_thread.h"

namespace {

using Paths = std::vector<std::wstring>;

constexpr wchar_t kAddSourceTitle[] = L"抽出元フォルダを追加";

HWND openAddSourceDialog(MainWindowDriver& app) {
  app.postCommand(IDC_ADD_SOURCE);
  return app.ui().waitForWindow(L"#32770", kAddSourceTitle);
}

// Types `text` into the add-source dialog and presses "追加".  Returns the
// text of the "確認" box when one came up (and answers it), else "".
std::wstring addThroughDialog(MainWindowDriver& app, const std::wstring& text) {
  HWND dialog = openAddSourceDialog(app);
  EXPECT_TRUE(dialog);
  if (!dialog) return L"<no dialog>";
  SetWindowTextW(GetDlgItem(dialog, IDC_SOURCE_PATH), text.c_str());
  pressButton(dialog, IDOK);
  std::wstring shown;
  // Either the dialog ends, or a box owned by it comes up first.
  HWND box = nullptr;
  waitUntil([&] {
    MessageBoxQuery query;
    query.owner = dialog;
    box = waitForMessageBox(query, 0);
    return box || !IsWindow(dialog);
  });
  if (box) {
    MessageBoxContent content = readMessageBox(box);
    EXPECT_EQ(content.caption, texts::kCaptionConfirm);
    EXPECT_EQ(content.buttons, std::vector<int>{IDOK});
    EXPECT_FALSE(content.hasIcon);
    shown = content.text;
    pressButton(box, IDOK);
  }
  EXPECT_TRUE(waitForWindowGone(dialog)) << "the dialog stayed open";
  return shown;
}

// Width of `text` in the list's font, measured here on a DC of our own.
LONG textWidth(HWND list, const std::wstring& text) {
  ScopedGetDC dc(list);
  ScopedSelectObject font(dc.get(),
                          reinterpret_cast<HGDIOBJ>(SendMessageW(list, WM_GETFONT, 0, 0)));
  SIZE size{};
  GetTextExtentPoint32W(dc.get(), text.c_str(), static_cast<int>(text.size()), &size);
  return size.cx;
}

LONG horizontalExtent(HWND list) {
  return static_cast<LONG>(SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0));
}

bool horizontalBarShown(HWND list) { return (GetWindowLongW(list, GWL_STYLE) & WS_HSCROLL) != 0; }

}  // namespace

TEST(AddSource, Template) {
  const std::vector<TemplateItem> expected = {
      {ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 0, 10, 10, 210, 12, 1020, L"Edit", L""},
      {BS_PUSHBUTTON | WS_TABSTOP, 0, 225, 10, 15, 12, 1021, L"Button", L"..."},
      {BS_DEFPUSHBUTTON | WS_TABSTOP, 0, 130, 30, 50, 15, IDOK, L"Button", L"追加"},
      {BS_PUSHBUTTON | WS_TABSTOP, 0, 190, 30, 50, 15, IDCANCEL, L"Button", L"キャンセル"},
  };
  DialogTemplate dialog = readDialogTemplate(IDD_ADD_SOURCE);
  EXPECT_EQ(dialog.style, static_cast<DWORD>(DS_SHELLFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP |
                                             WS_CAPTION | WS_SYSMENU));
  EXPECT_EQ(dialog.width, 250);
  EXPECT_EQ(dialog.height, 50);
  EXPECT_EQ(dialog.title, kAddSourceTitle);
  EXPECT_EQ(dialog.font, L"MS Shell Dlg 2");
  EXPECT_EQ(dialog.pointSize, 10);
  expectTemplateItems(dialog, expected);
}

TEST(AddSource, OpensEmptyWithItsIconAndCancelChangesNothing) {
  MainWindowDriver app;
  ASSERT_TRUE(app.open());
  app.drop(IDC_SOURCE_LIST, {L"C:\\kept"});
  for (bool byCloseCommand : {false, true}) {
    HWND dialog = openAddSourceDialog(app);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(GetWindow(dialog, GW_OWNER), app.window());
    EXPECT_EQ(windowText(GetDlgItem(dialog, IDC_SOURCE_PATH)), L"");
    EXPECT_EQ(app.ui().focus(), GetDlgItem(dialog, IDC_SOURCE_PATH));
    EXPECT_EQ(windowText(GetDlgItem(dialog, IDOK)), L"追加");
    EXPECT_EQ(windowText(GetDlgItem(dialog, IDCANCEL)), L"キャンセル");
    EXPECT_EQ(LOWORD(SendMessageW(dialog, DM_GETDEFID, 0, 0)), IDOK);
    HANDLE icon = LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, 0, 0,
                             LR_SHARED);
    ASSERT_TRUE(icon);
    EXPECT_EQ(SendMessageW(dialog, WM_GETICON, ICON_SMALL, 0), reinterpret_cast<LRESULT>(icon));
    SetWindowTextW(GetDlgItem(dialog, IDC_SOURCE_PATH), L"C:\\never");
    if (byCloseCommand)
      PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    else
      pressButton(dialog, IDCANCEL);
    ASSERT_TRUE(waitForWindowGone(dialog));
  }
  EXPECT_EQ(app.sources(), Paths{L"C:\\kept"});
}

TEST(AddSource, RemovesOneTrailingBackslashAndRefusesListedFolders) {
  struct Case {
    std::wstring typed;
    Paths before, after;
    bool refused;
  };
  const Case cases[] = {
      {L"C:\\Data\\", {L"c:\\data"}, {L"c:\\data"}, true},
      {L"D:\\", {}, {L"D:"}, false},
      {L"D:\\", {L"D:\\"}, {L"D:", L"D:\\"}, false},  // a dropped root keeps its backslash
      {L"D:\\Work\\\\", {}, {L"D:\\Work\\"}, false},
      {L"", {}, {L""}, false},
      {L"", {L""}, {L""}, true},
      {L"E:\\a", {L"E:\\b"}, {L"E:\\a", L"E:\\b"}, false},
      {L"C:\\Ä", {L"C:\\ä"}, {L"C:\\Ä", L"C:\\ä"}, false},  // only ASCII letters fold
  };
  MainWindowDriver app;
  ASSERT_TRUE(app.open());
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.typed));
    while (SendMessageW(app.item(IDC_SOURCE_LIST), LB_DELETESTRING, 0, 0) > 0) {
    }
    if (!c.before.empty()) app.drop(IDC_SOURCE_LIST, c.before);
    ASSERT_EQ(app.sources(), c.before);
    std::wstring shown = addThroughDialog(app, c.typed);
    EXPECT_EQ(shown, c.refused ? texts::kAlreadyListed : L"");
    // Compared as sets: where C:\Ä and C:\ä sort is the control's affair.
    Paths listed = app.sources(), expected = c.after;
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
  }
}

TEST(SourceDrop, AddsUnlistedItemsInSortedPlaces) {
  MainWindowDriver app;
  ASSERT_TRUE(app.open());
  // Added as D:\b, D:\A, C:\z: listed, and so scanned, as C:\z, D:\A, D:\b.
  app.drop(IDC_SOURCE_LIST, {L"D:\\b"});
  app.drop(IDC_SOURCE_LIST, {L"D:\\A"});
  app.drop(IDC_SOURCE_LIST, {L"C:\\z"});
  EXPECT_EQ(app.sources(), (Paths{L"C:\\z", L"D:\\A", L"D:\\b"}));

  // One item listed already in other case, one twice, a file, a root: no box.
  app.drop(IDC_SOURCE_LIST, {L"d:\\a", L"C:\\new", L"C:\\New", L"C:\\file.txt", L"E:\\", L"d:\\B"});
  EXPECT_EQ(app.sources(),
            (Paths{L"C:\\file.txt", L"C:\\new", L"C:\\z", L"D:\\A", L"D:\\b", L"E:\\"}));
  EXPECT_FALSE(waitForMessageBox({}, 200));
}

TEST(DestinationDrop, TakesTheFirstItemOnly) {
  MainWindowDriver app;
  app.writeSetting(L"DST_DIR_LOG", L"PATH_1", L"C:\\old");
  ASSERT_TRUE(app.open());
  Paths history = app.destinationList();
  app.drop(IDC_DESTINATION, {L"C:\\first\\", L"C:\\second", L"C:\\third.txt"});
  EXPECT_EQ(app.text(IDC_DESTINATION), L"C:\\first\\");
  EXPECT_EQ(app.destinationList(), history);
  // A drop onto the box's edit field reaches the box: it is the first
  // window up from the field that takes files.
  HWND edit = GetWindow(app.item(IDC_DESTINATION), GW_CHILD);
  while (edit && windowClass(edit) != L"Edit") edit = GetWindow(edit, GW_HWNDNEXT);
  ASSERT_TRUE(edit);
  HWND target = edit;
  while (target && !(GetWindowLongW(target, GWL_EXSTYLE) & WS_EX_ACCEPTFILES))
    target = GetParent(target);
  EXPECT_EQ(target, app.item(IDC_DESTINATION));
  // The rest of the window takes no drops.
  EXPECT_FALSE(GetWindowLongW(app.window(), GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
}

TEST(RemoveSource, SelectsTheEntryThatTookItsPlace) {
  struct Case {
    Paths entries;
    int selected;
    Paths after;
    int selectedAfter;
  };
  const Paths four{L"C:\\0", L"C:\\1", L"C:\\2", L"C:\\3"};
  const Case cases[] = {
      {four, 1, {L"C:\\0", L"C:\\2", L"C:\\3"}, 1},
      {four, 3, {L"C:\\0", L"C:\\1", L"C:\\2"}, 2},
      {four, 0, {L"C:\\1", L"C:\\2", L"C:\\3"}, 0},
      {four, -1, four, -1},
      {{L"C:\\only"}, 0, {}, -1},
      {{}, -1, {}, -1},
  };
  MainWindowDriver app;
  ASSERT_TRUE(app.open());
  HWND list = app.item(IDC_SOURCE_LIST);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.entries.size() << " entries, selected " << c.selected);
    while (SendMessageW(list, LB_DELETESTRING, 0, 0) > 0) {
    }
    if (!c.entries.empty()) app.drop(IDC_SOURCE_LIST, c.entries);
    SendMessageW(list, LB_SETCURSEL, c.selected, 0);
    app.command(IDC_REMOVE_SOURCE);
    EXPECT_EQ(app.sources(), c.after);
    EXPECT_EQ(app.selectedSource(), c.selectedAfter);
  }
}

TEST(SourceList, HorizontalExtentFollowsTheWidestEntry) {
  MainWindowDriver app;
  ASSERT_TRUE(app.open());
  HWND list = app.item(IDC_SOURCE_LIST);
  const std::wstring widest = L"C:\\" + std::wstring(120, L'W');
  const std::wstring middle = L"C:\\" + std::wstring(60, L'M');
  const std::wstring narrow = L"C:\\i";
  app.drop(IDC_SOURCE_LIST, {narrow, widest, middle});
  EXPECT_EQ(horizontalExtent(list), textWidth(list, widest));
  EXPECT_TRUE(horizontalBarShown(list));

  // Remove the widest (sorted: C:\i, C:\MMM..., C:\WWW...; the last one).
  SendMessageW(list, LB_SETCURSEL, 2, 0);
  app.command(IDC_REMOVE_SOURCE);
  ASSERT_EQ(app.sources(), (Paths{narrow, middle}));
  EXPECT_EQ(horizontalExtent(list), textWidth(list, middle));
  EXPECT_LT(horizontalExtent(list), textWidth(list, widest));

  for (int i = 0; i < 2; ++i) {
    SendMessageW(list, LB_SETCURSEL, 0, 0);
    app.command(IDC_REMOVE_SOURCE);
  }
  ASSERT_TRUE(app.sources().empty());
  EXPECT_EQ(horizontalExtent(list), 0);
  EXPECT_FALSE(horizontalBarShown(list));

  // Added through the dialog too.
  addThroughDialog(app, middle);
  EXPECT_EQ(horizontalExtent(list), textWidth(list, middle));
}

// On a screen of another DPI the list gets a font for it (here set by hand,
// as the platform does); the extent is measured again in that font.
TEST(SourceList, HorizontalExtentFollowsTheFontAfterADpiChange) {
  GdiObject larger;  // outlives the window that uses it
  MainWindowDriver app;
  ASSERT_TRUE(app.open());
  HWND list = app.item(IDC_SOURCE_LIST);
  const std::wstring widest = L"C:\\" + std::wstring(80, L'W');
  app.drop(IDC_SOURCE_LIST, {widest, L"C:\\i"});
  const LONG before = horizontalExtent(list);
  LOGFONTW description = {};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0)), sizeof description,
             &description);
  description.lfHeight *= 2;
  larger.reset(CreateFontIndirectW(&description));
  RECT suggested;
  GetWindowRect(app.window(), &suggested);
  ASSERT_TRUE(app.ui().call([&] {
    SendMessageW(list, WM_SETFONT, reinterpret_cast<WPARAM>(larger.get()), FALSE);
    SendMessageW(app.window(), 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(192, 192),
                 reinterpret_cast<LPARAM>(&suggested));
  }));
  ASSERT_TRUE(settle(app.window()));
  EXPECT_EQ(horizontalExtent(list), textWidth(list, widest));
  EXPECT_GT(horizontalExtent(list), before);
  // The title bar's icon is drawn at the new DPI's size.
  ICONINFO info = {};
  auto icon = reinterpret_cast<HICON>(SendMessageW(app.window(), WM_GETICON, ICON_SMALL, 0));
  ASSERT_TRUE(icon && GetIconInfo(icon, &info));
  BITMAP bitmap = {};
  GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  ScopedGetDC screen(nullptr);
  EXPECT_EQ(bitmap.bmWidth,
            MulDiv(GetSystemMetrics(SM_CXSMICON), 192, GetDeviceCaps(screen.get(), LOGPIXELSX)));
}

TEST(SourceDrop, ADropDuringARunWaitsForTheNextRun) {
  MainWindowDriver app;
  RunThreads runs(RunThreads::Mode::Held);
  ASSERT_TRUE(app.open());
  const std::wstring a = app.folder() / L"a", late = app.folder() / L"late",
                     out = app.folder() / L"out";
  writeFile(a + L"\\from-a.txt", "a", ticksAt(1));
  writeFile(late + L"\\from-late.txt", "late", ticksAt(2));
  SetWindowTextW(app.item(IDC_DESTINATION), out.c_str());
  app.drop(IDC_SOURCE_LIST, {a});

  app.command(IDC_RUN);
  ASSERT_TRUE(runState.running);
  // The list still takes the drop while the run is active...
  app.drop(IDC_SOURCE_LIST, {late});
  EXPECT_EQ(app.sources(), (Paths{a, late}));
  runs.release();
  HWND box = app.waitForOwnedMessageBox();
  ASSERT_TRUE(box);
  EXPECT_EQ(readMessageBox(box).text, texts::kOutcomeDone);
  pressButton(box, IDOK);
  ASSERT_TRUE(app.waitForIdle());
  // ...but the running scan worked on the sources listed when it started.
  EXPECT_EQ(listTree(out), Paths{L"from-a.txt"});

  // The next run scans both.
  app.command(IDC_RUN);
  box = app.waitForOwnedMessageBox();
  ASSERT_TRUE(box);
  pressButton(box, IDOK);
  ASSERT_TRUE(app.waitForIdle());
  EXPECT_EQ(listTree(out), (Paths{L"from-a.txt", L"from-late.txt"}));
}

TEST(FolderPicker, OpensAtTheTypedFolderAndCancelKeepsTheText) {
  MainWindowDriver app;
  ASSERT_TRUE(app.open());
  const std::wstring existing = app.folder() / L"picked";
  makeFolders(existing);
  HWND box = app.item(IDC_DESTINATION);

  auto waitForPicker = [&](HWND owner) {
    return waitForTopLevel(
        [&](HWND w) {
          return GetWindow(w, GW_OWNER) == owner && !isMessageBox(w) &&
                 windowText(w) != kAddSourceTitle;
        },
        app.ui().threadId());
  };

  // Destination: cancelled, the text stays as it was.
  SetWindowTextW(box, (existing + L"\\").c_str());
  app.postCommand(IDC_BROWSE_DESTINATION);
  HWND picker = waitForPicker(app.window());
  ASSERT_TRUE(picker);
  pressButton(picker, IDCANCEL);
  ASSERT_TRUE(waitForWindowGone(picker));
  EXPECT_EQ(app.text(IDC_DESTINATION), existing + L"\\");

  // Confirmed at once: the picker opened at the typed folder.
  app.postCommand(IDC_BROWSE_DESTINATION);
  picker = waitForPicker(app.window());
  ASSERT_TRUE(picker);
  ASSERT_TRUE(settle(picker));
  pressButton(picker, IDOK);
  ASSERT_TRUE(waitForWindowGone(picker));
  ASSERT_TRUE(settle(app.window()));
  EXPECT_TRUE(sameName(app.text(IDC_DESTINATION), existing)) << app.text(IDC_DESTINATION);

  // The add-source dialog's picker: cancelling keeps the field, the dialog
  // stays open; confirming puts the folder into the field.
  HWND dialog = openAddSourceDialog(app);
  ASSERT_TRUE(dialog);
  HWND field = GetDlgItem(dialog, IDC_SOURCE_PATH);
  SetWindowTextW(field, (existing + L"\\").c_str());
  pressButton(dialog, IDC_BROWSE_SOURCE);
  picker = waitForPicker(dialog);
  ASSERT_TRUE(picker);
  pressButton(picker, IDCANCEL);
  ASSERT_TRUE(waitForWindowGone(picker));
  ASSERT_TRUE(settle(dialog));
  EXPECT_EQ(windowText(field), existing + L"\\");
  pressButton(dialog, IDC_BROWSE_SOURCE);
  picker = waitForPicker(dialog);
  ASSERT_TRUE(picker);
  ASSERT_TRUE(settle(picker));
  pressButton(picker, IDOK);
  ASSERT_TRUE(waitForWindowGone(picker));
  ASSERT_TRUE(settle(dialog));
  EXPECT_TRUE(sameName(windowText(field), existing)) << windowText(field);
  EXPECT_TRUE(IsWindow(dialog));
  pressButton(dialog, IDCANCEL);
  ASSERT_TRUE(waitForWindowGone(dialog));
}
