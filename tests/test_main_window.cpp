// The main window driven in-process: start-up from the settings file, the
// busy and idle states around a real run, stopping, closing during a run,
// a failed thread start, the saved settings, and keys that must do nothing.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <utility>

#include "app/main_window.h"
#include "app/taskbar_progress.h"
#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "engine/file_ops.h"
#include "log/log_menu.h"
#include "log/run_log.h"
#include "res/resource.h"
#include "support/log_capture.h"
#include "support/main_window_driver.h"
#include "support/test_files.h"
#include "support/ui_thread.h"

namespace {

// Disabled by a run, in the order the window disables them.
const int kBusyControls[] = {1004, 1005, 1007, 1008, 1009, 1010, 1011, 1012, 1013,
                             1014, 1015, 1016, 1017, 1018, 1022, 1023, 1030};
// Usable during a run: the source list, the run button, Readme, About.
const int kAlwaysEnabled[] = {1006, 1019, 1002, 1003};

const int kRadioButtons[] = {1011, 1012, 1013, 1014, 1015, 1016, 1017, 1018};

std::vector<int> checkedRadios(const MainWindowDriver& app) {
  std::vector<int> on;
  for (int id : kRadioButtons)
    if (app.checked(id)) on.push_back(id);
  return on;
}

std::vector<int> disabledAmong(const MainWindowDriver& app, const std::vector<int>& ids) {
  std::vector<int> off;
  for (int id : ids)
    if (!app.enabled(id)) off.push_back(id);
  return off;
}

std::vector<int> busyControlsSorted() {
  std::vector<int> ids(std::begin(kBusyControls), std::end(kBusyControls));
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::vector<int> allControls() {
  std::vector<int> ids(std::begin(kBusyControls), std::end(kBusyControls));
  ids.insert(ids.end(), std::begin(kAlwaysEnabled), std::end(kAlwaysEnabled));
  std::sort(ids.begin(), ids.end());
  return ids;
}

// Two source folders with one file each and a destination below `root`.
struct RunFolders {
  explicit RunFolders(const TempFolder& root)
      : a(root / L"src\\a"), b(root / L"src\\b"), out(root / L"out") {
    writeFile(a + L"\\one.txt", "1", ticksAt(10));
    writeFile(b + L"\\two.txt", "22", ticksAt(20));
  }
  std::wstring a, b, out;
};

// Fills the window for a run over `folders`.
void prepareRun(MainWindowDriver& app, const RunFolders& folders) {
  SetWindowTextW(app.item(IDC_DESTINATION), folders.out.c_str());
  app.drop(IDC_SOURCE_LIST, {folders.a, folders.b});
}

// Answers the run's outcome box with `button` after checking it.
void expectOutcome(MainWindowDriver& app, const wchar_t* text, std::vector<int> buttons,
                   int button) {
  HWND box = app.waitForOwnedMessageBox();
  ASSERT_TRUE(box) << "no outcome box";
  MessageBoxContent content = readMessageBox(box);
  EXPECT_EQ(content.text, text);
  EXPECT_EQ(content.caption, L"Ostrelle");
  EXPECT_EQ(content.buttons, buttons);
  pressButton(box, button);
}

}  // namespace

TEST(MainWindow, TemplateHoldsTheControlsInTabOrder) {
  const DWORD button = BS_PUSHBUTTON | WS_TABSTOP, group = BS_GROUPBOX,
              check = BS_AUTOCHECKBOX | BS_MULTILINE | WS_TABSTOP, radio = BS_AUTORADIOBUTTON;
  const std::vector<TemplateItem> expected = {
      {CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP, 0, 20, 25, 240, 100, 1004,
       L"ComboBox", L""},
      {group, 0, 10, 10, 280, 35, -1, L"Button", L"出力先フォルダ"},
      {button, 0, 265, 25, 15, 12, 1005, L"Button", L"..."},
      {LBS_SORT | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_BORDER | WS_VSCROLL | WS_HSCROLL |
           WS_TABSTOP,
       0, 20, 70, 215, 80, 1006, L"ListBox", L""},
      {group, 0, 10, 55, 280, 105, -1, L"Button", L"抽出元フォルダリスト"},
      {button, 0, 240, 76, 40, 12, 1007, L"Button", L"追加"},
      {button, 0, 240, 92, 40, 12, 1008, L"Button", L"削除"},
      {check, 0, 242, 110, 43, 20, 1009, L"Button", L"サブ\nフォルダ"},
      {check, 0, 250, 130, 35, 20, 1010, L"Button", L"階層\n無視"},
      {group, 0, 10, 170, 280, 50, -1, L"Button", L"抽出対象ファイル"},
      {radio | BS_MULTILINE | WS_GROUP, 0, 20, 181, 265, 18, 1011, L"Button",
       texts::kTargetNewestAndUnique},
      {radio, 0, 20, 199, 265, 10, 1012, L"Button", texts::kTargetNewestOnly},
      {radio, 0, 20, 209, 265, 10, 1013, L"Button", texts::kTargetUniqueOnly},
      {group, 0, 10, 230, 160, 30, -1, L"Button", L"新古の比較基準"},
      {radio | WS_GROUP, 0, 20, 243, 50, 10, 1014, L"Button", L"更新日時"},
      {radio, 0, 75, 243, 50, 10, 1015, L"Button", L"作成日時"},
      {radio, 0, 130, 243, 35, 10, 1016, L"Button", L"両方"},
      {group, 0, 180, 230, 110, 30, -1, L"Button", L"抽出方法"},
      {radio | WS_GROUP, 0, 190, 243, 40, 10, 1017, L"Button", L"コピー"},
      {radio, 0, 235, 243, 50, 10, 1018, L"Button", L"移動"},
      {check, 0, 20, 270, 100, 20, 1022, L"Button", L"タイムスタンプ\nを維持する"},
      {check, 0, 120, 270, 170, 20, 1030, L"Button", L"出力先と同じファイルはコピーしない"},
      {button, 0, 120, 296, 60, 20, 1019, L"Button", L"抽出実行"},
      {button, 0, 200, 300, 30, 12, 1023, L"Button", L"ログ"},
      {button, 0, 235, 292, 60, 12, 1002, L"Button", L"Readme.txt"},
      {button, 0, 235, 308, 60, 12, 1003, L"Button", L"バージョン情報"},
  };
  DialogTemplate dialog = readDialogTemplate(IDD_MAIN);
  EXPECT_EQ(dialog.style,
            static_cast<DWORD>(DS_SHELLFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_VISIBLE |
                               WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX));
  EXPECT_EQ(dialog.width, 300);
  EXPECT_EQ(dialog.height, 326);
  EXPECT_EQ(dialog.title, L"Ostrelle");
  EXPECT_EQ(dialog.font, L"MS Shell Dlg 2");
  EXPECT_EQ(dialog.pointSize, 10);
  expectTemplateItems(dialog, expected);
  for (const TemplateItem& item : dialog.items) EXPECT_EQ(item.exStyle, 0u) << item.id;
}

TEST(MainWindow, OpensCentredWithoutDefaultButtonAndFocusInTheDestination) {
  MainWindowDriver app;
  ASSERT_TRUE(app.open());
  HWND window = app.window();
  LONG style = GetWindowLongW(window, GWL_STYLE);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & (WS_MAXIMIZEBOX | WS_THICKFRAME));
  EXPECT_EQ(GetWindow(window, GW_OWNER), nullptr);
  // Both icons, each at the size the system draws it.
  for (auto [kind, metric] : {std::pair{ICON_BIG, SM_CXICON}, std::pair{ICON_SMALL, SM_CXSMICON}}) {
    auto icon = reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, kind, 0));
    ICONINFO info = {};
    ASSERT_TRUE(icon && GetIconInfo(icon, &info)) << kind;
    BITMAP bitmap = {};
    GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, GetSystemMetrics(metric)) << kind;
    EXPECT_EQ(bitmap.bmBitsPixel, 32) << kind;
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
  }
  RECT client{}, size{0, 0, 300, 326};
  GetClientRect(window, &client);
  MapDialogRect(window, &size);
  EXPECT_EQ(client.right, size.right);
  EXPECT_EQ(client.bottom, size.bottom);
  // No default push button, so Enter presses nothing by itself.
  for (int id : {1005, 1007, 1008, 1019, 1023, 1002, 1003})
    EXPECT_EQ(SendMessageW(app.item(id), WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON, 0) << id;
  EXPECT_EQ(GetParent(app.ui().focus()), app.item(IDC_DESTINATION));
  EXPECT_EQ(app.text(IDC_SUBFOLDERS), L"サブ\nフォルダ");  // a real line break
}

