// Runs into a destination that runs out of space part way through a copy.
// The test suite mounts a small file system of its own for this and names it
// in OSTRELLE_DISKFULL (a Linux path, seen by Wine through Z:, or a Windows
// path); without it these tests are skipped.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/program_folder.h"
#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "engine/extraction_run.h"
#include "engine/file_ops.h"
#include "log/run_log.h"
#include "support/log_capture.h"
#include "support/test_files.h"

namespace {

using Lines = std::vector<std::wstring>;

// Writes a file that leaves about `leave` bytes free on the disk of `path`.
void fillDisk(const std::wstring& path, uint64_t leave) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::string chunk(64 * 1024, 'F');
  std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
  while (freeBytes(folder) > leave + chunk.size()) {
    DWORD written = 0;
    if (!WriteFile(h, chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr) ||
        written != chunk.size())
      break;
  }
  CloseHandle(h);
}

std::string pattern(char c, size_t size) {
  std::string out(size, c);
  for (size_t i = 0; i < size; i += 4096) out[i] = static_cast<char>('0' + (i / 4096) % 10);
  return out;
}

// A folder of its own on the small disk, removed afterwards.
class DiskFolder {
 public:
  explicit DiskFolder(const std::wstring& disk)
      : path_(formatText(L"%s\\run-%lu-%lu", disk.c_str(), GetCurrentProcessId(), GetTickCount())) {
    makeFolders(path_);
  }
  ~DiskFolder() { removeTree(path_); }
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& rel) const { return path_ + L"\\" + rel; }

 private:
  std::wstring path_;
};

class Host : public RunHost {
 public:
  RunOptions options;
  std::vector<RecordingPrompt::Message> messages;
  RunOptions readOptions() override { return options; }
  void setTitle(const std::wstring&) override {}
  void enterIdleState() override {}
  int showMessage(const std::wstring& text, const std::wstring& caption, UINT type) override {
    messages.push_back({text, caption, type});
    return IDNO;
  }
  void shellOpen(const std::wstring&) override {}
};

class DiskFull : public ::testing::Test {
 protected:
  void SetUp() override {
    disk = smallDisk();
    if (disk.empty())
      GTEST_SKIP() << "OSTRELLE_DISKFULL is not set: no small file system was mounted for the "
                      "disk-full tests (scripts/test.sh mounts one when run as root)";
    ASSERT_TRUE(folderExists(disk)) << toUtf8(disk);
    setProgramFolder(program.path() + L"\\");
    resetLogPaths();
    runState.cancelRequested = false;
    host.options.criterion = TimeCriterion::Modified;
    host.options.keepTimeStamps = true;
    host.options.logTransfers = true;
  }
  void TearDown() override {
    setFileOperationHook(nullptr);
    resetLogPaths();
    setProgramFolder(L"");
  }

  Lines run() {
    runState.running = true;
    runExtractionWith(host);
    Lines out;
    for (const LogLine& l : parseEventLines(readFile(lastLogPath())))
      out.push_back(l.category + L":" + l.message);
    return out;
  }
  static std::wstring error(const wchar_t* format, const std::wstring& path) {
    return std::wstring(texts::kCategoryError) + L":" + formatText(format, path.c_str());
  }
  static std::wstring transferred(bool copy, const std::wstring& from, const std::wstring& to) {
    return std::wstring(copy ? texts::kCategoryCopied : texts::kCategoryMoved) + L":" +
           formatText(copy ? texts::kCopiedLine : texts::kMovedLine, from.c_str(), to.c_str());
  }
  static std::wstring notice(const wchar_t* text) {
    return std::wstring(texts::kCategoryNotice) + L":" + text;
  }

  std::wstring disk;
  TempFolder program, data;
  Host host;
};

}  // namespace

// The big file does not fit: its copy stops part way.  The old target keeps
// its bytes, no temporary file stays behind, the other files are copied,
// and the failure is the run's one error line.
TEST_F(DiskFull, CopyThatRunsOutOfSpaceKeepsTheOldTarget) {
  DiskFolder out(disk);
  std::string oldBig = pattern('o', 200 * 1024), newBig = pattern('n', 3 * 1024 * 1024);
  writeFile(out / L"big.bin", oldBig, ticksAt(0));
  writeFile(out / L"c.txt", "old c", ticksAt(0));
  writeFile(data / L"src\\a.txt", "new a", ticksAt(60));
  writeFile(data / L"src\\big.bin", newBig, ticksAt(60));
  writeFile(data / L"src\\c.txt", "new c", ticksAt(60));
  fillDisk(out / L"filler.bin", 1024 * 1024);
  ASSERT_LT(freeBytes(out.path()), newBig.size()) << "the disk did not fill";

  host.options.sources = {data / L"src"};
  host.options.destination = out.path();
  Lines lines = run();
  EXPECT_EQ(lines, (Lines{notice(texts::kRunStarted), notice(texts::kCopyStarted),
                          transferred(true, data / L"src\\a.txt", out / L"a.txt"),
                          error(texts::kErrCopy, data / L"src\\big.bin"),
                          transferred(true, data / L"src\\c.txt", out / L"c.txt"),
                          notice(texts::kRunFinished)}));
  EXPECT_EQ(readFile(out / L"big.bin"), oldBig);
  EXPECT_EQ(readFile(out / L"a.txt"), "new a");
  EXPECT_EQ(readFile(out / L"c.txt"), "new c");
  EXPECT_EQ(listFolder(out.path()),
            (std::vector<std::wstring>{L"a.txt", L"big.bin", L"c.txt", L"filler.bin"}));
  EXPECT_EQ(readFile(data / L"src\\big.bin"), newBig);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, texts::kOutcomeErrors);
}

