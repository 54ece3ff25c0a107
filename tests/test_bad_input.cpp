// Whole runs with inputs a user can get wrong: every case ends with its own
// error line or message, and no file is lost, whatever the transfer method.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/program_folder.h"
#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "engine/extraction_run.h"
#include "engine/file_ops.h"
#include "engine/file_placement.h"
#include "log/run_log.h"
#include "settings/settings_file.h"
#include "support/log_capture.h"
#include "support/test_files.h"
#include "support/ui_thread.h"

namespace {

using Lines = std::vector<std::wstring>;
using Contents = std::map<std::wstring, std::string>;  // relative path -> bytes

// Every file below `folder` with its bytes.
Contents contentsOf(const std::wstring& folder) {
  Contents out;
  for (const std::wstring& rel : listTree(folder)) out[rel] = readFile(folder + L"\\" + rel);
  return out;
}

// Every file that was there before is still somewhere below `root` with the
// same bytes: in its place, or (moved) at another path.
void expectNothingLost(const Contents& before, const Contents& after) {
  std::multiset<std::string> present;
  for (const auto& [rel, bytes] : after) present.insert(bytes);
  for (const auto& [rel, bytes] : before) {
    auto it = present.find(bytes);
    EXPECT_NE(it, present.end()) << "lost: " << toUtf8(rel);
    if (it != present.end()) present.erase(it);
  }
}

std::wstring errorLine(const wchar_t* format, const std::wstring& path) {
  return std::wstring(texts::kCategoryError) + L":" + formatText(format, path.c_str());
}
std::wstring notice(const wchar_t* text) {
  return std::wstring(texts::kCategoryNotice) + L":" + text;
}

class TestHost : public RunHost {
 public:
  RunOptions options;
  std::function<void()> onTransferStart;
  std::vector<RecordingPrompt::Message> messages;
  std::vector<std::wstring> titles;
  int idleCalls = 0;

  RunOptions readOptions() override { return options; }
  void setTitle(const std::wstring& title) override {
    titles.push_back(title);
    if (onTransferStart) onTransferStart();
  }
  void enterIdleState() override { ++idleCalls; }
  int showMessage(const std::wstring& text, const std::wstring& caption, UINT type) override {
    messages.push_back({text, caption, type});
    return IDNO;
  }
  void shellOpen(const std::wstring&) override {}
};

class BadInput : public ::testing::Test {
 protected:
  TempFolder program, data;
  TestHost host;

  void SetUp() override {
    setProgramFolder(program.path() + L"\\");
    resetLogPaths();
    runState.cancelRequested = false;
    RunOptions& o = host.options;
    o.includeSubfolders = true;
    o.criterion = TimeCriterion::Modified;
    o.keepTimeStamps = false;
    o.logTransfers = true;
  }
  void TearDown() override {
    resetLogPaths();
    setProgramFolder(L"");
  }

  // One whole run; the event lines of its log as "category:message".
  Lines run() {
    host.messages.clear();
    host.titles.clear();
    resetLogPaths();
    runState.running = true;
    runExtractionWith(host);
    EXPECT_FALSE(runState.running);
    if (lastLogPath().empty()) return {};
    Lines out;
    for (const LogLine& l : parseEventLines(readFile(lastLogPath())))
      out.push_back(l.category + L":" + l.message);
    return out;
  }

  Lines frame(const Lines& middle) {
    Lines out{notice(texts::kRunStarted),
              notice(host.options.copies() ? texts::kCopyStarted : texts::kMoveStarted)};
    out.insert(out.end(), middle.begin(), middle.end());
    out.push_back(notice(texts::kRunFinished));
    return out;
  }
  std::wstring moved(const std::wstring& from, const std::wstring& to) {
    return std::wstring(texts::kCategoryMoved) + L":" +
           formatText(texts::kMovedLine, from.c_str(), to.c_str());
  }
  std::wstring copied(const std::wstring& from, const std::wstring& to) {
    return std::wstring(texts::kCategoryCopied) + L":" +
           formatText(texts::kCopiedLine, from.c_str(), to.c_str());
  }
  void expectOutcome(const wchar_t* text) {
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, text);
    EXPECT_EQ(host.messages[0].caption, texts::kAppName);
  }
};

