#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <new>

#include "base/handles.h"
#include "base/program_folder.h"
#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "engine/extraction_run.h"
#include "engine/file_ops.h"
#include "log/run_log.h"
#include "support/log_capture.h"

// Every allocation of this test program can be made to fail.
namespace {
std::atomic<bool> allocationsFail{false};
}
void* operator new(size_t size) {
  void* p = allocationsFail ? nullptr : HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void operator delete(void* p) noexcept {
  if (p) HeapFree(GetProcessHeap(), 0, p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }

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

// Memory that stays short while the run ends: the end line is still
// written, the log closed (another program can open it), the outcome shown
// and the window handed back.
TEST_F(ExtractionRun, TheEndOfARunNeedsNoMemory) {
  struct NoMemoryHost : TestHost {
    std::atomic<int> outcomes{0};
    std::atomic<UINT> outcomeType{0};
    std::atomic<bool> logClosed{false};
    int showMessage(const std::wstring& text, const std::wstring&, UINT type) override {
      logClosed = FileHandle(CreateFileW(lastLogPath().c_str(), GENERIC_READ, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr))
                      .get() != INVALID_HANDLE_VALUE;
      outcomeType = text == texts::kOutcomeCancelled ? type : 0xFFFF;
      ++outcomes;
      return IDOK;
    }
    void enterIdleState() override { allocationsFail = false; }
  } noMemory;
  writeFile(data / L"a\\x.txt", "x");
  noMemory.options = host.options;
  noMemory.options.sources = {data / L"a"};
  noMemory.options.workers = 1;
  setFileOperationHook([](const wchar_t*, const std::wstring&) {
    allocationsFail = true;
    throw std::bad_alloc();
  });
  runState.running = true;
  runExtractionWith(noMemory);
  allocationsFail = false;
  setFileOperationHook(nullptr);
  EXPECT_EQ(noMemory.outcomes, 1);
  EXPECT_EQ(noMemory.outcomeType, UINT(MB_OK));
  EXPECT_TRUE(noMemory.logClosed);
  EXPECT_FALSE(runState.running);
  EXPECT_EQ(messages(logLines()),
            (std::vector<std::wstring>{L"確認:抽出処理開始。",
                                       std::wstring(L"エラー:") + texts::kErrOutOfMemory,
                                       L"確認:抽出処理中止。"}));
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

// ---------------------------------------------------------------------------
// Previews: the run's sequence with the transfer planned into the log.

namespace {

std::wstring planned(const wchar_t* format, const std::wstring& a, const std::wstring& b = {}) {
  return L"予定:" + formatText(format, a.c_str(), b.c_str());
}
std::wstring error(const wchar_t* format, const std::wstring& path) {
  return L"エラー:" + formatText(format, path.c_str());
}

// Every file and folder below `root` with its bytes, attributes and times.
std::vector<std::wstring> snapshot(const std::wstring& root) {
  std::vector<std::wstring> out;
  std::function<void(const std::wstring&)> walk = [&](const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((L"\\\\?\\" + folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    std::vector<std::wstring> subfolders;
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring path = folder + L"\\" + name;
      std::wstring entry = formatText(L"%s|%lx|%llu", path.c_str(), data.dwFileAttributes,
                                      (unsigned long long)toTicks(data.ftLastWriteTime));
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        subfolders.push_back(path);
      else
        entry += L"|" + fromUtf8(readFile(path));
      out.push_back(entry);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    for (const std::wstring& sub : subfolders) walk(sub);
  };
  walk(root);
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST_F(ExtractionRun, PreviewPlansTheTransferAndTouchesNothing) {
  writeFile(data / L"a\\x.txt", "old", ticksAt(0));
  writeFile(data / L"b\\x.txt", "new", ticksAt(60));
  writeFile(data / L"b\\only.txt", "1", ticksAt(0));
  writeFile(data / L"b\\sub\\y.txt", "y", ticksAt(0));
  host.options.sources = {data / L"a", data / L"b"};
  host.options.includeSubfolders = true;
  host.answer = IDYES;
  std::vector<std::wstring> before = snapshot(data.path());
  runState.running = true;
  runPreviewWith(host);

  EXPECT_EQ(snapshot(data.path()), before) << "a preview changed the folders";
  EXPECT_TRUE(host.titles.empty()) << "the scan's title stays";
  std::wstring out = data / L"out";
  EXPECT_EQ(messages(logLines()),
            (std::vector<std::wstring>{
                L"確認:プレビュー開始。",
                planned(texts::kPlannedFolder, out),
                planned(texts::kPlannedCopy, data / L"b\\only.txt", out + L"\\only.txt"),
                planned(texts::kPlannedCopy, data / L"b\\x.txt", out + L"\\x.txt"),
                planned(texts::kPlannedFolder, out + L"\\sub"),
                planned(texts::kPlannedCopy, data / L"b\\sub\\y.txt", out + L"\\sub\\y.txt"),
                L"確認:プレビュー完了。",
            }));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, L"プレビューを完了しました。ログファイルを表示しますか？");
  EXPECT_EQ(host.messages[0].caption, L"Ostrelle");
  EXPECT_EQ(host.messages[0].type, UINT(MB_YESNO | MB_ICONQUESTION));
  EXPECT_EQ(host.opened, std::vector<std::wstring>{lastLogPath()});
  EXPECT_EQ(host.idleCalls, 1);
  EXPECT_TRUE(host.runningAtIdle);
  EXPECT_FALSE(runState.running);
  // The header is a run's: same labels, same values.
  std::string bytes = readFile(lastLogPath());
  EXPECT_NE(bytes.find(encodeLogText(formatSettingsHeader(host.options))), std::string::npos);
  EXPECT_EQ(runProgress.phase.load(), RunPhase::Ended);
  EXPECT_EQ(runProgress.selected.load(), 3u);
  EXPECT_EQ(runProgress.done.load(), 3u);

  // No does not open the log; the real run then does what was planned.
  host = TestHost();
  host.options.destination = out;
  host.options.sources = {data / L"a", data / L"b"};
  host.options.includeSubfolders = true;
  host.options.logTransfers = true;
  host.answer = IDNO;
  runState.running = true;
  runPreviewWith(host);
  EXPECT_TRUE(host.opened.empty());
  std::vector<std::wstring> plan = messages(logLines());
  run();
  std::vector<std::wstring> done = messages(logLines());
  std::vector<std::wstring> copies;
  for (const std::wstring& line : plan)
    if (line.find(L"へコピーします。") != std::wstring::npos)
      copies.push_back(L"コピー:" + line.substr(3, line.size() - 3 - 7) + L"コピーしました。");
  EXPECT_EQ(std::vector<std::wstring>(done.begin() + 2, done.end() - 1), copies);
  EXPECT_EQ(readFile(out + L"\\x.txt"), "new");
}

TEST_F(ExtractionRun, PreviewNamesWhatTheRunWouldFailOn) {
  // An existing destination: a file where a folder would go, a folder where
  // a file would go, an old file, a locked old file and a read-only one.
  std::wstring out = data / L"out";
  writeFile(data / L"a\\blocked\\inside.txt", "i");
  writeFile(data / L"a\\folder.txt", "f");
  writeFile(data / L"a\\held.txt", "h");
  writeFile(data / L"a\\old.txt", "o");
  writeFile(data / L"a\\readonly.txt", "r");
  writeFile(data / L"a\\turns-locked.txt", "t");
  writeFile(out + L"\\blocked", "a file named like a folder");
  makeFolders(out + L"\\folder.txt");
  writeFile(out + L"\\held.txt", "old held");
  writeFile(out + L"\\old.txt", "old");
  writeFile(out + L"\\readonly.txt", "old read-only");
  SetFileAttributesW((out + L"\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  host.options.sources = {data / L"a"};
  host.options.includeSubfolders = true;
  LockedFile held(out + L"\\held.txt");
  ASSERT_TRUE(held.locked());
  // A source another program opens after the scan is not foreseen: the
  // scan has just opened every file, and the preview opens none again.
  std::vector<std::wstring> before = snapshot(data.path());
  struct Case {
    TransferMethod method;
    std::vector<std::wstring> lines;
  };
  const std::wstring a = data / L"a";
  const Case cases[] = {
      {TransferMethod::Copy,
       {L"確認:プレビュー開始。", error(texts::kErrCopy, a + L"\\folder.txt"),
        error(texts::kErrCopy, a + L"\\held.txt"),
        planned(texts::kPlannedCopy, a + L"\\old.txt", out + L"\\old.txt"),
        planned(texts::kPlannedCopy, a + L"\\readonly.txt", out + L"\\readonly.txt"),
        planned(texts::kPlannedCopy, a + L"\\turns-locked.txt", out + L"\\turns-locked.txt"),
        error(texts::kErrCreateTarget, out + L"\\blocked"), L"確認:プレビュー完了。"}},
      {TransferMethod::Move,
       {L"確認:プレビュー開始。", error(texts::kErrMove, a + L"\\folder.txt"),
        error(texts::kErrMove, a + L"\\held.txt"), error(texts::kErrMove, a + L"\\old.txt"),
        error(texts::kErrMove, a + L"\\readonly.txt"),
        planned(texts::kPlannedMove, a + L"\\turns-locked.txt", out + L"\\turns-locked.txt"),
        error(texts::kErrCreateTarget, out + L"\\blocked"), L"確認:プレビュー完了。"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method == TransferMethod::Copy ? "copy" : "move");
    host.messages.clear();
    host.options.method = c.method;
    runState.running = true;
    runPreviewWith(host);
    EXPECT_EQ(messages(logLines()), c.lines);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, texts::kPreviewOutcomeDone) << "errors or not";
  }
  EXPECT_EQ(snapshot(data.path()), before);
  SetFileAttributesW((out + L"\\readonly.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(ExtractionRun, PreviewOfADestinationThatCannotBeMade) {
  writeFile(data / L"a\\x.txt", "x");
  host.options.sources = {data / L"a"};
  wchar_t current[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, current);
  SetCurrentDirectoryW(data.path().c_str());
  struct Case {
    std::wstring destination, shown;
  };
  const Case cases[] = {
      {L"", L""},                                          // nothing typed
      {L"relative\\out", L"relative\\out"},                // not a full path: as typed
      {L"\\rooted", L"\\rooted"},                          // no drive
      {data / L"gone\\out", data / L"gone\\out"},          // parent missing
      {data.path() + L"/gone/out/", data / L"gone\\out"},  // the same, as it may be typed
      {data / L"a\\x.txt\\out", data / L"a\\x.txt\\out"},  // parent is a file
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.destination));
    host.options.destination = c.destination;
    runState.running = true;
    runPreviewWith(host);
    EXPECT_EQ(messages(logLines()),
              (std::vector<std::wstring>{L"確認:プレビュー開始。",
                                         error(texts::kErrCreateTarget, c.shown),
                                         L"確認:プレビュー完了。"}));
  }
  SetCurrentDirectoryW(current);
  EXPECT_EQ(listFolder(data.path()), (std::vector<std::wstring>{L"a"}));
  EXPECT_EQ(listTree(data / L"a"), (std::vector<std::wstring>{L"x.txt"}));
}

TEST_F(ExtractionRun, CancelledPreview) {
  writeFile(data / L"a\\x.txt", "x");
  host.options.sources = {data / L"a"};
  runState.cancelRequested = true;
  runState.running = true;
  runPreviewWith(host);
  EXPECT_EQ(messages(logLines()),
            (std::vector<std::wstring>{L"確認:プレビュー開始。", L"確認:プレビュー中止。"}));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, L"プレビューを中止しました。");
  EXPECT_EQ(host.messages[0].type, UINT(MB_OK));
  EXPECT_TRUE(host.opened.empty());
  EXPECT_FALSE(folderExists(data / L"out"));
  EXPECT_EQ(runProgress.phase.load(), RunPhase::Ended);
}
