// Starting from Explorer and the Task Scheduler: the command line as read,
// the main window started with arguments, and the real program run as a
// child process, unattended, with its exit codes.

#include <gtest/gtest.h>

#include <algorithm>

#include "app/command_line.h"
#include "base/data_folders.h"
#include "base/program_folder.h"
#include "base/run_state.h"
#include "base/text.h"
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

// A copy of the real program in `folder`, which gets its settings and logs;
// returns the settings file's path there.
std::wstring installProgram(const std::wstring& folder) {
  makeFolders(folder);
  EXPECT_TRUE(
      CopyFileW(windowsPath(OSTRELLE_EXE).c_str(), (folder + L"\\Ostrelle.exe").c_str(), FALSE));
  setProgramFolder(folder + L"\\");
  std::wstring settings = settingsPath();
  setProgramFolder(L"");
  return settings;
}

// The program started as a child process.  wait() returns its exit code
// once it has ended by itself (999 when it has not within a minute) and
// notes every message box it showed; with `close`, its window is closed as
// soon as it is up.
struct Child {
  Child(const std::wstring& folder, const std::wstring& arguments) {
    std::wstring command = L"\"" + folder + L"\\Ostrelle.exe\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                   &process);
  }
  ~Child() {
    TerminateProcess(process.hProcess, 99);  // if it is still there
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  DWORD wait(bool close = false) {
    DWORD code = 999;
    for (DWORD start = GetTickCount(); code == 999 && GetTickCount() - start < 60000; Sleep(1)) {
      noteMessageBoxes(process.dwProcessId, boxes);
      for (HWND w : windowsOfProcess(process.dwProcessId))
        if (close && IsWindowVisible(w) && GetDlgItem(w, IDC_RUN))
          close = !PostMessageW(w, WM_CLOSE, 0, 0);
      if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    }
    return code;
  }
  PROCESS_INFORMATION process{};
  Paths boxes;
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
    EXPECT_EQ(line.destination, c.destination ? c.destination : L"");
    EXPECT_EQ(line.hasDestination, c.destination != nullptr);
    EXPECT_EQ(line.action, c.action);
    EXPECT_EQ(line.badArgument, c.bad ? c.bad : L"");
    EXPECT_EQ(line.bad, c.bad != nullptr);
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
  pressButton(box, IDOK);
  ASSERT_TRUE(waitForWindowGone(box));
  EXPECT_TRUE(app.sources().empty());
  EXPECT_EQ(app.text(IDC_DESTINATION), L"C:\\earlier");
  EXPECT_FALSE(app.ui().finished());
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
    bool saved;              // the settings, as the run button saves them
    Paths log, destination;  // the log from its first error line, or its last line
  };
  const Case cases[] = {
      {"bad", L"/run " + dest + a + L" /bogus", 3, false, {}, {}},
      {"no source", L"/run " + dest, 3, false, {}, {}},
      {"no destination", L"/run " + a, 3, false, {}, {}},
      {"logs is a file, here and in the profile", L"/run " + dest + a, 3, true, {}, {}},
      {"preview", L"/preview " + dest + a, 0, false, {L"確認:プレビュー完了。"}, {}},
      {"missing source",
       L"-RUN " + dest + a + L" " + missing,
       1,
       true,
       {L"エラー:カレントディレクトリのセットに失敗しました。[フォルダ]" + missing,
        L"確認:コピー処理開始。", L"確認:抽出処理完了。"},
       {L"one.txt"}},
      {"run",
       L"/run " + dest + a + L" " + b,
       0,
       true,
       {L"確認:抽出処理完了。"},
       {L"one.txt", L"two.txt"}},
  };
  // A file named "logs" beside the program sends the logs to the profile;
  // one there too leaves no log folder at all.  What the profile had there
  // is put aside for the while.
  const std::wstring profileLogs = userProfileFolders().local + L"\\Ostrelle\\logs",
                     aside = profileLogs + L".aside";
  makeFolders(userProfileFolders().local + L"\\Ostrelle");
  bool putAside = MoveFileExW(profileLogs.c_str(), aside.c_str(), 0) != FALSE;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring app = root / fromUtf8(c.name), settings = installProgram(app);
    bool noLogs = c.code == 3 && c.saved;
    if (noLogs) {
      writeFile(app + L"\\logs", "x");
      writeFile(profileLogs, "x");
    }
    Child child(app, c.arguments);
    EXPECT_EQ(child.wait(), c.code);
    EXPECT_EQ(child.boxes, Paths{});
    EXPECT_EQ(listTree(out), c.destination);
    Paths log = logLines(app);
    auto from = std::find_if(log.begin(), log.end(), [](auto& l) { return l[0] == L'エ'; });
    EXPECT_EQ(Paths(from == log.end() ? log.end() - !log.empty() : from, log.end()), c.log);
    EXPECT_EQ(fileExists(settings), c.saved);
    if (noLogs) DeleteFileW(profileLogs.c_str());
  }
  if (putAside) MoveFileExW(aside.c_str(), profileLogs.c_str(), 0);
}

// Closed during its run, while the settings cannot be saved; a second copy
// started meanwhile runs on its own, with a log of its own.  Neither shows
// a box: the settings error goes into both logs.
TEST(CommandLine, TheRealProgramClosedDuringItsRunBesideASecondCopy) {
  TempFolder root;
  for (int i = 0; i < 600; ++i) writeFile(root / formatText(L"src\\f%03d.txt", i), "x");
  const std::wstring app = root / L"app", settings = installProgram(app);
  ASSERT_TRUE(CreateDirectoryW(settings.c_str(), nullptr));
  Child first(app, L"/run /dest:" + root / L"out1 " + root / L"src");
  Child second(app, L"/run /dest:" + root / L"out2 " + root / L"src");
  EXPECT_EQ(first.wait(true), 2u);
  EXPECT_EQ(second.wait(), 1u);
  EXPECT_EQ(first.boxes.size() + second.boxes.size(), 0u);
  EXPECT_EQ(listTree(root / L"out2").size(), 600u);
  const std::wstring unsaved = L"設定ファイルの書き込みに失敗しました " + settings;
  Paths logs = listFolder(app + L"\\logs"), ends;
  ASSERT_EQ(logs.size(), 2u);
  for (const std::wstring& name : logs) {
    std::vector<LogLine> lines = parseEventLines(readFile(app + L"\\logs\\" + name));
    EXPECT_EQ(lines.at(1).message, unsaved);  // after the start line
    ends.push_back(lines.back().message);
  }
  EXPECT_EQ(sorted(ends), sorted({L"抽出処理中止。", L"抽出処理完了。"}));
}