const TransferMethod kMethods[] = {TransferMethod::Copy, TransferMethod::Move};

}  // namespace

TEST_F(BadInput, EmptyDestinationTransfersNothing) {
  writeFile(data / L"src\\a.txt", "a");
  writeFile(data / L"src\\sub\\b.txt", "b");
  Contents before = contentsOf(data.path());
  for (TransferMethod method : kMethods) {
    host.options.method = method;
    host.options.sources = {data / L"src"};
    host.options.destination = L"";
    EXPECT_EQ(run(), frame({errorLine(texts::kErrCreateTarget, L"")}));
    expectOutcome(texts::kOutcomeErrors);
    EXPECT_EQ(contentsOf(data.path()), before);
  }
}

TEST_F(BadInput, DestinationThatIsAFile) {
  writeFile(data / L"src\\a.txt", "a");
  writeFile(data / L"target.txt", "I am a file");
  Contents before = contentsOf(data.path());
  for (TransferMethod method : kMethods) {
    host.options.method = method;
    host.options.sources = {data / L"src"};
    // The normalised form is what the line names, trailing backslash or not.
    for (const std::wstring& text : {data / L"target.txt", data / L"target.txt\\"}) {
      host.options.destination = text;
      EXPECT_EQ(run(), frame({errorLine(texts::kErrCreateTarget, data / L"target.txt")}));
      EXPECT_EQ(contentsOf(data.path()), before);
    }
  }
}

// The source is its own destination: a copy replaces its files with
// themselves (through the temporary file) and the newer copies from the
// other source; a move of a file onto itself leaves it where it is, and a
// move onto an existing older copy is refused.
TEST_F(BadInput, DestinationEqualToASource) {
  for (TransferMethod method : kMethods) {
    TempFolder folder;
    writeFile(folder / L"A\\a.txt", "A old", ticksAt(0));
    writeFile(folder / L"A\\b.txt", "A only", ticksAt(0));
    writeFile(folder / L"A\\sub\\c.txt", "A sub", ticksAt(0));
    writeFile(folder / L"B\\a.txt", "B new", ticksAt(60));
    Contents before = contentsOf(folder.path());
    host.options.method = method;
    host.options.sources = {folder / L"A", folder / L"B"};
    host.options.destination = folder / L"A";
    Lines lines = run();
    Contents after = contentsOf(folder.path());
    if (method == TransferMethod::Copy) {
      EXPECT_EQ(lines, frame({copied(folder / L"B\\a.txt", folder / L"A\\a.txt"),
                              copied(folder / L"A\\b.txt", folder / L"A\\b.txt"),
                              copied(folder / L"A\\sub\\c.txt", folder / L"A\\sub\\c.txt")}));
      EXPECT_EQ(after, (Contents{{L"A\\a.txt", "B new"},
                                 {L"A\\b.txt", "A only"},
                                 {L"A\\sub\\c.txt", "A sub"},
                                 {L"B\\a.txt", "B new"}}));
    } else {
      EXPECT_EQ(lines, frame({errorLine(texts::kErrMove, folder / L"B\\a.txt"),
                              moved(folder / L"A\\b.txt", folder / L"A\\b.txt"),
                              moved(folder / L"A\\sub\\c.txt", folder / L"A\\sub\\c.txt")}));
      EXPECT_EQ(after, before);
    }
  }
}

// The destination lies inside a source and subfolders are scanned: the scan
// is over before the first file is written, so the run never reads its own
// output and ends.  A later run sees the earlier output as part of the
// source, once.
TEST_F(BadInput, DestinationInsideASourceWithSubfolders) {
  for (TransferMethod method : kMethods) {
    for (bool flatten : {false, true}) {
      TempFolder folder;
      writeFile(folder / L"S\\a.txt", "a", ticksAt(0));
      writeFile(folder / L"S\\sub\\b.txt", "b", ticksAt(0));
      Contents before = contentsOf(folder.path());
      host.options.method = method;
      host.options.ignoreHierarchy = flatten;
      host.options.sources = {folder / L"S"};
      host.options.destination = folder / L"S\\out";
      Lines lines = run();
      EXPECT_EQ(lines.back(), notice(texts::kRunFinished));
      for (const std::wstring& l : lines)
        EXPECT_EQ(l.find(texts::kCategoryError), std::wstring::npos) << toUtf8(l);
      Contents after = contentsOf(folder.path());
      Contents expected;
      expected[flatten ? L"S\\out\\b.txt" : L"S\\out\\sub\\b.txt"] = "b";
      expected[L"S\\out\\a.txt"] = "a";
      if (method == TransferMethod::Copy) expected.insert(before.begin(), before.end());
      EXPECT_EQ(after, expected) << (flatten ? "flattened" : "hierarchy kept");

      // The second run takes the first one's output in as a source folder.
      run();
      Contents again = contentsOf(folder.path());
      expectNothingLost(after, again);
      for (const auto& [rel, bytes] : again)
        EXPECT_EQ(rel.find(L"out\\out\\out"), std::wstring::npos) << toUtf8(rel);
    }
  }
}

