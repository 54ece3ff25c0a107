#include <gtest/gtest.h>

#include "base/program_folder.h"
#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "log/run_log.h"
#include "support/log_capture.h"

namespace {

SYSTEMTIME at(int y, int mo, int d, int h, int mi, int s, int ms) {
  SYSTEMTIME t{};
  t.wYear = WORD(y), t.wMonth = WORD(mo), t.wDay = WORD(d), t.wHour = WORD(h);
  t.wMinute = WORD(mi), t.wSecond = WORD(s), t.wMilliseconds = WORD(ms);
  return t;
}

// A program folder of its own, with the log paths forgotten.
struct ProgramFolderScope {
  TempFolder folder;
  ProgramFolderScope() {
    setProgramFolder(folder.path() + L"\\");
    resetLogPaths();
  }
  ~ProgramFolderScope() {
    resetLogPaths();
    setProgramFolder(L"");
  }
};

}  // namespace

TEST(RunLogFormat, EventLinesPadTimeFieldsWithSpaces) {
  EXPECT_EQ(formatEventLine(at(2024, 3, 5, 9, 7, 3, 42), L"確認", L"抽出処理開始。"),
            L"2024年 3月 5日 9時 7分 3秒 42ミリ秒【確認】抽出処理開始。\n");
  EXPECT_EQ(formatEventLine(at(2024, 11, 25, 23, 59, 8, 7), L"エラー", L"x"),
            L"2024年11月25日23時59分 8秒  7ミリ秒【エラー】x\n");
  // A "%" in a path is a value, never a format.
  EXPECT_EQ(formatEventLine(at(2024, 1, 1, 0, 0, 0, 0), L"コピー", L"C:\\100%s%d"),
            L"2024年 1月 1日 0時 0分 0秒  0ミリ秒【コピー】C:\\100%s%d\n");
}

TEST(RunLogFormat, FileNameZeroPadsEveryField) {
  EXPECT_EQ(formatLogFileName(L"C:\\app\\logs", at(2024, 3, 5, 9, 7, 3, 42)),
            L"C:\\app\\logs\\2024_03_05_09_07_03_042.txt");
}

TEST(RunLogFormat, HeaderLinesDependOnTheOptions) {
  RunOptions o;
  o.destination = L"";
  o.includeSubfolders = false;
  o.ignoreHierarchy = true;  // not shown while subfolders are off
  o.targetKind = TargetKind::UniqueOnly;
  o.criterion = TimeCriterion::Created;
  o.method = TransferMethod::Move;
  o.keepTimeStamps = false;
  o.logTransfers = true;
  EXPECT_EQ(formatSettingsHeader(o),
            L"設定情報【出力先フォルダ】\n"
            L"設定情報【サブフォルダ】抽出非対象\n"
            L"設定情報【抽出対象ファイル】一つしか存在しないファイルのみ\n"
            L"設定情報【新古の比較基準】作成日時\n"
            L"設定情報【抽出方法】移動\n"
            L"設定情報【タイムスタンプ】維持しない\n"
            L"設定情報【コピーと移動ログ】記録する\n");

  o.includeSubfolders = true;
  o.sources = {L"C:\\a", L"C:\\b"};
  o.targetKind = TargetKind::NewestOnly;
  o.criterion = TimeCriterion::Both;
  std::wstring h = formatSettingsHeader(o);
  EXPECT_NE(h.find(L"【抽出元フォルダ】C:\\a\n設定情報【抽出元フォルダ】C:\\b\n"),
            std::wstring::npos);
  EXPECT_NE(h.find(L"【階層】無視する\n"), std::wstring::npos);
  EXPECT_NE(h.find(L"【抽出対象ファイル】複数のフォルダにあるファイルで最新のもののみ\n"),
            std::wstring::npos);
  EXPECT_NE(h.find(L"【新古の比較基準】更新日時と作成日時\n"), std::wstring::npos);
}

