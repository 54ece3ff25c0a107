#include <gtest/gtest.h>

#include <algorithm>
#include <new>

#include "base/program_folder.h"
#include "base/run_state.h"
#include "base/texts.h"
#include "engine/extraction_run.h"
#include "engine/file_ops.h"
#include "log/run_log.h"
#include "support/log_capture.h"

namespace {

// A window stand-in: hands out fixed options and records what the run does
// with its window.
class TestHost : public RunHost {
 public:
  RunOptions options;
  int answer = IDOK;
  std::vector<std::wstring> titles;
  std::vector<RecordingPrompt::Message> messages;
  std::vector<std::wstring> opened;
  int idleCalls = 0;
  bool runningAtIdle = false;

  RunOptions readOptions() override { return options; }
  void setTitle(const std::wstring& title) override { titles.push_back(title); }
  void enterIdleState() override {
    ++idleCalls;
    runningAtIdle = runState.running;
  }
  int showMessage(const std::wstring& text, const std::wstring& caption, UINT type) override {
    messages.push_back({text, caption, type});
    return answer;
  }
  void shellOpen(const std::wstring& path) override { opened.push_back(path); }
};

class ExtractionRun : public ::testing::Test {
 protected:
  TempFolder program, data;
  TestHost host;

  void SetUp() override {
    setProgramFolder(program.path() + L"\\");
    resetLogPaths();
    runState.cancelRequested = false;
    host.options.destination = data / L"out";
  }
  void TearDown() override {
    resetLogPaths();
    setProgramFolder(L"");
    runState.cancelRequested = false;
  }

  // What the main window does before it creates the run's thread.
  void run() {
    runState.running = true;
    runExtractionWith(host);
  }
  std::vector<LogLine> logLines() { return parseEventLines(readFile(lastLogPath())); }
  std::vector<std::wstring> messages(const std::vector<LogLine>& lines) {
    std::vector<std::wstring> out;
    for (const LogLine& l : lines) out.push_back(l.category + L":" + l.message);
    return out;
  }
};

}  // namespace

TEST_F(ExtractionRun, CopiesTheNewestCopiesAndReportsCompletion) {
  writeFile(data / L"a\\x.txt", "old", ticksAt(0));
  writeFile(data / L"b\\x.txt", "new", ticksAt(60));
  writeFile(data / L"b\\only.txt", "1", ticksAt(0));
  host.options.sources = {data / L"a", data / L"b"};
  run();

  EXPECT_EQ(readFile(data / L"out\\x.txt"), "new");
  EXPECT_EQ(readFile(data / L"out\\only.txt"), "1");
  EXPECT_EQ(host.titles, std::vector<std::wstring>{L"コピー処理中 - Ostrelle"});
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, L"抽出処理を完了しました。");
  EXPECT_EQ(host.messages[0].caption, L"Ostrelle");
  EXPECT_EQ(host.messages[0].type, UINT(MB_OK));
  EXPECT_EQ(messages(logLines()),
            (std::vector<std::wstring>{L"確認:抽出処理開始。", L"確認:コピー処理開始。",
                                       L"確認:抽出処理完了。"}));
  EXPECT_EQ(host.idleCalls, 1);
  EXPECT_TRUE(host.runningAtIdle) << "idle comes before running is cleared";
  EXPECT_FALSE(runState.running);
}

TEST_F(ExtractionRun, EmptySourceListStillCreatesTheDestination) {
  host.options.method = TransferMethod::Move;
  host.options.destination = data.path() + L"/out/";  // separators normalised
  run();
  EXPECT_TRUE(folderExists(data / L"out"));
  EXPECT_EQ(host.titles, std::vector<std::wstring>{L"移動処理中 - Ostrelle"});
  EXPECT_EQ(messages(logLines()),
            (std::vector<std::wstring>{L"確認:抽出処理開始。", L"確認:移動処理開始。",
                                       L"確認:抽出処理完了。"}));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, L"抽出処理を完了しました。");
}

// A destination that is no full path would land wherever the program's
// current folder happens to be: it fails like a folder that cannot be made,
// named as typed, and nothing moves.
TEST_F(ExtractionRun, DestinationThatIsNoFullPathTransfersNothing) {
  writeFile(data / L"a\\x.txt", "x");
  host.options.sources = {data / L"a"};
  host.options.method = TransferMethod::Move;
  wchar_t previous[MAX_PATH + 1];
  GetCurrentDirectoryW(MAX_PATH + 1, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(data.path().c_str()));
  for (const wchar_t* text : {L"out", L"\\out", L"Z:out", L"./out/"}) {
    host.options.destination = text;
    host.messages.clear();
    run();
    EXPECT_EQ(messages(logLines()),
              (std::vector<std::wstring>{
                  L"確認:抽出処理開始。", L"確認:移動処理開始。",
                  std::wstring(L"エラー:出力先フォルダの作成に失敗しました。[フォルダ]") + text,
                  L"確認:抽出処理完了。"}));
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].type, UINT(MB_YESNO | MB_ICONQUESTION)) << "the log is offered";
  }
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(listTree(data.path()), std::vector<std::wstring>{L"a\\x.txt"});
}