TEST_F(BadInput, SourcesThatAreNoFolders) {
  writeFile(data / L"file.txt", "a file, not a folder");
  writeFile(data / L"good\\g.txt", "g");
  Contents before = contentsOf(data.path());
  for (TransferMethod method : kMethods) {
    host.options.method = method;
    host.options.sources = {data / L"file.txt", data / L"missing", data / L"good"};
    host.options.destination = data / L"out";
    host.options.logTransfers = false;
    EXPECT_EQ(
        run(),
        (Lines{notice(texts::kRunStarted),
               errorLine(texts::kErrSetCurrentFolder, data / L"file.txt"),
               errorLine(texts::kErrSetCurrentFolder, data / L"missing"),
               notice(method == TransferMethod::Copy ? texts::kCopyStarted : texts::kMoveStarted),
               notice(texts::kRunFinished)}));
    expectOutcome(texts::kOutcomeErrors);
    EXPECT_EQ(readFile(data / L"out\\g.txt"), "g");
    expectNothingLost(before, contentsOf(data.path()));
    EXPECT_EQ(readFile(data / L"file.txt"), "a file, not a folder");
    removeTree(data / L"out");
    if (method == TransferMethod::Move) writeFile(data / L"good\\g.txt", "g");
  }
}

// A source named twice (in two spellings) counts every file twice; the
// winner is still moved once and nothing is lost.
TEST_F(BadInput, SourceListedTwice) {
  writeFile(data / L"src\\a.txt", "a");
  Contents before = contentsOf(data.path());
  host.options.method = TransferMethod::Move;
  host.options.targetKind = TargetKind::NewestOnly;
  std::wstring upper = data.path() + L"\\SRC";
  host.options.sources = {data / L"src", upper};
  host.options.destination = data / L"out";
  EXPECT_EQ(run(), frame({moved(data / L"src\\a.txt", data / L"out\\a.txt")}));
  EXPECT_EQ(contentsOf(data.path()), (Contents{{L"out\\a.txt", "a"}}));
  expectNothingLost(before, contentsOf(data.path()));
}

// "C:" is the drive's root, not the drive's current folder; "C:\" is the
// same folder.  Paths in the log are the source as entered, "\" and the
// name.  Copy only: the root of the system drive is no place to move from.
TEST_F(BadInput, DriveRootWithAndWithoutBackslash) {
  wchar_t windows[MAX_PATH];
  ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 2u);
  const std::wstring drive(windows, 2);
  const std::wstring marker = formatText(L"ostrelle-root-%lu.txt", GetCurrentProcessId());
  // A file at the root and, on the same drive, a current folder holding a
  // file of its own; both undone however the test ends.
  struct Scene {
    std::wstring rootFile;
    wchar_t previous[MAX_PATH + 1] = {};
    Scene(const std::wstring& file, const std::wstring& current) : rootFile(file) {
      writeFile(rootFile, "at the root");
      GetCurrentDirectoryW(MAX_PATH + 1, previous);
      SetCurrentDirectoryW(current.c_str());
    }
    ~Scene() {
      SetCurrentDirectoryW(previous);
      DeleteFileW(rootFile.c_str());
    }
  };
  writeFile(data / L"cwd\\not-the-root.txt", "current folder");
  Scene scene(drive + L"\\" + marker, data / L"cwd");
  // Files directly in the root, listed here without the engine.
  std::vector<std::wstring> rootFiles;
  for (const std::wstring& name : listFolder(drive + L"\\"))
    if (fileExists(drive + L"\\" + name)) rootFiles.push_back(name);
  ASSERT_NE(std::find(rootFiles.begin(), rootFiles.end(), marker), rootFiles.end());

  host.options.includeSubfolders = false;
  struct Case {
    std::wstring source, shownFolder;
  };
  for (const Case& c : {Case{drive, drive}, Case{drive + L"\\", drive + L"\\"}}) {
    SCOPED_TRACE(toUtf8(c.source));
    std::wstring out = data / L"out";
    host.options.sources = {c.source};
    host.options.destination = out;
    Lines lines = run();
    EXPECT_EQ(listFolder(out), rootFiles);
    EXPECT_EQ(readFile(out + L"\\" + marker), "at the root");
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        copied(c.shownFolder + L"\\" + marker, out + L"\\" + marker)),
              lines.end());
    for (const std::wstring& l : lines)
      EXPECT_EQ(l.find(texts::kCategoryError), std::wstring::npos) << toUtf8(l);
    removeTree(out);
  }
}