TEST(MainWindow, OpensWithTheStoredSettings) {
  struct Case {
    const char* name;
    std::vector<std::pair<const wchar_t*, const wchar_t*>> options;
    bool subfolders, ignoreHierarchy, ignoreEnabled, timeStamps, logTransfers, skipSame;
    std::vector<int> radios;
  };
  const Case cases[] = {
      {"no file", {}, false, false, false, true, false, false, {1011, 1016, 1017}},
      {"every option away from its default",
       {{L"SUB_DIR", L"0"},
        {L"KAISOU_MUSHI", L"1"},
        {L"KIND_OF_TARGET", L"2"},
        {L"CRITERION", L"0"},
        {L"COPY", L"0"},
        {L"TIMESTAMP", L"0"},
        {L"LOGGING_COPY", L"1"},
        {L"SKIP_SAME", L"1"}},
       false,
       true,
       false,
       false,
       true,
       true,
       {1013, 1014, 1018}},
      {"subfolders on, out-of-range values",
       {{L"SUB_DIR", L"1"}, {L"KIND_OF_TARGET", L"1"}, {L"CRITERION", L"1"}, {L"COPY", L"3"}},
       true,
       false,
       true,
       true,
       false,
       false,
       {1012, 1015, 1017}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MainWindowDriver app;
    for (auto& [key, value] : c.options) app.writeSetting(L"OPTION", key, value);
    if (!c.options.empty()) {
      app.writeSetting(L"DST_DIR_LOG", L"PATH_1", L"C:\\最新");
      app.writeSetting(L"DST_DIR_LOG", L"PATH_3", L"D:\\three");
    }
    ASSERT_TRUE(app.open());
    EXPECT_EQ(app.checked(IDC_SUBFOLDERS), c.subfolders);
    EXPECT_EQ(app.checked(IDC_IGNORE_HIERARCHY), c.ignoreHierarchy);
    EXPECT_EQ(app.enabled(IDC_IGNORE_HIERARCHY), c.ignoreEnabled);
    EXPECT_EQ(app.checked(IDC_KEEP_TIMESTAMPS), c.timeStamps);
    EXPECT_EQ(app.checked(IDC_SKIP_SAME), c.skipSame);
    EXPECT_EQ(app.enabled(IDC_SKIP_SAME), app.checked(IDC_METHOD_COPY));
    EXPECT_EQ(logTransfersEnabled(), c.logTransfers);
    EXPECT_EQ(checkedRadios(app), c.radios);
    EXPECT_TRUE(app.sources().empty());
    std::vector<std::wstring> history(10);
    if (!c.options.empty()) history[0] = L"C:\\最新", history[2] = L"D:\\three";
    EXPECT_EQ(app.destinationList(), history);
    EXPECT_EQ(app.text(IDC_DESTINATION), history[0]);
    // The subfolders box switches the ignore-hierarchy box without touching it.
    app.click(IDC_SUBFOLDERS);
    EXPECT_EQ(app.enabled(IDC_IGNORE_HIERARCHY), !c.subfolders);
    EXPECT_EQ(app.checked(IDC_IGNORE_HIERARCHY), c.ignoreHierarchy);
  }
}

TEST(MainWindow, BusyDuringARunAndIdleAfterIt) {
  MainWindowDriver app;
  RunThreads runs(RunThreads::Mode::Held);
  ASSERT_TRUE(app.open());
  RunFolders folders(app.folder());
  prepareRun(app, folders);

  app.command(IDC_RUN);
  EXPECT_TRUE(runState.running);
  EXPECT_EQ(runs.requested(), 1);
  EXPECT_EQ(disabledAmong(app, allControls()), busyControlsSorted());
  EXPECT_EQ(app.text(IDC_RUN), L"抽出中止");
  EXPECT_EQ(app.text(0), L"抽出処理中 - Ostrelle");

  runs.release();
  // The outcome box is up: the run is still active and the window still busy.
  HWND box = app.waitForOwnedMessageBox();
  ASSERT_TRUE(box);
  EXPECT_TRUE(runState.running);
  EXPECT_EQ(app.text(IDC_RUN), L"抽出中止");
  EXPECT_EQ(app.text(0), L"コピー処理中 - Ostrelle");
  EXPECT_EQ(disabledAmong(app, {kAlwaysEnabled, std::end(kAlwaysEnabled)}), std::vector<int>{});
  MessageBoxContent content = readMessageBox(box);
  EXPECT_EQ(content.text, texts::kOutcomeDone);
  EXPECT_EQ(content.caption, L"Ostrelle");
  EXPECT_EQ(content.buttons, std::vector<int>{IDOK});
  EXPECT_FALSE(content.hasIcon);
  pressButton(box, IDOK);

  ASSERT_TRUE(app.waitForIdle());
  ASSERT_TRUE(settle(app.window()));
  // SUB_DIR was saved as 0, so the ignore-hierarchy box stays disabled.
  EXPECT_EQ(disabledAmong(app, allControls()), std::vector<int>{IDC_IGNORE_HIERARCHY});
  EXPECT_EQ(app.text(IDC_RUN), L"抽出実行");
  EXPECT_EQ(app.text(0), L"Ostrelle");
  // The run used the window's options: both files were copied.
  EXPECT_EQ(listTree(folders.out), (std::vector<std::wstring>{L"one.txt", L"two.txt"}));
}

TEST(MainWindow, RunButtonTwiceStartsOneRunThenStopsIt) {
  MainWindowDriver app;
  RunThreads runs(RunThreads::Mode::Held);
  ASSERT_TRUE(app.open());
  RunFolders folders(app.folder());
  prepareRun(app, folders);

  app.command(IDC_RUN);
  app.command(IDC_RUN);
  EXPECT_EQ(runs.requested(), 1);
  EXPECT_TRUE(runState.cancelRequested);
  EXPECT_EQ(app.text(IDC_RUN), L"抽出中止");

  runs.release();
  HWND box = app.waitForOwnedMessageBox();
  ASSERT_TRUE(box);
  EXPECT_EQ(app.text(IDC_RUN), L"抽出中止");  // until the outcome has been answered
  MessageBoxContent content = readMessageBox(box);
  EXPECT_EQ(content.text, texts::kOutcomeCancelled);
  EXPECT_EQ(content.buttons, std::vector<int>{IDOK});
  pressButton(box, IDOK);
  ASSERT_TRUE(app.waitForIdle());
  ASSERT_TRUE(settle(app.window()));
  EXPECT_EQ(app.text(IDC_RUN), L"抽出実行");
  EXPECT_FALSE(folderExists(folders.out));  // stopped before the transfer
}

TEST(MainWindow, ClosingDuringARunWaitsForTheOutcome) {
  MainWindowDriver app;
  RunThreads runs(RunThreads::Mode::Held);
  ASSERT_TRUE(app.open());
  RunFolders folders(app.folder());
  prepareRun(app, folders);
  app.command(IDC_RUN);

  // Two close requests: two waiters, one end of the window.
  PostMessageW(app.window(), WM_CLOSE, 0, 0);
  PostMessageW(app.window(), WM_CLOSE, 0, 0);
  ASSERT_TRUE(waitUntil([] { return runState.cancelRequested.load(); }));
  ASSERT_TRUE(settle(app.window()));
  EXPECT_TRUE(IsWindow(app.window()));

  runs.release();
  HWND box = app.waitForOwnedMessageBox();
  ASSERT_TRUE(box);
  EXPECT_EQ(readMessageBox(box).text, texts::kOutcomeCancelled);
  Sleep(300);  // several rounds of the waiters' polling
  EXPECT_TRUE(IsWindow(app.window())) << "the window closed under its outcome box";
  HWND window = app.window();
  pressButton(box, IDOK);
  ASSERT_TRUE(app.waitClosed());
  EXPECT_EQ(app.ui().result(), 0);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_FALSE(runState.running);
  EXPECT_FALSE(waitForMessageBox({}, 300)) << "no further question after the outcome";
}

// The thread cannot be made, or memory runs out on the way to it: either
// way the window says so and comes back to idle.
TEST(MainWindow, FailedThreadStartIsReportedAndTheWindowReturnsToIdle) {
  for (RunThreads::Mode mode : {RunThreads::Mode::Failing, RunThreads::Mode::Throwing}) {
    SCOPED_TRACE(mode == RunThreads::Mode::Failing ? "failing" : "throwing");
    MainWindowDriver app;
    RunThreads runs(mode);
    ASSERT_TRUE(app.open());
    RunFolders folders(app.folder());
    prepareRun(app, folders);

    app.postCommand(IDC_RUN);  // the error box blocks the UI thread
    HWND box = app.waitForOwnedMessageBox();
    ASSERT_TRUE(box);
    MessageBoxContent content = readMessageBox(box);
    EXPECT_EQ(content.text, texts::kThreadFailed);
    EXPECT_EQ(content.caption, L"Ostrelle");
    EXPECT_EQ(content.buttons, std::vector<int>{IDOK});
    EXPECT_TRUE(content.hasIcon);
    EXPECT_EQ(content.threadId, app.ui().threadId());
    EXPECT_TRUE(runState.running);
    EXPECT_EQ(app.text(IDC_RUN), L"抽出中止");
    pressButton(box, IDOK);

    ASSERT_TRUE(app.waitForIdle());
    ASSERT_TRUE(settle(app.window()));
    EXPECT_EQ(runs.requested(), 1);
    EXPECT_EQ(app.text(IDC_RUN), L"抽出実行");
    EXPECT_EQ(app.text(0), L"Ostrelle");
    EXPECT_EQ(disabledAmong(app, allControls()), std::vector<int>{IDC_IGNORE_HIERARCHY});
    EXPECT_FALSE(folderExists(app.folder() / L"logs"));
    // The settings were saved before the thread was asked for.
    wchar_t saved[1024] = {};
    GetPrivateProfileStringW(L"DST_DIR_LOG", L"PATH_1", L"", saved, 1024,
                             app.settingsFile().c_str());
    EXPECT_EQ(std::wstring(saved), folders.out);
    EXPECT_FALSE(folderExists(folders.out));
    EXPECT_FALSE(runState.running);
  }
}

TEST(MainWindow, IgnoreHierarchyFollowsTheSettingsFileAfterARun) {
  struct Case {
    bool subfoldersBox;
    const wchar_t* fileSaysDuringRun;
    bool enabledAfter;
  };
  for (const Case& c : {Case{true, L"0", false}, Case{false, L"1", true}}) {
    SCOPED_TRACE(c.fileSaysDuringRun);
    MainWindowDriver app;
    RunThreads runs(RunThreads::Mode::Held);
    ASSERT_TRUE(app.open());
    if (c.subfoldersBox) app.click(IDC_SUBFOLDERS);
    RunFolders folders(app.folder());
    prepareRun(app, folders);
    app.command(IDC_RUN);
    // The file changes behind the window's back while the run is active.
    app.writeSetting(L"OPTION", L"SUB_DIR", c.fileSaysDuringRun);
    runs.release();
    expectOutcome(app, texts::kOutcomeDone, {IDOK}, IDOK);
    ASSERT_TRUE(app.waitForIdle());
    ASSERT_TRUE(settle(app.window()));
    EXPECT_EQ(app.enabled(IDC_IGNORE_HIERARCHY), c.enabledAfter);
    EXPECT_EQ(app.checked(IDC_SUBFOLDERS), c.subfoldersBox);
  }
}

TEST(MainWindow, CommandsWaitWhileARunIsActive) {
  MainWindowDriver app;
  RunThreads runs(RunThreads::Mode::Held);
  ASSERT_TRUE(app.open());
  RunFolders folders(app.folder());
  prepareRun(app, folders);
  bool logTransfers = logTransfersEnabled();
  SendMessageW(app.item(IDC_SOURCE_LIST), LB_SETCURSEL, 0, 0);
  app.command(IDC_RUN);

  app.command(IDC_REMOVE_SOURCE);
  app.command(IDM_LOG_TRANSFERS);
  app.postCommand(IDC_ADD_SOURCE);
  app.postCommand(IDC_BROWSE_DESTINATION);
  ASSERT_TRUE(settle(app.window()));
  EXPECT_EQ(app.sources().size(), 2u);
  EXPECT_EQ(logTransfersEnabled(), logTransfers);
  EXPECT_FALSE(waitForTopLevel([&](HWND w) { return GetWindow(w, GW_OWNER) == app.window(); },
                               app.ui().threadId(), 300))
      << "a dialog opened during the run";

  // The About box still opens, owned by the window.
  app.postCommand(IDC_ABOUT);
  HWND about = app.ui().waitForWindow(L"#32770", L"バージョン情報");
  ASSERT_TRUE(about);
  EXPECT_EQ(GetWindow(about, GW_OWNER), app.window());
  pressButton(about, IDOK);
  ASSERT_TRUE(waitForWindowGone(about));

  // The list itself stays usable: its selection still moves.
  SendMessageW(app.item(IDC_SOURCE_LIST), LB_SETCURSEL, 1, 0);
  EXPECT_EQ(app.selectedSource(), 1);

  runs.release();
  expectOutcome(app, texts::kOutcomeDone, {IDOK}, IDOK);
  ASSERT_TRUE(app.waitForIdle());
  // Idle again: the same commands act.
  app.command(IDM_LOG_TRANSFERS);
  EXPECT_NE(logTransfersEnabled(), logTransfers);
  app.command(IDC_REMOVE_SOURCE);
  EXPECT_EQ(app.sources().size(), 1u);
}

TEST(MainWindow, EscapeAndEnterDoNothing) {
  MainWindowDriver app;
  RunThreads runs(RunThreads::Mode::Held);
  ASSERT_TRUE(app.open());
  RunFolders folders(app.folder());
  prepareRun(app, folders);
  HWND list = app.item(IDC_SOURCE_LIST);

  // Keys go to the focus through the dialog's own loop; a posted selection
  // change behind them shows when they have been handled.  Idle, the focus
  // is in the destination box's edit field; running, on the run button that
  // started the run (where Enter would press it again, as on any button).
  for (bool running : {false, true}) {
    SCOPED_TRACE(running ? "running" : "idle");
    if (running) {
      ASSERT_TRUE(app.ui().call([&] { SetFocus(app.item(IDC_RUN)); }));
      app.command(IDC_RUN);
    }
    HWND focus = app.ui().focus();
    ASSERT_TRUE(focus);
    EXPECT_EQ(running ? focus : GetParent(focus), app.item(running ? IDC_RUN : IDC_DESTINATION));
    for (UINT key :
         running ? std::vector<UINT>{VK_ESCAPE} : std::vector<UINT>{VK_ESCAPE, VK_RETURN}) {
      int marker = app.selectedSource() == 0 ? 1 : 0;
      postKey(focus, key);
      PostMessageW(list, LB_SETCURSEL, marker, 0);
      ASSERT_TRUE(waitUntil([&] { return app.selectedSource() == marker; }));
      EXPECT_FALSE(waitUntil([&] { return app.ui().finished(); }, 200)) << "the window closed";
      EXPECT_TRUE(IsWindow(app.window()));
    }
    EXPECT_EQ(app.text(IDC_DESTINATION), folders.out);
    EXPECT_EQ(runState.running.load(), running);
    EXPECT_FALSE(runState.cancelRequested);
  }
  runs.release();
  expectOutcome(app, texts::kOutcomeDone, {IDOK}, IDOK);
  ASSERT_TRUE(app.waitForIdle());
}

TEST(MainWindow, ARunSavesTheWindowsSettingsAndPromotesTheDestination) {
  MainWindowDriver app;
  const std::wstring out = app.folder() / L"出力先\u00e9";
  std::wstring outOtherCase = out;
  for (wchar_t& c : outOtherCase)
    if (c >= L'A' && c <= L'Z') c = c - L'A' + L'a';
  ASSERT_NE(outOtherCase, out);
  // History: C:\h1 ... C:\h10 with the destination, in other case, fourth.
  std::vector<std::wstring> history;
  for (int i = 1; i <= 10; ++i)
    history.push_back(i == 4 ? outOtherCase : formatText(L"C:\\h%d", i));
  for (int i = 0; i < 10; ++i)
    app.writeSetting(L"DST_DIR_LOG", formatText(L"PATH_%d", i + 1).c_str(), history[i]);
  ASSERT_TRUE(app.open());
  RunFolders folders(app.folder());
  SetWindowTextW(app.item(IDC_DESTINATION), out.c_str());
  app.drop(IDC_SOURCE_LIST, {folders.a, folders.b});
  for (int id : {IDC_SUBFOLDERS, IDC_IGNORE_HIERARCHY, IDC_TARGET_UNIQUE_ONLY,
                 IDC_CRITERION_CREATED, IDC_METHOD_MOVE, IDC_KEEP_TIMESTAMPS})
    app.click(id);
  app.command(IDM_LOG_TRANSFERS);

  app.command(IDC_RUN);
  expectOutcome(app, texts::kOutcomeDone, {IDOK}, IDOK);
  ASSERT_TRUE(app.waitForIdle());

  std::vector<std::wstring> promoted{out,       L"C:\\h1", L"C:\\h2", L"C:\\h3", L"C:\\h5",
                                     L"C:\\h6", L"C:\\h7", L"C:\\h8", L"C:\\h9", L"C:\\h10"};
  EXPECT_EQ(app.destinationList(), promoted);
  EXPECT_EQ(app.text(IDC_DESTINATION), out);
  std::wstring expected = L"\xFEFF[DST_DIR_LOG]\r\n";
  for (int i = 0; i < 10; ++i)
    expected += formatText(L"PATH_%d=%s\r\n", i + 1, promoted[i].c_str());
  expected +=
      L"[OPTION]\r\nSUB_DIR=1\r\nKAISOU_MUSHI=1\r\nKIND_OF_TARGET=2\r\nCRITERION=1\r\nCOPY=0\r\n"
      L"TIMESTAMP=0\r\nLOGGING_COPY=1\r\n";
  std::string bytes = readFile(app.settingsFile());
  std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
  EXPECT_EQ(text, expected);
  // Moved.
  EXPECT_EQ(listTree(out), (std::vector<std::wstring>{L"one.txt", L"two.txt"}));
  EXPECT_TRUE(listTree(folders.a).empty());
}

TEST(MainWindow, TheFirstRunWritesAFreshSettingsFile) {
  MainWindowDriver app;
  ASSERT_TRUE(app.open());
  RunFolders folders(app.folder());
  prepareRun(app, folders);
  app.command(IDC_RUN);
  expectOutcome(app, texts::kOutcomeDone, {IDOK}, IDOK);
  ASSERT_TRUE(app.waitForIdle());
  std::wstring expected =
      L"\xFEFF[OPTION]\r\nSUB_DIR=0\r\nKAISOU_MUSHI=0\r\nKIND_OF_TARGET=0\r\nCRITERION=2\r\n"
      L"COPY=1\r\nTIMESTAMP=1\r\nLOGGING_COPY=0\r\n[DST_DIR_LOG]\r\n";
  expected += L"PATH_1=" + folders.out + L"\r\n";
  for (int i = 2; i <= 10; ++i) expected += formatText(L"PATH_%d=\r\n", i);
  std::string bytes = readFile(app.settingsFile());
  EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2),
            expected);
}