TEST(RunLogFile, BytesOfACompleteRun) {
  RunOptions o;
  o.destination = L"D:\\out";
  o.sources = {L"C:\\a", L"C:\\b"};
  o.includeSubfolders = true;
  o.criterion = TimeCriterion::Modified;
  LogCapture log(o);
  writeLogLine(texts::kCategoryNotice, texts::kCopyStarted);
  writeLogLine(texts::kCategoryNotice, texts::kRunFinished);
  std::vector<LogLine> lines = log.lines();
  const std::string& bytes = log.bytes();

  // The time digits vary; blank them out and compare the rest byte for byte.
  std::wstring text = fromUtf8(bytes.substr(3));
  for (wchar_t& c : text)
    if (c >= L'0' && c <= L'9') c = L'#';
  std::wstring stars(100, L'*');
  std::wstring expected =
      L"設定情報【出力先フォルダ】D:\\out\r\n"
      L"設定情報【抽出元フォルダ】C:\\a\r\n"
      L"設定情報【抽出元フォルダ】C:\\b\r\n"
      L"設定情報【サブフォルダ】抽出対象\r\n"
      L"設定情報【階層】無視しない\r\n"
      L"設定情報【抽出対象ファイル】複数のフォルダにあるファイルで最新のものと、一つしか存在しない"
      L"ファイル\r\n"
      L"設定情報【新古の比較基準】更新日時\r\n"
      L"設定情報【抽出方法】コピー\r\n"
      L"設定情報【タイムスタンプ】維持する\r\n"
      L"設定情報【コピーと移動ログ】記録しない\r\n"
      L"\r\n" +
      stars + L"\r\n\r\n";
  for (const wchar_t* m : {L"抽出処理開始。", L"コピー処理開始。", L"抽出処理完了。"}) {
    // Widths 4,2,2,2,2,2,3 with spaces: the blanked digits leave '#' and ' '.
    std::wstring line =
        text.substr(expected.size(), text.find(L"\r\n", expected.size()) + 2 - expected.size());
    std::wstring shape = line;
    for (wchar_t& c : shape)
      if (c == L' ') c = L'#';
    EXPECT_EQ(shape.substr(0, 26), L"####年##月##日##時##分##秒###ミリ秒") << "line " << m;
    EXPECT_EQ(line.substr(26), std::wstring(L"【確認】") + m + L"\r\n");
    expected += line;
  }
  EXPECT_EQ(text, expected);
  EXPECT_EQ(bytes.substr(0, 3), "\xEF\xBB\xBF");
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n') {
      ASSERT_TRUE(i > 0 && bytes[i - 1] == '\r') << "bare LF at " << i;
    }
  }
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, L"コピー処理開始。");
  // The file's name is the local time at opening.
  std::wstring name = lastLogPath().substr(lastLogPath().find_last_of(L'\\') + 1);
  EXPECT_EQ(lastLogPath().substr(0, lastLogPath().size() - name.size()),
            log.folder() + L"\\logs\\");
  for (wchar_t& c : name)
    if (c >= L'0' && c <= L'9') c = L'#';
  EXPECT_EQ(name, L"####_##_##_##_##_##_###.txt");
}

TEST(RunLogFile, OnlyErrorLinesSetTheErrorFlagUntilTheNextOpen) {
  runState.errorLogged = true;
  {
    LogCapture log;
    EXPECT_FALSE(runState.errorLogged) << "opening clears it";
    writeLogLine(texts::kCategoryNotice, L"a");
    writeLogLine(texts::kCategoryCopied, L"b");
    writeLogLine(texts::kCategoryMoved, L"c");
    EXPECT_FALSE(runState.errorLogged);
    writeLogLine(texts::kCategoryError, L"d");
    EXPECT_TRUE(runState.errorLogged);
    writeLogLine(texts::kCategoryNotice, L"e");
    EXPECT_TRUE(runState.errorLogged) << "the line writer never clears it";
    // Only the first character counts.
    runState.errorLogged = false;
    writeLogLine(L"\x30A8xyz", L"f");
    EXPECT_TRUE(runState.errorLogged);
    std::vector<LogLine> lines = log.lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[3].category, L"エラー");
    EXPECT_EQ(lines[3].message, L"d");
  }
}

// A run that is killed keeps its log: the header is on disk at once, an
// error line at once, any other line within about a second.  The size is
// read by name, as the open file allows no other open.
TEST(RunLogFile, LinesReachTheDiskWithoutWaitingForTheClose) {
  LogCapture log;
  auto sizeOnDisk = [] {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExW(lastLogPath().c_str(), GetFileExInfoStandard, &data)
               ? data.nFileSizeLow
               : 0;
  };
  DWORD header = sizeOnDisk();
  EXPECT_GT(header, 100u) << "header, separator and start line";
  writeLogLine(texts::kCategoryError, L"error");
  DWORD afterError = sizeOnDisk();
  EXPECT_GT(afterError, header);
  writeLogLine(texts::kCategoryNotice, L"notice");
  DWORD started = GetTickCount();
  while (sizeOnDisk() == afterError && GetTickCount() - started < 3000) Sleep(20);
  DWORD waited = GetTickCount() - started;
  EXPECT_GT(sizeOnDisk(), afterError);
  EXPECT_LT(waited, 1500u);
  std::printf("a notice line reached the disk after %lu ms\n", waited);
  EXPECT_EQ(log.lines().size(), 2u);
}