// A relative source is taken from the process's current folder when the
// run starts, and the scan leaves the current folder as it was.
TEST_F(BadInput, RelativeSourceUsesTheCurrentFolder) {
  writeFile(data / L"rel\\sub\\r.txt", "relative");
  wchar_t previous[MAX_PATH + 1];
  GetCurrentDirectoryW(MAX_PATH + 1, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(data.path().c_str()));
  host.options.sources = {L"rel"};
  host.options.destination = data / L"out";
  Lines lines = run();
  wchar_t after[MAX_PATH + 1];
  GetCurrentDirectoryW(MAX_PATH + 1, after);
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(lines, frame({copied(L"rel\\sub\\r.txt", data / L"out\\sub\\r.txt")}));
  EXPECT_EQ(std::wstring(after), data.path());
  EXPECT_EQ(readFile(data / L"out\\sub\\r.txt"), "relative");
}

// Copies that fail after the old target exists: the target held open by
// another program, a source that another program opens once the transfer
// has begun, and a target that is a folder.  Each old target stays as it
// was and no temporary file is left beside it.
TEST_F(BadInput, FailedCopiesKeepTheOldTargets) {
  writeFile(data / L"src\\held-target.txt", "new 1", ticksAt(60));
  writeFile(data / L"src\\held-source.txt", "new 2", ticksAt(60));
  writeFile(data / L"src\\folder-target.txt", "new 3", ticksAt(60));
  writeFile(data / L"src\\fine.txt", "new 4", ticksAt(60));
  writeFile(data / L"out\\held-target.txt", "old 1", ticksAt(0));
  writeFile(data / L"out\\held-source.txt", "old 2", ticksAt(0));
  writeFile(data / L"out\\folder-target.txt\\inner.txt", "old 3", ticksAt(0));
  writeFile(data / L"out\\fine.txt", "old 4", ticksAt(0));
  host.options.sources = {data / L"src"};
  host.options.destination = data / L"out";
  std::vector<std::unique_ptr<LockedFile>> locks;
  host.onTransferStart = [&] {
    locks.push_back(std::make_unique<LockedFile>(data / L"out\\held-target.txt"));
    locks.push_back(std::make_unique<LockedFile>(data / L"src\\held-source.txt"));
  };
  Lines lines = run();
  locks.clear();
  EXPECT_EQ(lines, frame({copied(data / L"src\\fine.txt", data / L"out\\fine.txt"),
                          errorLine(texts::kErrCopy, data / L"src\\folder-target.txt"),
                          errorLine(texts::kErrCopy, data / L"src\\held-source.txt"),
                          errorLine(texts::kErrCopy, data / L"src\\held-target.txt")}));
  EXPECT_EQ(contentsOf(data / L"out"), (Contents{{L"fine.txt", "new 4"},
                                                 {L"folder-target.txt\\inner.txt", "old 3"},
                                                 {L"held-source.txt", "old 2"},
                                                 {L"held-target.txt", "old 1"}}));
  EXPECT_EQ(readFile(data / L"src\\held-source.txt"), "new 2");
}