// The skip box counts for copies only: it is usable exactly while "コピー"
// is selected, by key or by mouse, and keeps its check meanwhile.  The run
// gets it and saves it, and after a move it stays disabled.
TEST(MainWindow, SkipBoxFollowsTheMethodAndIsSaved) {
  MainWindowDriver app;
  ASSERT_TRUE(app.open());
  app.click(IDC_SKIP_SAME);
  RunFolders folders(app.folder());
  prepareRun(app, folders);
  // An arrow key moves the selection within the method buttons, as a click.
  ASSERT_TRUE(app.ui().call([&] { SetFocus(app.item(IDC_METHOD_COPY)); }));
  postKey(app.item(IDC_METHOD_COPY), VK_RIGHT);
  ASSERT_TRUE(settle(app.window()));
  ASSERT_TRUE(app.checked(IDC_METHOD_MOVE));
  EXPECT_FALSE(app.enabled(IDC_SKIP_SAME));
  RunOptions options;
  ASSERT_TRUE(app.ui().call([&] { options = readRunOptions(app.window()); }));
  EXPECT_TRUE(options.skipSame);
  app.command(IDC_RUN);
  expectOutcome(app, texts::kOutcomeDone, {IDOK}, IDOK);
  ASSERT_TRUE(app.waitForIdle());
  ASSERT_TRUE(settle(app.window()));
  EXPECT_FALSE(app.enabled(IDC_SKIP_SAME));
  EXPECT_TRUE(loadSettings().skipSame);
  app.click(IDC_METHOD_COPY);
  EXPECT_TRUE(app.enabled(IDC_SKIP_SAME));
  EXPECT_TRUE(app.checked(IDC_SKIP_SAME));
}