TEST(RunLogFile, LongMessagesAreWrittenWhole) {
  LogCapture log;
  std::wstring path = L"C:\\" + std::wstring(3000, L'長');
  writeLogLine(texts::kCategoryError, formatText(texts::kErrCopy, path.c_str()));
  std::vector<LogLine> lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, L"ファイルのコピーに失敗しました。[ファイル]" + path);
}

TEST(RunLogFile, AMissingLogFolderIsReportedAndNothingIsOpened) {
  ProgramFolderScope scope;
  RecordingPrompt prompt;
  // "logs" is a file: the folder cannot exist.
  writeFile(scope.folder / L"logs", "x");
  runState.errorLogged = true;
  EXPECT_FALSE(openRunLog(prompt, RunOptions()));
  ASSERT_EQ(prompt.messages.size(), 1u);
  EXPECT_EQ(prompt.messages[0].text,
            L"ログファイルを格納するフォルダの作成に失敗しました。\n\n【フォルダ】" +
                scope.folder.path() + L"\\logs");
  EXPECT_EQ(prompt.messages[0].caption, L"Ostrelle");
  EXPECT_EQ(prompt.messages[0].type, UINT(MB_OK | MB_ICONERROR));
  EXPECT_TRUE(lastLogPath().empty());
  EXPECT_TRUE(runState.errorLogged) << "a failed open leaves the flag alone";
}

// Another copy of the program (or an earlier log, the clock set back) holds
// the name: the new log takes the next free millisecond, across the end of
// a year too, and replaces nothing.
TEST(RunLogFile, ANameAlreadyTakenGivesWayToTheNextMillisecond) {
  ProgramFolderScope scope;
  RecordingPrompt prompt;
  setLogNameClock([](SYSTEMTIME* time) { *time = at(2024, 12, 31, 23, 59, 59, 998); });
  const std::wstring taken[] = {scope.folder / L"logs\\2024_12_31_23_59_59_998.txt",
                                scope.folder / L"logs\\2024_12_31_23_59_59_999.txt"};
  for (const std::wstring& path : taken) writeFile(path, "another log");
  bool opened = openRunLog(prompt, RunOptions());
  setLogNameClock(nullptr);
  ASSERT_TRUE(opened);
  closeRunLog();
  EXPECT_EQ(lastLogPath(), scope.folder / L"logs\\2025_01_01_00_00_00_000.txt");
  EXPECT_EQ(readFile(lastLogPath()).substr(0, 3), "\xEF\xBB\xBF");
  for (const std::wstring& path : taken) EXPECT_EQ(readFile(path), "another log");
  EXPECT_TRUE(prompt.messages.empty());
}

TEST(RunLogFile, ShowLatestLogHasThreeOutcomes) {
  ProgramFolderScope scope;
  RecordingPrompt prompt;
  showLatestLog(prompt);
  ASSERT_EQ(prompt.messages.size(), 1u);
  EXPECT_EQ(prompt.messages[0].text,
            L"本ソフトを起動してから一度も抽出を実行されていない為、ログを表示できません。");
  EXPECT_EQ(prompt.messages[0].type, UINT(MB_OK)) << "no icon";
  EXPECT_TRUE(prompt.opened.empty());

  ASSERT_TRUE(openRunLog(prompt, RunOptions()));
  closeRunLog();
  showLatestLog(prompt);
  ASSERT_EQ(prompt.opened.size(), 1u);
  EXPECT_EQ(prompt.opened[0], lastLogPath());
  EXPECT_EQ(prompt.messages.size(), 1u);

  std::wstring path = lastLogPath();
  ASSERT_TRUE(DeleteFileW(path.c_str()));
  CreateDirectoryW(path.c_str(), nullptr);  // a folder of that name does not count
  showLatestLog(prompt);
  ASSERT_EQ(prompt.messages.size(), 2u);
  EXPECT_EQ(prompt.messages[1].text, L"ログファイルが存在しません。\n\n【ファイル】" + path);
  EXPECT_EQ(prompt.messages[1].type, UINT(MB_OK | MB_ICONERROR));
  EXPECT_EQ(prompt.opened.size(), 1u);
}