TEST_F(BadInput, LogsPathThatIsAFile) {
  writeFile(program / L"logs", "a file where the log folder belongs");
  writeFile(data / L"src\\a.txt", "a");
  Contents before = contentsOf(data.path());
  host.options.method = TransferMethod::Move;
  host.options.sources = {data / L"src"};
  host.options.destination = data / L"out";
  run();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text,
            formatText(texts::kLogFolderFailed, (program / L"logs").c_str()));
  EXPECT_EQ(host.messages[0].type, UINT(MB_OK | MB_ICONERROR));
  EXPECT_EQ(host.idleCalls, 1);
  EXPECT_TRUE(host.titles.empty());
  EXPECT_EQ(contentsOf(data.path()), before);
  EXPECT_EQ(readFile(program / L"logs"), "a file where the log folder belongs");
}

// ---------------------------------------------------------------------------
// The settings file: garbage in it never crashes the program or yields an
// option that does not exist, the next save turns it into a file that loads
// back exactly, and a file that cannot be written is reported.

namespace {

class BadSettings : public ::testing::Test {
 protected:
  void SetUp() override { setProgramFolder(folder.path() + L"\\"); }
  void TearDown() override { setProgramFolder(L""); }

  static void expectValid(const StoredSettings& s) {
    EXPECT_GE(int(s.targetKind), 0);
    EXPECT_LE(int(s.targetKind), 2);
    EXPECT_GE(int(s.criterion), 0);
    EXPECT_LE(int(s.criterion), 2);
    EXPECT_TRUE(s.method == TransferMethod::Copy || s.method == TransferMethod::Move);
  }

  // Saving over whatever is there gives a file that loads back as saved.
  void expectSaveRoundTrips() {
    StoredSettings s;
    s.includeSubfolders = true;
    s.ignoreHierarchy = true;
    s.targetKind = TargetKind::UniqueOnly;
    s.criterion = TimeCriterion::Created;
    s.method = TransferMethod::Copy;
    s.keepTimeStamps = false;
    s.logTransfers = true;
    std::optional<DestinationHistory> saved = saveSettings(nullptr, s, L"D:\\Out");
    ASSERT_TRUE(saved);
    StoredSettings back = loadSettings();
    EXPECT_TRUE(back.includeSubfolders);
    EXPECT_TRUE(back.ignoreHierarchy);
    EXPECT_EQ(back.targetKind, TargetKind::UniqueOnly);
    EXPECT_EQ(back.criterion, TimeCriterion::Created);
    EXPECT_EQ(back.method, TransferMethod::Copy);
    EXPECT_FALSE(back.keepTimeStamps);
    EXPECT_TRUE(back.logTransfers);
    EXPECT_EQ(back.history, *saved);
    EXPECT_EQ(back.history[0], L"D:\\Out");
  }

  TempFolder folder;
};

std::string junk(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  for (char& c : out) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return out;
}

}  // namespace

TEST_F(BadSettings, NonNumbersReadAsTheProfileIntegerRead) {
  writeFile(settingsPath(),
            "[OPTION]\r\nSUB_DIR=yes\r\nKAISOU_MUSHI=abc\r\nKIND_OF_TARGET=two\r\n"
            "CRITERION=x\r\nCOPY=1abc\r\nLOGGING_COPY=-1\r\n[DST_DIR_LOG]\r\nPATH_1=C:\\ok\r\n");
  StoredSettings s = loadSettings();
  expectValid(s);
  EXPECT_FALSE(s.includeSubfolders);
  EXPECT_FALSE(s.ignoreHierarchy);
  EXPECT_EQ(s.targetKind, TargetKind::NewestAndUnique);
  EXPECT_EQ(s.criterion, TimeCriterion::Modified);
  EXPECT_EQ(s.method, TransferMethod::Copy);  // leading digits count
  EXPECT_TRUE(s.logTransfers);                // any non-zero number is on
  EXPECT_EQ(s.history[0], L"C:\\ok");
  expectSaveRoundTrips();
}

TEST_F(BadSettings, HugeNumbersStillDecodeToOptionsThatExist) {
  writeFile(settingsPath(),
            "[OPTION]\r\nSUB_DIR=99999999999999999999999999999999999999\r\n"
            "KIND_OF_TARGET=4294967297\r\nCRITERION=-1\r\nCOPY=2147483648\r\n"
            "TIMESTAMP=-2147483649\r\n");
  StoredSettings s = loadSettings();
  expectValid(s);
  EXPECT_EQ(s.history, DestinationHistory());
  expectSaveRoundTrips();
}

