// Starting from Explorer and the Task Scheduler: the command line as read,
// the main window started with arguments, unattended runs in this process,
// and the real program run as a child process with its exit codes.

#include <gtest/gtest.h>

#include <algorithm>

#include "app/command_line.h"
#include "base/program_folder.h"
#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "res/resource.h"
#include "settings/settings_file.h"
#include "support/log_capture.h"
#include "support/main_window_driver.h"

namespace {

using Paths = std::vector<std::wstring>;

Paths sorted(Paths paths) {
  std::sort(paths.begin(), paths.end());
  return paths;
}

// The event lines of every log in `programFolder`, "category:message".
Paths logLines(const std::wstring& programFolder) {
  Paths lines;
  for (const std::wstring& name : listFolder(programFolder + L"\\logs"))
    for (const LogLine& l : parseEventLines(readFile(programFolder + L"\\logs\\" + name)))
      lines.push_back(l.category + L":" + l.message);
  return lines;
}

// A copy of the real program in `folder`, which gets its settings and logs.
void installProgram(const std::wstring& folder) {
  makeFolders(folder);
  ASSERT_TRUE(
      CopyFileW(windowsPath(OSTRELLE_EXE).c_str(), (folder + L"\\Ostrelle.exe").c_str(), FALSE));
}

// The program started as a child process, watched until it ends by itself.
class Child {
 public:
  Child(const std::wstring& folder, const std::wstring& arguments) {
    std::wstring command = L"\"" + folder + L"\\Ostrelle.exe\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    started_ = CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &process_);
  }
  ~Child() {
    if (!started_) return;
    TerminateProcess(process_.hProcess, 99);  // only if it is still there
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  // The exit code, or 999 when it did not end by itself within a minute.
  // Every message box it showed meanwhile is noted in `boxes`.  With
  // `cancel`, its run button is pressed as soon as its window is up.
  DWORD wait(bool cancel = false) {
    if (!started_) return 998;
    for (DWORD start = GetTickCount(); GetTickCount() - start < 60000; Sleep(1)) {
      noteMessageBoxes(process_.dwProcessId, boxes);
      for (HWND w : windowsOfProcess(process_.dwProcessId))
        if (cancel && IsWindowVisible(w) && GetDlgItem(w, IDC_RUN))
          cancel = !PostMessageW(w, WM_COMMAND, MAKEWPARAM(IDC_RUN, BN_CLICKED),
                                 LPARAM(GetDlgItem(w, IDC_RUN)));
      DWORD code = 0;
      if (WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0 &&
          GetExitCodeProcess(process_.hProcess, &code))
        return code;
    }
    return 999;
  }
  Paths boxes;

 private:
  PROCESS_INFORMATION process_{};
  bool started_ = false;
};

}  // namespace

TEST(CommandLine, ReadAsWindowsSplitsItWithSwitchesInAnyCase) {
  using A = StartAction;
  struct Case {
    const wchar_t* line;
    Paths sources;
    const wchar_t* destination;  // nullptr: none
    A action;
    const wchar_t* bad;  // the argument that makes the line bad
  };
  const Case cases[] = {
      {L"Ostrelle.exe", {}, nullptr, A::None, nullptr},
      {L"\"C:\\Program Files\\O.exe\" D:\\PC1 \"E:\\作業 フォルダ\" \"\" D:\\PC1",
       {L"D:\\PC1", L"E:\\作業 フォルダ", L"D:\\PC1"},
       nullptr,
       A::None,
       nullptr},
      {L"O.exe /run /dest:D:\\まとめ D:\\PC1 E:\\PC2",
       {L"D:\\PC1", L"E:\\PC2"},
       L"D:\\まとめ",
       A::Run,
       nullptr},
      {L"O.exe -PREVIEW /DEST:\"D:\\a b\" -Preview D:\\x",
       {L"D:\\x"},
       L"D:\\a b",
       A::Preview,
       nullptr},
      {L"O.exe /run D:\\x /preview", {}, nullptr, A::Run, L"/preview"},
      {L"O.exe /dest D:\\x", {}, nullptr, A::None, L"/dest"},
      {L"O.exe /dest: D:\\x", {}, nullptr, A::None, L"/dest:"},
      {L"O.exe /dest:D:\\a -dest:D:\\b /run", {}, nullptr, A::Run, L"-dest:D:\\b"},
      {L"O.exe D:\\x /? -x", {}, nullptr, A::None, L"/?"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.line));
    CommandLine line = parseCommandLine(c.line);
    EXPECT_EQ(line.sources, c.sources);
    EXPECT_EQ(line.hasDestination, c.destination != nullptr);
    EXPECT_EQ(line.destination, c.destination ? c.destination : L"");
    EXPECT_EQ(line.action, c.action);
    EXPECT_EQ(line.bad, c.bad != nullptr);
    EXPECT_EQ(line.badArgument, c.bad ? c.bad : L"");
  }
}