// A move to another volume is a copy and a delete.  When the copy runs out
// of space the source must stay, and no partial file may be left at the
// target.
TEST_F(DiskFull, MoveThatRunsOutOfSpaceKeepsTheSource) {
  DiskFolder out(disk);
  std::string big = pattern('m', 3 * 1024 * 1024);
  writeFile(data / L"src\\a.txt", "a", ticksAt(0));
  writeFile(data / L"src\\big.bin", big, ticksAt(0));
  fillDisk(out / L"filler.bin", 1024 * 1024);
  ASSERT_LT(freeBytes(out.path()), big.size()) << "the disk did not fill";

  host.options.method = TransferMethod::Move;
  host.options.sources = {data / L"src"};
  host.options.destination = out.path();
  Lines lines = run();
  EXPECT_EQ(lines,
            (Lines{notice(texts::kRunStarted), notice(texts::kMoveStarted),
                   transferred(false, data / L"src\\a.txt", out / L"a.txt"),
                   error(texts::kErrMove, data / L"src\\big.bin"), notice(texts::kRunFinished)}));
  EXPECT_EQ(readFile(data / L"src\\big.bin"), big);
  EXPECT_FALSE(fileExists(out / L"big.bin")) << "a partial target was left behind";
  EXPECT_EQ(readFile(out / L"a.txt"), "a");
  EXPECT_FALSE(fileExists(data / L"src\\a.txt"));
}

// Files that do not all fit: which ones arrive must not depend on the
// number of workers.  The big file comes first in the walk and its source is
// slow to open, so several workers would copy the small ones past it.
TEST_F(DiskFull, WhatFitsDoesNotDependOnTheWorkers) {
  writeFile(data / L"src\\a-big.bin", pattern('b', 2560 * 1024), ticksAt(0));
  for (int i = 0; i < 16; ++i)
    writeFile(data / formatText(L"src\\b-%02d.bin", i), pattern('s', 150 * 1024), ticksAt(0));
  host.options.sources = {data / L"src"};
  setFileOperationHook([](const wchar_t* operation, const std::wstring& path) {
    if (std::wstring(operation) == L"read" && path.find(L"a-big.bin") != std::wstring::npos)
      Sleep(300);
  });
  std::vector<std::wstring> files[2];
  Lines lines[2];
  for (unsigned workers : {1u, 4u}) {
    DiskFolder out(disk);
    ASSERT_LT(freeBytes(out.path()), 4500u * 1024) << "the small disk is larger than planned";
    host.options.destination = out.path();
    host.options.workers = workers;
    Lines got = run();
    for (std::wstring& line : got) {
      size_t at = line.find(out.path());
      if (at != std::wstring::npos) line.replace(at, out.path().size(), L"OUT");
    }
    files[workers > 1] = listFolder(out.path());
    lines[workers > 1] = got;
  }
  setFileOperationHook(nullptr);
  EXPECT_EQ(files[1], files[0]);
  EXPECT_EQ(lines[1], lines[0]);
  ASSERT_FALSE(files[0].empty());
  EXPECT_EQ(files[0].front(), L"a-big.bin");  // the walk's order decides
  EXPECT_LT(files[0].size(), 17u);
}

// The run log itself lives on the full disk: its lines cannot be written,
// which is not reported, and the run still transfers and reports its
// outcome.
TEST_F(DiskFull, RunWhoseLogCannotBeWrittenStillFinishes) {
  DiskFolder folder(disk);
  setProgramFolder(folder.path() + L"\\");
  resetLogPaths();
  makeFolders(folder / L"logs");
  fillDisk(folder / L"filler.bin", 0);
  writeFile(data / L"src\\a.txt", "a", ticksAt(0));
  host.options.sources = {data / L"src"};
  host.options.destination = data / L"out";
  runState.running = true;
  runExtractionWith(host);
  EXPECT_FALSE(runState.running);
  EXPECT_EQ(readFile(data / L"out\\a.txt"), "a");
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, texts::kOutcomeDone);
  // Whatever reached the file is the start of a log, never garbage.
  std::string bytes = readFile(lastLogPath());
  if (bytes != "<missing>" && !bytes.empty()) {
    EXPECT_EQ(bytes.compare(0, 3, "\xEF\xBB\xBF"), 0);
  }
  setProgramFolder(program.path() + L"\\");
}