TEST_F(BadSettings, BinaryJunkAndHugeFiles) {
  struct Case {
    const char* what;
    std::string bytes;
  };
  std::string big = "[JUNK]\r\n";
  while (big.size() < 10 * 1024 * 1024)
    big += ";" + std::string(1000, 'j') + "\r\nkey" + std::to_string(big.size()) + "=v\r\n";
  big += "[OPTION]\r\nCOPY=0\r\n[DST_DIR_LOG]\r\nPATH_2=E:\\after ten megabytes\r\n";
  const Case cases[] = {
      {"junk", junk(64 * 1024, 1)},
      {"junk with NULs and brackets",
       junk(4096, 2) + std::string("\0[OPTION]\0COPY=0\n=\n[", 20) + junk(4096, 3)},
      {"UTF-16 mark, then junk of odd length", "\xFF\xFE" + junk(4097, 4)},
      {"UTF-8 mark, then junk", "\xEF\xBB\xBF" + junk(4096, 5)},
      {"10 MB", big},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(settingsPath(), c.bytes);
    DWORD started = GetTickCount();
    StoredSettings s = loadSettings();
    expectValid(s);
    if (c.bytes.size() > 1024 * 1024) {
      EXPECT_EQ(s.method, TransferMethod::Move);
      EXPECT_EQ(s.history[1], L"E:\\after ten megabytes");
    }
    expectSaveRoundTrips();
    EXPECT_LT(GetTickCount() - started, 20000u) << "load and save took too long";
    DeleteFileW(settingsPath().c_str());
  }
}

// A history value typed into the file longer than the 1023 characters a
// path buffer holds is read whole, not cut to another folder's name.
TEST_F(BadSettings, ValueLongerThan1023Characters) {
  std::string path = "C:\\" + std::string(1500, 'l') + "\\end";
  writeFile(settingsPath(), "[DST_DIR_LOG]\r\nPATH_3=" + path + "\r\n");
  EXPECT_EQ(loadSettings().history[2], fromUtf8(path));
}

// Another program holds the settings file open: the save fails with the
// detached error, the history does not change and the file keeps its bytes.
TEST_F(BadSettings, FileHeldOpenByAnotherProgram) {
  ASSERT_TRUE(saveSettings(nullptr, StoredSettings(), L"C:\\first"));
  std::string before = readFile(settingsPath());
  {
    LockedFile lock(settingsPath());
    ASSERT_TRUE(lock.locked());
    StoredSettings s = loadSettings();
    EXPECT_FALSE(saveSettings(nullptr, s, L"C:\\second"));
    HWND box = waitForMessageBox({texts::kCaptionError});
    ASSERT_TRUE(box);
    EXPECT_EQ(readMessageBox(box).text,
              formatText(texts::kSettingsWriteFailed, settingsPath().c_str()));
    pressButton(box, IDOK);
    EXPECT_TRUE(waitForWindowGone(box));
  }
  EXPECT_EQ(readFile(settingsPath()), before);
  EXPECT_EQ(loadSettings().history[0], L"C:\\first");
}

// Names that end in a dot or a space exist on disk (made through "\\?\"
// paths or by other systems) although a plain Win32 path cannot spell them.
// The destination gets folders of exactly those names: the folder made
// through "\\?\" is also tested through it, not through a plain path that
// would name "space" instead of "space ".
TEST_F(BadInput, DestinationFoldersWhoseNamesEndInASpace) {
  writeFile(data / L"src\\space \\sub\\b.txt", "b", ticksAt(0));
  host.options.sources = {data / L"src"};
  host.options.destination = data / L"out";
  EXPECT_EQ(run(),
            frame({copied(data / L"src\\space \\sub\\b.txt", data / L"out\\space \\sub\\b.txt")}));
  EXPECT_EQ(contentsOf(data / L"out"), (Contents{{L"space \\sub\\b.txt", "b"}}));
}