TEST(CommandLine, TheWindowListsTheFoldersAsADropAndTakesTheDestination) {
  MainWindowDriver app;
  app.writeSetting(L"DST_DIR_LOG", L"PATH_1", L"C:\\earlier");
  const std::wstring file = app.folder() / L"file.txt";
  writeFile(file, "x");
  ASSERT_TRUE(app.open(
      parseArguments({L"D:\\b", L"/dest:E:\\まとめ", L"D:\\A", file, L"d:\\B", L"Q:\\missing"})));
  // As a drop: once whatever the case, files and missing folders too.
  EXPECT_EQ(sorted(app.sources()), sorted({L"D:\\A", L"D:\\b", file, L"Q:\\missing"}));
  EXPECT_EQ(app.text(IDC_DESTINATION), L"E:\\まとめ");
  EXPECT_EQ(app.destinationList()[0], L"C:\\earlier");
  EXPECT_FALSE(waitForMessageBox({}, 300));
  EXPECT_FALSE(runState.running);
}

TEST(CommandLine, ABadLineShowsTheUsageAndTheWindowStartsAsWithout) {
  MainWindowDriver app;
  app.writeSetting(L"DST_DIR_LOG", L"PATH_1", L"C:\\earlier");
  ASSERT_TRUE(app.open(parseArguments({L"D:\\a", L"/dest:E:\\x", L"/bogus"})));
  HWND box = app.waitForOwnedMessageBox();
  ASSERT_TRUE(box);
  MessageBoxContent content = readMessageBox(box);
  EXPECT_NE(content.text.find(L"【引数】/bogus\n\n使い方"), std::wstring::npos) << content.text;
  EXPECT_EQ(content.caption, L"Ostrelle");
  EXPECT_EQ(content.buttons, std::vector<int>{IDOK});
  pressButton(box, IDOK);
  ASSERT_TRUE(waitForWindowGone(box));
  EXPECT_TRUE(app.sources().empty());
  EXPECT_EQ(app.text(IDC_DESTINATION), L"C:\\earlier");
  EXPECT_FALSE(app.ui().finished());
  EXPECT_FALSE(runState.running);
}