// Memory running out in the middle of a run ends it as stopped, with a
// line that says why.
TEST_F(ExtractionRun, AnAllocationFailureEndsTheRunWithItsReason) {
  writeFile(data / L"a\\x.txt", "x");
  host.options.sources = {data / L"a"};
  setFileOperationHook([](const wchar_t*, const std::wstring&) { throw std::bad_alloc(); });
  run();
  setFileOperationHook(nullptr);
  EXPECT_EQ(messages(logLines()),
            (std::vector<std::wstring>{L"確認:抽出処理開始。",
                                       std::wstring(L"エラー:") + texts::kErrOutOfMemory,
                                       L"確認:抽出処理中止。"}));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, L"抽出処理を中止しました。");
  EXPECT_EQ(host.idleCalls, 1);
  EXPECT_FALSE(runState.running);
}

TEST_F(ExtractionRun, CancelDuringTheScanSkipsTheTransfer) {
  writeFile(data / L"a\\x.txt", "x");
  host.options.sources = {data / L"a", data / L"missing"};
  runState.cancelRequested = true;  // set before the scan reaches any folder
  run();
  EXPECT_FALSE(folderExists(data / L"out")) << "the destination is not touched";
  EXPECT_TRUE(host.titles.empty());
  EXPECT_EQ(messages(logLines()),
            (std::vector<std::wstring>{L"確認:抽出処理開始。", L"確認:抽出処理中止。"}));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, L"抽出処理を中止しました。");
  EXPECT_EQ(host.messages[0].type, UINT(MB_OK));
  EXPECT_FALSE(runState.running);
}

TEST_F(ExtractionRun, AnErrorLineMakesTheOutcomeOfferTheLog) {
  writeFile(data / L"a\\locked.txt", "x");
  writeFile(data / L"a\\free.txt", "y");
  host.options.sources = {data / L"a"};
  host.answer = IDYES;
  {
    LockedFile lock(data / L"a\\locked.txt");
    ASSERT_TRUE(lock.locked());
    run();
  }
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text,
            L"抽出処理を完了しました。エラーが有りましたがログファイルを表示しますか？");
  EXPECT_EQ(host.messages[0].type, UINT(MB_YESNO | MB_ICONQUESTION));
  ASSERT_EQ(host.opened.size(), 1u) << "Yes opens the log just written";
  EXPECT_EQ(host.opened[0], lastLogPath());
  std::vector<std::wstring> lines = messages(logLines());
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      L"エラー:ファイルの読み込みオープンに失敗しました。[ファイル]" +
                          (data / L"a\\locked.txt")),
            lines.end());
  EXPECT_EQ(readFile(data / L"out\\free.txt"), "y");
  EXPECT_FALSE(fileExists(data / L"out\\locked.txt"));

  // No opens nothing.
  TestHost second;
  second.options = host.options;
  second.answer = IDNO;
  runState.running = true;
  {
    LockedFile lock(data / L"a\\locked.txt");
    runExtractionWith(second);
  }
  ASSERT_EQ(second.messages.size(), 1u);
  EXPECT_EQ(second.messages[0].type, UINT(MB_YESNO | MB_ICONQUESTION));
  EXPECT_TRUE(second.opened.empty());
}

TEST_F(ExtractionRun, ALogThatCannotBeCreatedEndsTheRunQuietly) {
  writeFile(program / L"logs", "a file where the folder belongs");
  writeFile(data / L"a\\x.txt", "x");
  host.options.sources = {data / L"a"};
  run();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text.substr(0, 26),
            L"ログファイルを格納するフォルダの作成に失敗しました。");
  EXPECT_EQ(host.messages[0].type, UINT(MB_OK | MB_ICONERROR));
  EXPECT_FALSE(folderExists(data / L"out")) << "nothing scanned or transferred";
  EXPECT_EQ(host.idleCalls, 1);
  EXPECT_FALSE(runState.running);
}

TEST_F(ExtractionRun, RunsAsAThreadProcedure) {
  writeFile(data / L"a\\x.txt", "x");
  host.options.sources = {data / L"a"};
  runState.running = true;
  HANDLE thread = CreateThread(nullptr, 0, runExtraction, static_cast<RunHost*>(&host), 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(runState.running);
  EXPECT_EQ(readFile(data / L"out\\x.txt"), "x");
}