// A winner in a folder whose name ends in a space or a dot must be the file
// transferred, not the file of the same name in the folder whose name lacks
// them.  Disabled until the transfer uses the "\\?\" form the scan found
// the winner's folder through: it rebuilds that form from the plain path,
// which drops the trailing space (and a dot anywhere), so it moves the older
// "src\dir\x.txt" while the log says "src\dir \x.txt" was moved, and
// "src\dot.\y.txt" cannot be found at all.
TEST_F(BadInput, WinnerInAFolderWhoseNameEndsInASpace) {
  writeFile(data / L"src\\dir \\x.txt", "newer", ticksAt(60));
  writeFile(data / L"src\\dir\\x.txt", "older", ticksAt(0));
  writeFile(data / L"src\\dot.\\y.txt", "y", ticksAt(0));
  host.options.method = TransferMethod::Move;
  host.options.ignoreHierarchy = true;
  host.options.sources = {data / L"src"};
  host.options.destination = data / L"out";
  EXPECT_EQ(run(), frame({moved(data / L"src\\dir \\x.txt", data / L"out\\x.txt"),
                          moved(data / L"src\\dot.\\y.txt", data / L"out\\y.txt")}));
  EXPECT_EQ(
      contentsOf(data.path()),
      (Contents{{L"out\\x.txt", "newer"}, {L"out\\y.txt", "y"}, {L"src\\dir\\x.txt", "older"}}));
}

// Sources that change between the scan and the transfer: a winner that
// vanished is an error line, one that grew is transferred as it is now.
TEST_F(BadInput, SourcesThatChangeAfterTheScan) {
  for (TransferMethod method : kMethods) {
    for (bool keepTimes : {false, true}) {
      TempFolder folder;
      writeFile(folder / L"src\\a.txt", "a", ticksAt(0));
      writeFile(folder / L"src\\b.txt", "b", ticksAt(0));
      host.options.method = method;
      host.options.keepTimeStamps = keepTimes;
      host.options.sources = {folder / L"src"};
      host.options.destination = folder / L"out";
      host.onTransferStart = [&] {
        DeleteFileW((folder / L"src\\a.txt").c_str());
        writeFile(folder / L"src\\b.txt", "b, grown after the scan", ticksAt(30));
      };
      const wchar_t* failed = keepTimes                        ? texts::kErrOpenForRead
                              : method == TransferMethod::Copy ? texts::kErrCopy
                                                               : texts::kErrMove;
      std::wstring bLine = method == TransferMethod::Copy
                               ? copied(folder / L"src\\b.txt", folder / L"out\\b.txt")
                               : moved(folder / L"src\\b.txt", folder / L"out\\b.txt");
      EXPECT_EQ(run(), frame({errorLine(failed, folder / L"src\\a.txt"), bLine}));
      EXPECT_EQ(readFile(folder / L"out\\b.txt"), "b, grown after the scan");
      EXPECT_FALSE(fileExists(folder / L"out\\a.txt"));
      if (keepTimes) {
        EXPECT_EQ(fileTimes(folder / L"out\\b.txt").written, ticksAt(30));
      }
      host.onTransferStart = nullptr;
    }
  }
}

// Texts far beyond any path the system can use: error lines that name them
// whole, nothing transferred, no crash.
TEST_F(BadInput, PathsLongerThanTheSystemAllows) {
  writeFile(data / L"src\\a.txt", "a");
  std::wstring longSource = data.path() + L"\\" + std::wstring(40000, L's');
  std::wstring longDestination = data.path() + L"\\" + std::wstring(40000, L'd');
  host.options.sources = {longSource, data / L"src"};
  host.options.destination = longDestination;
  host.options.logTransfers = false;
  EXPECT_EQ(run(),
            (Lines{notice(texts::kRunStarted), errorLine(texts::kErrSetCurrentFolder, longSource),
                   notice(texts::kCopyStarted), errorLine(texts::kErrCreateTarget, longDestination),
                   notice(texts::kRunFinished)}));
  EXPECT_EQ(contentsOf(data.path()), (Contents{{L"src\\a.txt", "a"}}));
}