// In this process, where the run's thread can be held: no box waits, the
// window closes by itself, and its result is the exit code.
TEST(CommandLine, AnUnattendedRunLetsNoBoxWait) {
  struct Case {
    const char* name;
    RunThreads::Mode mode;
    bool destination, settingsBlocked, logsBlocked, close;
    INT_PTR code;
    int threads;
  };
  const Case cases[] = {
      {"no destination", RunThreads::Mode::Immediate, false, false, false, false, 3, 0},
      {"thread fails", RunThreads::Mode::Failing, true, false, false, false, 3, 1},
      {"no log folder", RunThreads::Mode::Immediate, true, false, true, false, 3, 1},
      {"settings unwritable, closed", RunThreads::Mode::Held, true, true, false, true, 2, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MainWindowDriver app;
    RunThreads runs(c.mode);
    if (c.settingsBlocked) {
      ASSERT_TRUE(CreateDirectoryW(app.settingsFile().c_str(), nullptr));
    }
    if (c.logsBlocked) writeFile(app.folder() / L"logs", "a file");
    writeFile(app.folder() / L"src\\one.txt", "1");
    Paths arguments{L"/run", app.folder() / L"src"};
    if (c.destination) arguments.push_back(L"/dest:" + app.folder() / L"out");
    // Without a destination the window closes before it is seen.
    bool opened = app.open(parseArguments(arguments));
    if (c.close) {
      ASSERT_TRUE(opened);
      ASSERT_TRUE(waitUntil([] { return runState.running.load(); }));
      PostMessageW(app.window(), WM_CLOSE, 0, 0);
      ASSERT_TRUE(waitUntil([] { return runState.cancelRequested.load(); }));
      runs.release();
    }
    Paths boxes;
    EXPECT_TRUE(waitUntil([&] {
      noteMessageBoxes(GetCurrentProcessId(), boxes);
      return app.ui().finished();
    }));
    EXPECT_EQ(boxes, Paths{});
    EXPECT_EQ(app.ui().result(), c.code);
    EXPECT_EQ(runs.requested(), c.threads);
    if (c.settingsBlocked)
      EXPECT_EQ(logLines(app.folder().path()),
                (Paths{L"確認:抽出処理開始。",
                       L"エラー:設定ファイルの書き込みに失敗しました " + app.settingsFile(),
                       L"確認:抽出処理中止。"}));
    else
      EXPECT_FALSE(folderExists(app.folder() / L"logs"));
  }
}

TEST(CommandLine, TheRealProgramRunsUnattendedAndEndsWithItsExitCode) {
  TempFolder root;
  const std::wstring a = root / L"src\\a", b = root / L"src\\b", out = root / L"まとめ";
  writeFile(a + L"\\one.txt", "1", ticksAt(10));
  writeFile(b + L"\\two.txt", "22", ticksAt(20));
  const std::wstring dest = L"\"/dest:" + out + L"\" ", missing = root / L"missing";
  struct Case {
    const char* name;
    std::wstring arguments;
    DWORD code;
    Paths log, destination;
  };
  const Case cases[] = {
      {"bad", L"/run " + dest + a + L" /bogus", 3, {}, {}},
      {"no source", L"/run " + dest, 3, {}, {}},
      {"preview", L"/preview " + dest + a, 0, {L"確認:プレビュー完了。"}, {}},
      {"missing source",
       L"-RUN " + dest + a + L" " + missing,
       1,
       {L"エラー:カレントディレクトリのセットに失敗しました。[フォルダ]" + missing,
        L"確認:コピー処理開始。", L"確認:抽出処理完了。"},
       {L"one.txt"}},
      {"run",
       L"/run " + dest + a + L" " + b,
       0,
       {L"確認:抽出処理完了。"},
       {L"one.txt", L"two.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring app = root / fromUtf8(c.name);
    installProgram(app);
    Child child(app, c.arguments);
    EXPECT_EQ(child.wait(), c.code);
    EXPECT_EQ(child.boxes, Paths{});
    EXPECT_EQ(listTree(out), c.destination);
    // The log's lines from the first error or the last line on.
    Paths log = logLines(app);
    auto from = std::find_if(log.begin(), log.end(), [](auto& l) { return l[0] == L'エ'; });
    EXPECT_EQ(Paths(from == log.end() ? log.end() - !log.empty() : from, log.end()), c.log);
    // Settings are saved by a run that started, as by its button.
    setProgramFolder(app + L"\\");
    EXPECT_EQ(fileExists(settingsPath()), c.code != 3 && c.name != std::string("preview"));
    setProgramFolder(L"");
  }
}

// The run button pressed through the window while the run goes on; a
// second copy started meanwhile runs on its own, with a log of its own.
TEST(CommandLine, TheRealProgramIsCancelledThroughItsWindowBesideASecondCopy) {
  TempFolder root;
  for (int i = 0; i < 600; ++i) writeFile(root / formatText(L"src\\f%03d.txt", i), "x");
  const std::wstring app = root / L"app", src = root / L"src";
  installProgram(app);
  Child first(app, L"/run /dest:" + root / L"out1 " + src);
  Child second(app, L"/run /dest:" + root / L"out2 " + src);
  EXPECT_EQ(first.wait(true), 2u);
  EXPECT_EQ(second.wait(), 0u);
  EXPECT_EQ(first.boxes, Paths{});
  EXPECT_EQ(second.boxes, Paths{});
  EXPECT_EQ(listTree(root / L"out2").size(), 600u);
  Paths logs = listFolder(app + L"\\logs"), ends;
  ASSERT_EQ(logs.size(), 2u);
  for (const std::wstring& log : logs)
    ends.push_back(parseEventLines(readFile(app + L"\\logs\\" + log)).back().message);
  EXPECT_EQ(sorted(ends), sorted({L"抽出処理中止。", L"抽出処理完了。"}));
}