// ---------------------------------------------------------------------------
// The preview (log menu command 2004) and the taskbar button's progress.

namespace {

// Every file and folder below `root` (relative paths, folders marked "\").
std::vector<std::wstring> treeOf(const std::wstring& root) {
  std::vector<std::wstring> out;
  std::function<void(const std::wstring&)> walk = [&](const std::wstring& rel) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((root + L"\\" + rel + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      out.push_back(rel + name + (folder ? L"\\" : L""));
      if (folder) walk(rel + name + L"\\");
    } while (FindNextFileW(find, &data));
    FindClose(find);
  };
  walk(L"");
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST(MainWindow, PreviewRunsLikeARunButLeavesEverythingAsItWas) {
  MainWindowDriver app;
  app.writeSetting(L"DST_DIR_LOG", L"PATH_1", L"C:\\earlier");
  app.writeSetting(L"OPTION", L"COPY", L"0");
  RunThreads runs(RunThreads::Mode::Held);
  ASSERT_TRUE(app.open());
  RunFolders folders(app.folder());
  prepareRun(app, folders);
  app.click(IDC_SUBFOLDERS);  // the settings file still says no subfolders
  ASSERT_TRUE(app.enabled(IDC_IGNORE_HIERARCHY));
  std::string settingsBefore = readFile(app.settingsFile());
  std::vector<std::wstring> historyBefore = app.destinationList();
  std::vector<std::wstring> before = treeOf(app.folder().path());

  app.command(IDM_PREVIEW);
  EXPECT_TRUE(runState.running);
  EXPECT_EQ(runs.requested(), 1);
  EXPECT_EQ(disabledAmong(app, allControls()), busyControlsSorted());
  EXPECT_EQ(app.text(IDC_RUN), L"抽出中止");
  EXPECT_EQ(app.text(0), L"抽出処理中 - Ostrelle");
  app.command(IDM_PREVIEW);  // a second one waits like every other command
  EXPECT_EQ(runs.requested(), 1);

  runs.release();
  HWND box = app.waitForOwnedMessageBox();
  ASSERT_TRUE(box);
  EXPECT_EQ(app.text(0), L"抽出処理中 - Ostrelle") << "a preview keeps the scan's title";
  MessageBoxContent content = readMessageBox(box);
  EXPECT_EQ(content.text, L"プレビューを完了しました。ログファイルを表示しますか？");
  EXPECT_EQ(content.caption, L"Ostrelle");
  EXPECT_EQ(content.buttons, (std::vector<int>{IDYES, IDNO}));
  EXPECT_TRUE(content.hasIcon);
  pressButton(box, IDNO);
  ASSERT_TRUE(app.waitForIdle());
  ASSERT_TRUE(settle(app.window()));
  EXPECT_EQ(app.text(IDC_RUN), L"抽出実行");
  EXPECT_EQ(app.text(0), L"Ostrelle");
  EXPECT_EQ(app.text(IDC_DESTINATION), folders.out);
  EXPECT_TRUE(app.enabled(IDC_IGNORE_HIERARCHY)) << "it follows the box the preview left alone";

  // The settings file, the history and the folders are as they were; only
  // the log is new, and it is a preview's.
  EXPECT_EQ(readFile(app.settingsFile()), settingsBefore);
  EXPECT_EQ(app.destinationList(), historyBefore);
  std::vector<std::wstring> after = treeOf(app.folder().path());
  std::vector<std::wstring> added;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                      std::back_inserter(added));
  ASSERT_EQ(after.size(), before.size() + added.size()) << "something went away";
  ASSERT_EQ(added.size(), 2u);
  EXPECT_EQ(added[0], L"logs\\");
  EXPECT_EQ(added[1].substr(0, 5), L"logs\\");
  std::vector<std::wstring> lines;
  for (const LogLine& l : parseEventLines(readFile(app.folder() / added[1])))
    lines.push_back(l.category + L":" + l.message);
  EXPECT_EQ(lines, (std::vector<std::wstring>{
                       L"確認:プレビュー開始。",
                       L"予定:「" + folders.out + L"」フォルダを作成します。",
                       L"予定:「" + folders.a + L"\\one.txt」から「" + folders.out +
                           L"\\one.txt」へ移動します。",
                       L"予定:「" + folders.b + L"\\two.txt」から「" + folders.out +
                           L"\\two.txt」へ移動します。",
                       L"確認:プレビュー完了。",
                   }));
}

TEST(MainWindow, PreviewStopsOnTheRunButtonAndOnClosing) {
  for (bool closing : {false, true}) {
    SCOPED_TRACE(closing ? "closing" : "run button");
    MainWindowDriver app;
    RunThreads runs(RunThreads::Mode::Held);
    ASSERT_TRUE(app.open());
    RunFolders folders(app.folder());
    prepareRun(app, folders);
    app.command(IDM_PREVIEW);
    if (closing)
      PostMessageW(app.window(), WM_CLOSE, 0, 0);
    else
      app.command(IDC_RUN);
    ASSERT_TRUE(waitUntil([] { return runState.cancelRequested.load(); }));
    runs.release();
    HWND box = app.waitForOwnedMessageBox();
    ASSERT_TRUE(box);
    MessageBoxContent content = readMessageBox(box);
    EXPECT_EQ(content.text, L"プレビューを中止しました。");
    EXPECT_EQ(content.buttons, std::vector<int>{IDOK});
    EXPECT_FALSE(content.hasIcon);
    pressButton(box, IDOK);
    if (closing) {
      ASSERT_TRUE(app.waitClosed());
    } else {
      ASSERT_TRUE(app.waitForIdle());
      ASSERT_TRUE(settle(app.window()));
      EXPECT_EQ(app.text(IDC_RUN), L"抽出実行");
    }
    EXPECT_FALSE(folderExists(folders.out));
    EXPECT_FALSE(fileExists(app.settingsFile()));
  }
}

namespace {

// Stands in for the taskbar: records what the window shows on its button.
struct ShownProgress {
  bool isMode;
  ProgressMode mode;
  uint32_t done, total;
};
std::mutex shownLock;
std::vector<ShownProgress> shown;

std::vector<ShownProgress> shownSoFar() {
  std::lock_guard<std::mutex> hold(shownLock);
  return shown;
}

class RecordingDisplay : public ProgressDisplay {
 public:
  void setMode(ProgressMode mode) override {
    std::lock_guard<std::mutex> hold(shownLock);
    shown.push_back({true, mode, 0, 0});
  }
  void setValue(uint32_t done, uint32_t total) override {
    std::lock_guard<std::mutex> hold(shownLock);
    shown.push_back({false, ProgressMode::None, done, total});
  }
};

std::unique_ptr<ProgressDisplay> makeRecordingDisplay(HWND) {
  return std::make_unique<RecordingDisplay>();
}

// Installs the recording display for one test and tells the window that
// its taskbar button exists.
class RecordedTaskbar {
 public:
  RecordedTaskbar() {
    shown.clear();
    setProgressDisplayFactory(makeRecordingDisplay);
  }
  ~RecordedTaskbar() {
    setProgressDisplayFactory(nullptr);
    setFileOperationHook(nullptr);
  }
  void buttonCreated(HWND window) { SendMessageW(window, taskbarButtonCreatedMessage(), 0, 0); }
};

bool modeShown(ProgressMode mode) {
  for (const ShownProgress& s : shownSoFar())
    if (s.isMode && s.mode == mode) return true;
  return false;
}

std::vector<ProgressMode> modesShown() {
  std::vector<ProgressMode> modes;
  for (const ShownProgress& s : shownSoFar())
    if (s.isMode) modes.push_back(s.mode);
  return modes;
}

}  // namespace

TEST(MainWindow, ProgressViewOfEachPhase) {
  using M = ProgressMode;
  struct Case {
    RunPhase phase;
    bool error;
    uint32_t done, total;
    ProgressView view;
  };
  const Case cases[] = {
      {RunPhase::Ended, true, 3, 5, {M::None, 0, 0}},
      {RunPhase::Starting, true, 0, 0, {M::Indeterminate, 0, 0}},  // the last run's flag
      {RunPhase::Scanning, false, 0, 0, {M::Indeterminate, 0, 0}},
      {RunPhase::Scanning, true, 0, 0, {M::Error, 1, 1}},
      {RunPhase::Transferring, false, 2, 5, {M::Normal, 2, 5}},
      {RunPhase::Transferring, true, 2, 5, {M::Error, 2, 5}},
      {RunPhase::Transferring, false, 0, 0, {M::Normal, 0, 0}},
  };
  for (const Case& c : cases) {
    ProgressView got = progressViewOf(c.phase, c.error, c.done, c.total);
    EXPECT_TRUE(got == c.view) << int(c.phase) << " " << c.error << ": " << int(got.mode) << " "
                               << got.done << "/" << got.total;
  }
  // Only changes reach the display.
  shown.clear();
  TaskbarProgress taskbar;
  taskbar.show({M::Indeterminate, 0, 0});  // no display yet: nothing
  taskbar.attach(std::make_unique<RecordingDisplay>());
  for (const ProgressView& v : {ProgressView{M::Indeterminate, 0, 0},
                                {M::Indeterminate, 0, 0},
                                {M::Normal, 0, 4},
                                {M::Normal, 0, 4},
                                {M::Normal, 1, 4},
                                {M::Error, 1, 4},
                                {M::None, 0, 0},
                                {M::None, 0, 0}})
    taskbar.show(v);
  std::vector<std::wstring> calls;
  for (const ShownProgress& s : shownSoFar())
    calls.push_back(s.isMode ? formatText(L"mode %d", int(s.mode))
                             : formatText(L"value %u/%u", s.done, s.total));
  EXPECT_EQ(calls, (std::vector<std::wstring>{L"mode 1", L"mode 2", L"value 0/4", L"value 1/4",
                                              L"mode 3", L"value 1/4", L"mode 0"}));
}

TEST(MainWindow, TaskbarButtonFollowsTheRun) {
  RecordedTaskbar taskbar;
  MainWindowDriver app;
  RunThreads runs(RunThreads::Mode::Held);
  ASSERT_TRUE(app.open());
  taskbar.buttonCreated(app.window());
  EXPECT_TRUE(shownSoFar().empty()) << "idle: nothing to show";
  // Three files; the second's target is a folder, so its copy fails.
  std::wstring src = app.folder() / L"src", out = app.folder() / L"out";
  for (const wchar_t* name : {L"f1.txt", L"f2.txt", L"f3.txt"})
    writeFile(src + L"\\" + name, "x", ticksAt(1));
  makeFolders(out + L"\\f2.txt");
  SetWindowTextW(app.item(IDC_DESTINATION), out.c_str());
  app.drop(IDC_SOURCE_LIST, {src});
  // The run waits before the first copy until the button shows progress,
  // and before the third until it shows the error.
  std::atomic<bool> waitedForNormal{false}, waitedForError{false};
  setFileOperationHook([&](const wchar_t* operation, const std::wstring& path) {
    if (std::wstring(operation) != L"copy") return;
    if (path.find(L"f1.txt") != std::wstring::npos)
      waitedForNormal = waitUntil([] { return modeShown(ProgressMode::Normal); });
    if (path.find(L"f3.txt") != std::wstring::npos)
      waitedForError = waitUntil([] { return modeShown(ProgressMode::Error); });
  });

  app.command(IDC_RUN);
  EXPECT_EQ(modesShown(), std::vector<ProgressMode>{ProgressMode::Indeterminate});
  runs.release();
  HWND box = app.waitForOwnedMessageBox();
  ASSERT_TRUE(box);
  EXPECT_EQ(readMessageBox(box).text, texts::kOutcomeErrors);
  pressButton(box, IDNO);
  ASSERT_TRUE(app.waitForIdle());
  ASSERT_TRUE(waitUntil([] { return modeShown(ProgressMode::None); }));
  EXPECT_TRUE(waitedForNormal);
  EXPECT_TRUE(waitedForError);
  EXPECT_EQ(modesShown(),
            (std::vector<ProgressMode>{ProgressMode::Indeterminate, ProgressMode::Normal,
                                       ProgressMode::Error, ProgressMode::None}));
  // Values: the first before f1 is done (f1 waits for it; with several
  // workers f2 may end first), then never backwards, out of three.
  std::vector<ShownProgress> all = shownSoFar();
  uint32_t last = 0;
  bool first = true;
  for (const ShownProgress& s : all) {
    if (s.isMode) continue;
    EXPECT_EQ(s.total, 3u);
    if (first) {
      EXPECT_LE(s.done, 1u);
    }
    EXPECT_GE(s.done, last);
    last = s.done;
    first = false;
  }
  EXPECT_FALSE(first) << "no value was shown";
  EXPECT_GE(last, 2u) << "the error came after two files";
}

TEST(MainWindow, TaskbarUpdatesAreFewWhateverTheFileCount) {
  RecordedTaskbar taskbar;
  MainWindowDriver app;
  ASSERT_TRUE(app.open());
  taskbar.buttonCreated(app.window());
  const int files = 400;
  std::wstring src = app.folder() / L"src", out = app.folder() / L"out";
  for (int i = 0; i < files; ++i) writeFile(src + formatText(L"\\f%03d.txt", i), "x", ticksAt(i));
  SetWindowTextW(app.item(IDC_DESTINATION), out.c_str());
  app.drop(IDC_SOURCE_LIST, {src});
  // Each file takes some milliseconds, so the run lasts over a second even
  // with the files spread over several workers.
  setFileOperationHook([](const wchar_t* operation, const std::wstring&) {
    if (std::wstring(operation) == L"copy") Sleep(12);
  });
  DWORD started = GetTickCount();
  app.command(IDC_RUN);
  HWND box = app.waitForOwnedMessageBox(30000);
  ASSERT_TRUE(box);
  DWORD elapsed = GetTickCount() - started;
  pressButton(box, IDOK);
  ASSERT_TRUE(app.waitForIdle());
  ASSERT_TRUE(waitUntil([] { return modeShown(ProgressMode::None); }));
  EXPECT_EQ(listTree(out).size(), size_t(files));
  size_t calls = shownSoFar().size();
  size_t values = calls - modesShown().size();
  std::printf("taskbar: %d files in %lu ms, %zu calls (%zu values)\n", files, elapsed, calls,
              values);
  EXPECT_GE(elapsed, 1000u);
  EXPECT_GE(values, 2u) << "progress was shown while transferring";
  // Four ticks a second at most, plus the changes of mode.
  EXPECT_LE(values, elapsed / 250 + 2);
  EXPECT_LT(calls, size_t(files) / 4) << "one update per file or so";
}

TEST(MainWindow, TheRealTaskbarIsHarmlessWhereThereIsNone) {
  MainWindowDriver app;
  ASSERT_TRUE(app.open());
  // The taskbar's own message, with the system's taskbar list behind it.
  SendMessageW(app.window(), taskbarButtonCreatedMessage(), 0, 0);
  bool created = false;
  ASSERT_TRUE(app.ui().call([&] { created = createTaskbarDisplay(app.window()) != nullptr; }));
  std::printf("taskbar list interface here: %s\n", created ? "present" : "absent");
  RunFolders folders(app.folder());
  prepareRun(app, folders);
  app.command(IDC_RUN);
  expectOutcome(app, texts::kOutcomeDone, {IDOK}, IDOK);
  ASSERT_TRUE(app.waitForIdle());
  EXPECT_EQ(listTree(folders.out), (std::vector<std::wstring>{L"one.txt", L"two.txt"}));
}