// Folder links: one that leads back to a folder on the path being scanned
// is not entered again (one error line names it; the folder itself is still
// made, as for any folder that cannot be read); one that leads elsewhere is
// followed like a folder.
TEST_F(BadInput, FolderLinksThatLoopAreNotEnteredAgain) {
  writeFile(data / L"src\\f.txt", "f", ticksAt(1));
  writeFile(data / L"src\\sub\\g.txt", "g", ticksAt(2));
  writeFile(data / L"elsewhere\\h.txt", "h", ticksAt(3));
  ASSERT_TRUE(makeFolderLink(data / L"src\\loop", data / L"src"));
  ASSERT_TRUE(makeFolderLink(data / L"src\\sub\\up", data / L"src"));
  ASSERT_TRUE(makeFolderLink(data / L"src\\other", data / L"elsewhere"));
  host.options.sources = {data / L"src"};
  host.options.destination = data / L"out";
  Lines lines = run();
  removeFolderLink(data / L"src\\loop");
  removeFolderLink(data / L"src\\sub\\up");
  removeFolderLink(data / L"src\\other");
  std::wstring src = data / L"src", out = data / L"out";
  EXPECT_EQ(
      lines,
      (Lines{notice(texts::kRunStarted), errorLine(texts::kErrFolderLoop, src + L"\\loop"),
             errorLine(texts::kErrFolderLoop, src + L"\\sub\\up"), notice(texts::kCopyStarted),
             copied(src + L"\\f.txt", out + L"\\f.txt"),
             copied(src + L"\\other\\h.txt", out + L"\\other\\h.txt"),
             copied(src + L"\\sub\\g.txt", out + L"\\sub\\g.txt"), notice(texts::kRunFinished)}));
  EXPECT_EQ(listTree(out), (Lines{L"f.txt", L"other\\h.txt", L"sub\\g.txt"}));
  EXPECT_TRUE(folderExists(out + L"\\loop"));
  EXPECT_TRUE(folderExists(out + L"\\sub\\up"));
  expectOutcome(texts::kOutcomeErrors);
}

// Read-only files: copied over a read-only target, which is replaced like
// any other and then carries the winner's attributes; times set without a
// line; moved within the volume without a line.  Both ways of replacing.
TEST_F(BadInput, ReadOnlyFilesAndTargets) {
  for (ReplaceMethod method : {ReplaceMethod::Platform, ReplaceMethod::Rename}) {
    TempFolder case_;
    setReplaceMethod(method);
    writeFile(case_ / L"src\\ro.txt", "new read-only", ticksAt(20));
    writeFile(case_ / L"src\\plain.txt", "new plain", ticksAt(21));
    writeFile(case_ / L"out\\ro.txt", "old plain", ticksAt(10));
    writeFile(case_ / L"out\\plain.txt", "old read-only", ticksAt(11));
    SetFileAttributesW((case_ / L"src\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW((case_ / L"out\\plain.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    host.options.sources = {case_ / L"src"};
    host.options.destination = case_ / L"out";
    host.options.keepTimeStamps = true;
    host.options.logTransfers = false;
    EXPECT_EQ(run(), frame({})) << int(method);
    EXPECT_EQ(readFile(case_ / L"out\\ro.txt"), "new read-only");
    EXPECT_EQ(readFile(case_ / L"out\\plain.txt"), "new plain");
    EXPECT_EQ(fileTimes(case_ / L"out\\ro.txt").written, ticksAt(20));
    EXPECT_TRUE(GetFileAttributesW((case_ / L"out\\ro.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(GetFileAttributesW((case_ / L"out\\plain.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
    // The next run replaces the read-only copy it made.
    writeFile(case_ / L"src\\plain.txt", "newer plain", ticksAt(30));
    SetFileAttributesW((case_ / L"src\\ro.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    writeFile(case_ / L"src\\ro.txt", "newer", ticksAt(31));
    EXPECT_EQ(run(), frame({}));
    EXPECT_EQ(readFile(case_ / L"out\\ro.txt"), "newer");
    EXPECT_FALSE(GetFileAttributesW((case_ / L"out\\ro.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
    // A move of a read-only file within the volume, times kept.
    host.options.method = TransferMethod::Move;
    SetFileAttributesW((case_ / L"src\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    host.options.destination = case_ / L"moved";
    EXPECT_EQ(run(), frame({}));
    EXPECT_EQ(readFile(case_ / L"moved\\ro.txt"), "newer");
    EXPECT_EQ(fileTimes(case_ / L"moved\\ro.txt").written, ticksAt(31));
    EXPECT_TRUE(listTree(case_ / L"src").empty());
    host.options.method = TransferMethod::Copy;
  }
  setReplaceMethod(ReplaceMethod::Automatic);
}
