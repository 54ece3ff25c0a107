#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "engine/file_ops.h"
#include "engine/folder_tree.h"
#include "engine/same_file.h"
#include "engine/source_scan.h"
#include "engine/temporary_file.h"
#include "engine/transfer.h"
#include "log/run_log.h"
#include "support/log_capture.h"
#include "support/test_files.h"

namespace {

using Names = std::vector<std::wstring>;

LogLine errorLine(const wchar_t* format, const std::wstring& path) {
  return {texts::kCategoryError, formatText(format, path.c_str())};
}

LogLine transferLine(bool copied, const std::wstring& source, const std::wstring& target) {
  return {
      copied ? texts::kCategoryCopied : texts::kCategoryMoved,
      formatText(copied ? texts::kCopiedLine : texts::kMovedLine, source.c_str(), target.c_str())};
}

void expectLines(const std::vector<LogLine>& actual, const std::vector<LogLine>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i) {
    EXPECT_EQ(actual[i].category, expected[i].category) << i;
    EXPECT_EQ(actual[i].message, expected[i].message) << i;
  }
}

class Transfer : public ::testing::Test {
 protected:
  Transfer() {
    options.includeSubfolders = true;
    options.criterion = TimeCriterion::Modified;
    options.keepTimeStamps = false;
    options.logTransfers = false;
  }
  void TearDown() override {
    setFileOperationHook(nullptr);
    runState.cancelRequested = false;
  }
  // Scans the sources and transfers into the destination as a run does.
  void run(const std::vector<std::wstring>& sources, const std::wstring& destination) {
    FolderTree tree;
    options.sources = sources;
    scanSources(options, tree);
    transferFolder(options, tree.root(), L"\\\\?\\" + normaliseDestination(destination),
                   tree.scannedIdentities());
  }
  TempFolder temp;
  RunOptions options;
};

}  // namespace

TEST_F(Transfer, SelectionsDecideWhatIsCopied) {
  writeFile(temp / L"src1\\a.txt", "old a", ticksAt(1));
  writeFile(temp / L"src2\\a.txt", "new a", ticksAt(2));
  writeFile(temp / L"src1\\u1.txt", "u1", ticksAt(1));
  writeFile(temp / L"src2\\sub\\u2.txt", "u2", ticksAt(1));
  struct Case {
    TargetKind kind;
    Names files;
  };
  const Case cases[] = {
      {TargetKind::NewestAndUnique, {L"a.txt", L"sub\\u2.txt", L"u1.txt"}},
      {TargetKind::NewestOnly, {L"a.txt"}},
      {TargetKind::UniqueOnly, {L"sub\\u2.txt", L"u1.txt"}},
  };
  LogCapture log;
  for (const Case& c : cases) {
    options.targetKind = c.kind;
    std::wstring out = temp / formatText(L"out%d", static_cast<int>(c.kind));
    run({temp / L"src1", temp / L"src2"}, out);
    EXPECT_EQ(listTree(out), c.files);
    EXPECT_TRUE(folderExists(out + L"\\sub"));  // created even when nothing in it is selected
    if (fileExists(out + L"\\a.txt")) {
      EXPECT_EQ(readFile(out + L"\\a.txt"), "new a");
    }
  }
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(readFile(temp / L"src1\\a.txt"), "old a");  // copies leave the sources
}

TEST_F(Transfer, CopyOverwritesAndLogsPlainPaths) {
  writeFile(temp / L"src\\a.txt", "new");
  writeFile(temp / L"src\\sub\\b.txt", "b");
  writeFile(temp / L"out\\a.txt", "old");
  options.logTransfers = true;
  LogCapture log;
  run({temp / L"src"}, temp / L"out");
  EXPECT_EQ(readFile(temp / L"out\\a.txt"), "new");
  EXPECT_EQ(listTree(temp / L"out"), (Names{L"a.txt", L"sub\\b.txt"}));
  expectLines(log.lines(),
              {transferLine(true, temp / L"src\\a.txt", temp / L"out\\a.txt"),
               transferLine(true, temp / L"src\\sub\\b.txt", temp / L"out\\sub\\b.txt")});
}

TEST_F(Transfer, MoveRefusesAnExistingTargetAndKeepsTheSource) {
  writeFile(temp / L"src\\a.txt", "source a");
  writeFile(temp / L"src\\b.txt", "source b");
  writeFile(temp / L"out\\a.txt", "target a");
  options.method = TransferMethod::Move;
  options.logTransfers = true;
  LogCapture log;
  run({temp / L"src"}, temp / L"out");
  EXPECT_EQ(readFile(temp / L"src\\a.txt"), "source a");
  EXPECT_EQ(readFile(temp / L"out\\a.txt"), "target a");
  EXPECT_FALSE(fileExists(temp / L"src\\b.txt"));
  EXPECT_EQ(readFile(temp / L"out\\b.txt"), "source b");
  expectLines(log.lines(), {errorLine(texts::kErrMove, temp / L"src\\a.txt"),
                            transferLine(false, temp / L"src\\b.txt", temp / L"out\\b.txt")});
}

TEST_F(Transfer, MoveLeavesOlderCopiesWhereTheyAre) {
  writeFile(temp / L"src1\\a.txt", "old", ticksAt(1));
  writeFile(temp / L"src2\\a.txt", "new", ticksAt(2));
  options.method = TransferMethod::Move;
  run({temp / L"src1", temp / L"src2"}, temp / L"out");
  EXPECT_EQ(readFile(temp / L"src1\\a.txt"), "old");
  EXPECT_FALSE(fileExists(temp / L"src2\\a.txt"));
  EXPECT_EQ(readFile(temp / L"out\\a.txt"), "new");
}

TEST_F(Transfer, AFileNamedLikeAFolderBlocksItsSubtree) {
  writeFile(temp / L"src\\a.txt", "a");
  writeFile(temp / L"src\\sub\\x.txt", "x");
  writeFile(temp / L"src\\sub\\deeper\\y.txt", "y");
  writeFile(temp / L"src\\z\\z.txt", "z");
  writeFile(temp / L"out\\sub", "a file in the way");
  LogCapture log;
  run({temp / L"src"}, temp / L"out");
  EXPECT_EQ(listTree(temp / L"out"), (Names{L"a.txt", L"sub", L"z\\z.txt"}));
  EXPECT_EQ(readFile(temp / L"out\\sub"), "a file in the way");
  expectLines(log.lines(), {errorLine(texts::kErrCreateTarget, temp / L"out\\sub")});
}

TEST_F(Transfer, TimeStampsAreKept) {
  writeFile(temp / L"src\\a.txt", "a");
  uint64_t created = ticksAt(1000), accessed = ticksAt(3000), written = ticksAt(2000);
  setFileTimes(temp / L"src\\a.txt", created, accessed, written);
  TestFileTimes source = fileTimes(temp / L"src\\a.txt");
  options.keepTimeStamps = true;
  LogCapture log;
  run({temp / L"src"}, temp / L"out");
  TestFileTimes target = fileTimes(temp / L"out\\a.txt");
  EXPECT_EQ(target.written, written);
  EXPECT_EQ(target.accessed, accessed);
  // On a Linux file system Wine keeps no creation time: it drops the one
  // set and reports the last-write time instead, so the target's can only
  // be compared with what the source reports.
  EXPECT_EQ(target.created, source.created);
  EXPECT_TRUE(log.lines().empty());

  // Without keeping them, the copy's access time is its own.
  options.keepTimeStamps = false;
  run({temp / L"src"}, temp / L"out2");
  EXPECT_NE(fileTimes(temp / L"out2\\a.txt").accessed, accessed);
}

TEST_F(Transfer, TimeFailuresAreLoggedWithTheirPathForms) {
  writeFile(temp / L"src\\a.txt", "a", ticksAt(5));
  writeFile(temp / L"src\\b.txt", "b", ticksAt(5));
  options.keepTimeStamps = true;
  FolderTree tree;
  options.sources = {temp / L"src"};
  scanSources(options, tree);
  // a.txt is held open by another program after the scan; b.txt's target
  // goes (another program moves it away) just before its times are set.
  // (A copy sets them as it takes its name, so this is a move.)
  options.method = TransferMethod::Move;
  LockedFile lockedSource(temp / L"src\\a.txt");
  ASSERT_TRUE(lockedSource.locked());
  bool taken = false;
  setFileOperationHook([&](const wchar_t* operation, const std::wstring& path) {
    if (std::wstring(operation) == L"write")
      taken = MoveFileW(path.c_str(), (temp / L"taken.txt").c_str()) != FALSE;
  });
  LogCapture log;
  transferFolder(options, tree.root(), L"\\\\?\\" + temp.path() + L"\\out");
  ASSERT_TRUE(taken);
  EXPECT_EQ(readFile(temp / L"taken.txt"), "b");  // transferred all the same
  expectLines(log.lines(),
              {errorLine(texts::kErrOpenForRead, temp / L"src\\a.txt"),
               errorLine(texts::kErrOpenForWrite, L"\\\\?\\" + temp.path() + L"\\out\\b.txt")});
}

TEST_F(Transfer, FailedCopyKeepsTheOldTarget) {
  writeFile(temp / L"src\\a.txt", "new bytes");
  writeFile(temp / L"out\\a.txt", "old bytes");
  FolderTree tree;
  options.sources = {temp / L"src"};
  scanSources(options, tree);
  LockedFile lock(temp / L"src\\a.txt");
  ASSERT_TRUE(lock.locked());
  LogCapture log;
  transferFolder(options, tree.root(), L"\\\\?\\" + temp.path() + L"\\out");
  EXPECT_EQ(readFile(temp / L"out\\a.txt"), "old bytes");
  EXPECT_EQ(listFolder(temp / L"out"), Names{L"a.txt"});  // no temporary file left
  expectLines(log.lines(), {errorLine(texts::kErrCopy, temp / L"src\\a.txt")});
}

TEST_F(Transfer, CancelStopsBeforeTheNextFileAndFolder) {
  options.workers = 1;  // the exact stop of one thread; several: CancelWithSeveralWorkers
  writeFile(temp / L"src\\a.txt", "a");
  writeFile(temp / L"src\\b.txt", "b");
  writeFile(temp / L"src\\c.txt", "c");
  writeFile(temp / L"src\\sub\\d.txt", "d");
  setFileOperationHook([&](const wchar_t* operation, const std::wstring& path) {
    if (std::wstring(operation) == L"copy" && path.substr(path.size() - 5) == L"b.txt")
      runState.cancelRequested = true;
  });
  run({temp / L"src"}, temp / L"out");
  // The copy under way when the flag is set completes.
  EXPECT_EQ(listFolder(temp / L"out"), (Names{L"a.txt", L"b.txt"}));

  // Set before a node's files: its folder is still made, nothing goes in,
  // and no subfolder is made.
  setFileOperationHook(nullptr);
  runState.cancelRequested = false;
  FolderTree tree;
  options.sources = {temp / L"src"};
  scanSources(options, tree);
  runState.cancelRequested = true;
  transferFolder(options, tree.root(), L"\\\\?\\" + temp.path() + L"\\out2");
  EXPECT_TRUE(folderExists(temp / L"out2"));
  EXPECT_TRUE(listFolder(temp / L"out2").empty());
}

TEST_F(Transfer, CancelBetweenSubfolders) {
  options.workers = 1;
  writeFile(temp / L"src\\a\\x.txt", "x");
  writeFile(temp / L"src\\a\\y.txt", "y");
  writeFile(temp / L"src\\b\\z.txt", "z");
  setFileOperationHook([&](const wchar_t* operation, const std::wstring& path) {
    if (std::wstring(operation) == L"copy" && path.substr(path.size() - 5) == L"y.txt")
      runState.cancelRequested = true;
  });
  run({temp / L"src"}, temp / L"out");
  EXPECT_EQ(listTree(temp / L"out"), (Names{L"a\\x.txt", L"a\\y.txt"}));
  EXPECT_FALSE(folderExists(temp / L"out\\b"));
}

TEST_F(Transfer, TreesDeeperThanMaxPathAreCopied) {
  std::wstring relative;
  for (int level = 0; level < 5; ++level)
    relative += formatText(L"level%d-%s\\", level, std::wstring(60, L'x').c_str());
  writeFile(temp / (L"src\\" + relative + L"file.txt"), "deep");
  options.logTransfers = true;
  LogCapture log;
  run({temp / L"src"}, temp / L"out");
  std::wstring target = temp / (L"out\\" + relative + L"file.txt");
  ASSERT_GT(target.size(), 300u);
  EXPECT_EQ(readFile(target), "deep");
  expectLines(log.lines(),
              {transferLine(true, temp / (L"src\\" + relative + L"file.txt"), target)});
}

TEST_F(Transfer, DestinationFormsAreNormalised) {
  writeFile(temp / L"src\\a.txt", "a");
  options.logTransfers = true;
  std::wstring forward = temp.path() + L"/out1/";
  for (wchar_t& c : forward)
    if (c == L'\\') c = L'/';
  struct Case {
    std::wstring destination, shown;
  };
  const Case cases[] = {
      {temp.path() + L"\\out0\\", temp / L"out0"},
      {forward, temp / L"out1"},
      {temp.path() + L"\\out2\\.\\", temp / L"out2"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    run({temp / L"src"}, c.destination);
    EXPECT_EQ(readFile(c.shown + L"\\a.txt"), "a") << c.destination;
    expectLines(log.lines(), {transferLine(true, temp / L"src\\a.txt", c.shown + L"\\a.txt")});
  }
}

// Temporaries: only a name of the exact form a run makes counts as one.
// The scan leaves those out and gathers names that merely look alike; the
// transfer removes, from every folder it works in that was there before,
// those that nobody holds open (one notice line each), and leaves what a
// live run holds, users' files of similar names and every folder alone.
TEST_F(Transfer, OnlyTemporariesNobodyHoldsAreRemovedAndNoneIsGathered) {
  const std::wstring dead = L"~ostrelle-part-7ffffff0-00000001-00000000.tmp",
                     deadBelow = L"~ostrelle-part-7ffffff0-00000001-00000001.tmp",
                     held = L"~ostrelle-part-00000001-00000002-00000003.tmp";
  writeFile(temp / L"src\\a.txt", "a");
  writeFile(temp / L"src\\~ostrelle-notes.tmp", "a user's file");
  writeFile(temp / L"src\\~ostrelle-dead-beef.tmp", "a user's file too");
  writeFile(temp / (L"src\\" + dead), "half a copy");
  writeFile(temp / (L"src\\" + deadBelow + L"\\x.txt"), "a folder of that name is gathered");
  writeFile(temp / L"src\\sub\\b.txt", "b");
  writeFile(temp / (L"out\\" + dead), "dead");
  writeFile(temp / (L"out\\sub\\" + deadBelow), "dead, one level down, read-only");
  SetFileAttributesW((temp / (L"out\\sub\\" + deadBelow)).c_str(), FILE_ATTRIBUTE_READONLY);
  writeFile(temp / (L"out\\" + held), "held by a live run");
  writeFile(temp / L"out\\~ostrelle-dead-beef.tmp", "a user's file");
  writeFile(temp / L"out\\~OSTRELLE-1-2.TMP\\thesis.docx", "a user's folder");
  writeFile(temp / (L"out\\" + dead.substr(0, 37) + L"ABCD.tmp"), "capitals: not ours");
  writeFile(temp / (L"elsewhere\\" + dead), "not in the destination");
  options.logTransfers = true;
  LogCapture log;
  {
    LockedFile live(temp / (L"out\\" + held));
    ASSERT_TRUE(live.locked());
    run({temp / L"src"}, temp / L"out");
  }
  Names expected{L"a.txt",
                 L"sub\\b.txt",
                 deadBelow + L"\\x.txt",
                 held,
                 dead.substr(0, 37) + L"ABCD.tmp",
                 L"~OSTRELLE-1-2.TMP\\thesis.docx",
                 L"~ostrelle-dead-beef.tmp",
                 L"~ostrelle-notes.tmp"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listTree(temp / L"out"), expected);
  EXPECT_EQ(readFile(temp / L"out\\~ostrelle-dead-beef.tmp"), "a user's file too");
  EXPECT_EQ(readFile(temp / L"out\\~OSTRELLE-1-2.TMP\\thesis.docx"), "a user's folder");
  std::vector<LogLine> lines = log.lines();
  std::vector<LogLine> removals;
  for (const LogLine& line : lines)
    if (line.category == texts::kCategoryNotice) removals.push_back(line);
  expectLines(removals,
              {{texts::kCategoryNotice,
                formatText(texts::kDeadTemporaryRemoved, (temp / (L"out\\" + dead)).c_str())},
               {texts::kCategoryNotice, formatText(texts::kDeadTemporaryRemoved,
                                                   (temp / (L"out\\sub\\" + deadBelow)).c_str())}});
  EXPECT_EQ(lines.size(), 7u);  // and five copies
  EXPECT_TRUE(fileExists(temp / (L"elsewhere\\" + dead)));

  EXPECT_TRUE(isTemporaryName(dead));
  EXPECT_TRUE(isTemporaryName(newTemporaryPath(L"\\\\?\\C:\\x").substr(9)));
  for (const std::wstring& name :
       Names{L"~ostrelle-dead-beef.tmp", L"~ostrelle-1-2-3.tmp",
             L"~OSTRELLE-PART-7FFFFFF0-00000001-00000000.TMP", dead + L".txt", dead.substr(1),
             L"~ostrelle-part-7ffffff0-0000001-000000000.tmp",
             L"~ostrelle-part-7ffffff0-00000001-0000000g.tmp"})
    EXPECT_FALSE(isTemporaryName(name)) << name;
}

TEST_F(Transfer, DriveRootAsDestination) {
  // "C:\" becomes the base "C:"; the existence test must look at the root.
  std::wstring name = formatText(L"ostrelle-root-test-%lu", GetCurrentProcessId());
  writeFile(temp / (L"root-src\\" + name), "root");
  LogCapture log;
  run({temp / L"root-src"}, L"C:\\");
  EXPECT_EQ(readFile(L"C:\\" + name), "root");
  DeleteFileW((L"C:\\" + name).c_str());
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(Transfer, EmptyDestinationTransfersNothing) {
  writeFile(temp / L"src\\a.txt", "a");
  writeFile(temp / L"src\\sub\\b.txt", "b");
  LogCapture log;
  run({temp / L"src"}, L"");
  expectLines(log.lines(), {errorLine(texts::kErrCreateTarget, L"")});
  EXPECT_EQ(listTree(temp / L"src"), (Names{L"a.txt", L"sub\\b.txt"}));
}

TEST_F(Transfer, MissingParentOfTheDestination) {
  writeFile(temp / L"src\\a.txt", "a");
  LogCapture log;
  run({temp / L"src"}, temp / L"no\\such\\out");
  expectLines(log.lines(), {errorLine(texts::kErrCreateTarget, temp / L"no\\such\\out")});
  EXPECT_FALSE(folderExists(temp / L"no"));
}

TEST_F(Transfer, SourcesAreReadWhateverTheirSeparators) {
  writeFile(temp / L"src1\\sub\\a.txt", "a");
  writeFile(temp / L"src2\\b.txt", "b");
  std::wstring forward = temp.path() + L"/src2/";
  for (wchar_t& c : forward)
    if (c == L'\\') c = L'/';
  options.logTransfers = true;
  LogCapture log;
  run({temp.path() + L"\\src1\\", forward}, temp / L"out");
  EXPECT_EQ(listTree(temp / L"out"), (Names{L"b.txt", L"sub\\a.txt"}));
  // Log lines name a source as it was entered, then "\" and the names.
  expectLines(log.lines(), {transferLine(true, forward + L"\\b.txt", temp / L"out\\b.txt"),
                            transferLine(true, temp.path() + L"\\src1\\\\sub\\a.txt",
                                         temp / L"out\\sub\\a.txt")});
}

// Names the tool keeps apart but the file system takes for one (case beyond
// ASCII, full-width letters), and a file named like a folder of the same
// node.  The first file of each pair is held up as it starts; with several
// workers the one-thread order must still decide what the disk ends with.
TEST_F(Transfer, NamesTheFileSystemFoldsKeepTheirOneThreadOrder) {
  writeFile(temp / L"src1\\\u00c4.txt", "first \u00c4", ticksAt(1));                 // Ä
  writeFile(temp / L"src2\\\u00e4.txt", "then \u00e4", ticksAt(1));                  // ä
  writeFile(temp / L"src1\\\uff21.txt", "first \uff21", ticksAt(1));                 // full-width A
  writeFile(temp / L"src2\\\uff41.txt", "then \uff41", ticksAt(1));                  // full-width a
  writeFile(temp / L"src1\\\u00d6", "a file first", ticksAt(1));                     // Ö
  writeFile(temp / L"src2\\\u00f6\\deeper\\inner.txt", "never copied", ticksAt(1));  // ö
  options.logTransfers = true;
  std::vector<LogLine> logs[2];
  for (unsigned workers : {1u, 4u}) {
    SCOPED_TRACE(workers);
    options.workers = workers;
    std::wstring out = temp / formatText(L"out%u", workers);
    setFileOperationHook([](const wchar_t* operation, const std::wstring& path) {
      wchar_t last = path.back();
      if (std::wstring(operation) == L"copy" &&
          (last == L'\u00d6' || path.find(L"\u00c4.txt") != std::wstring::npos ||
           path.find(L"\uff21.txt") != std::wstring::npos))
        Sleep(300);
    });
    LogCapture log;
    run({temp / L"src1", temp / L"src2"}, out);
    setFileOperationHook(nullptr);
    // One file each: the later name's copy replaced the earlier one.
    Names files = listFolder(out);
    ASSERT_EQ(files.size(), 3u);
    for (const std::wstring& name : files) {
      wchar_t first = name[0];
      if (first == L'\u00c4' || first == L'\u00e4')
        EXPECT_EQ(readFile(out + L"\\" + name), "then \u00e4");
      else if (first == L'\uff21' || first == L'\uff41')
        EXPECT_EQ(readFile(out + L"\\" + name), "then \uff41");
      else
        EXPECT_EQ(readFile(out + L"\\" + name), "a file first");
    }
    EXPECT_FALSE(folderExists(out + L"\\\u00f6"));  // the file blocks the folder and its subtree
    logs[workers == 1 ? 0 : 1] = log.lines();
  }
  ASSERT_EQ(logs[0].size(), 6u);
  EXPECT_EQ(logs[0][5].category, texts::kCategoryError);
  for (LogLine& line : logs[1]) {
    size_t at = line.message.find(L"out4");
    if (at != std::wstring::npos) line.message.replace(at, 4, L"out1");
  }
  expectLines(logs[1], logs[0]);
}

// A cancel with several workers: nothing starts after it but the files
// workers had already taken, each started file completes, and the log lists
// exactly the files that were transferred, a prefix of the name order.
TEST_F(Transfer, CancelWithSeveralWorkers) {
  const unsigned workers = 4;
  const int count = 60;
  for (int i = 0; i < count; ++i) writeFile(temp / formatText(L"src\\f%02d.txt", i), "file");
  writeFile(temp / L"src\\sub\\later.txt", "later");
  options.workers = workers;
  options.logTransfers = true;
  std::atomic<int> startedAfterCancel{0};
  std::atomic<bool> cancelSeen{false};
  setFileOperationHook([&](const wchar_t* operation, const std::wstring& path) {
    if (std::wstring(operation) != L"copy") return;
    if (cancelSeen) ++startedAfterCancel;
    if (path.find(L"f20.txt") != std::wstring::npos) {
      runState.cancelRequested = true;
      cancelSeen = true;
      Sleep(100);  // the other workers go on meanwhile
    }
  });
  LogCapture log;
  run({temp / L"src"}, temp / L"out");
  setFileOperationHook(nullptr);
  std::vector<LogLine> lines = log.lines();
  Names copied = listFolder(temp / L"out");
  ASSERT_GE(lines.size(), 21u);
  ASSERT_EQ(lines.size(), copied.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    std::wstring name = formatText(L"f%02d.txt", static_cast<int>(i));
    EXPECT_EQ(copied[i], name);
    EXPECT_EQ(lines[i].message,
              transferLine(true, temp / (L"src\\" + name), temp / (L"out\\" + name)).message);
  }
  // Only what workers had taken before the flag was set may still start.
  EXPECT_LE(startedAfterCancel.load(), static_cast<int>(workers) - 1);
  EXPECT_FALSE(folderExists(temp / L"out\\sub"));
}

// Running out of memory inside a worker's file ends the transfer on the
// run's thread, as it does with one thread: the exception surfaces there,
// the transfer stops and every thread is gone afterwards.  (Files that other
// workers start while the exception unwinds still complete.)
TEST_F(Transfer, AnAllocationFailureInAWorkerEndsTheTransfer) {
  for (int i = 0; i < 100; ++i) writeFile(temp / formatText(L"src\\f%03d.txt", i), "file");
  writeFile(temp / L"src\\sub\\later.txt", "later");
  for (unsigned workers : {1u, 4u}) {
    SCOPED_TRACE(workers);
    options.workers = workers;
    setFileOperationHook([&](const wchar_t* operation, const std::wstring& path) {
      if (std::wstring(operation) == L"copy" && path.find(L"f010.txt") != std::wstring::npos)
        throw std::bad_alloc();
    });
    std::wstring out = temp / formatText(L"out%u", workers);
    EXPECT_THROW(run({temp / L"src"}, out), std::bad_alloc);
    setFileOperationHook(nullptr);
    EXPECT_FALSE(fileExists(out + L"\\f010.txt"));
    EXPECT_FALSE(folderExists(out + L"\\sub"));
    size_t copied = listFolder(out).size();
    EXPECT_LT(copied, 99u);
    if (workers == 1) {
      EXPECT_EQ(copied, 10u);
    }
  }
}

// Leaving out what the destination holds: only a file of the winner's size
// and last-write time is left alone, untouched (not even its attributes),
// with no line of its own; one line counts the files left out.  Everything
// else is copied as without the box, and a move never leaves anything out.
TEST_F(Transfer, ACopyLeavesOutOnlyTargetsOfTheSameSizeAndTime) {
  struct Target {
    const wchar_t* name;  // in name order
    std::string bytes;
    int64_t second;  // its last-write time
    bool folder, skipped;
  };
  const Target targets[] = {
      {L"an hour.txt", "12345", 100 + 3600, false, false},
      {L"folder.txt", "", 100, true, false},
      {L"missing.txt", "", 0, false, false},
      {L"newer.txt", "12345", 5000, false, false},
      {L"older.txt", "12345", 1, false, false},
      {L"other size.txt", "1234", 100, false, false},
      {L"other time.txt", "12345", 101, false, false},
      {L"same.txt", "12345", 100, false, true},
  };
  for (const Target& t : targets)
    writeFile(temp / (std::wstring(L"src\\") + t.name), "12345", ticksAt(100));
  options.skipSame = true;
  options.logTransfers = true;
  for (unsigned workers : {1u, 4u}) {
    SCOPED_TRACE(workers);
    options.workers = workers;
    std::wstring out = temp / formatText(L"out%u", workers);
    for (const Target& t : targets) {
      if (t.folder)
        makeFolders(out + L"\\" + t.name);
      else if (t.second)
        writeFile(out + L"\\" + t.name, t.bytes, ticksAt(t.second));
    }
    SetFileAttributesW((out + L"\\same.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
    DWORD attributes = GetFileAttributesW((out + L"\\same.txt").c_str());
    ASSERT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);
    LogCapture log;
    run({temp / L"src"}, out);
    std::vector<LogLine> due;
    for (const Target& t : targets) {
      std::wstring source = temp / (std::wstring(L"src\\") + t.name);
      if (t.folder) {
        due.push_back(errorLine(texts::kErrCopy, source));
      } else if (!t.skipped) {
        due.push_back(transferLine(true, source, out + L"\\" + t.name));
        EXPECT_EQ(readFile(out + L"\\" + t.name), "12345") << t.name;
      }
    }
    due.push_back({texts::kCategoryNotice, formatText(texts::kSkippedSame, 1u)});
    expectLines(log.lines(), due);
    // The file left out keeps what it had, its hidden attribute too.
    EXPECT_EQ(GetFileAttributesW((out + L"\\same.txt").c_str()), attributes);
  }
  const std::wstring line = L"設定情報【出力先と同じファイル】コピーしない\n";
  std::wstring header = formatSettingsHeader(options);
  EXPECT_EQ(header.rfind(line), header.size() - line.size()) << "one more line, after the nine";
  options.method = TransferMethod::Move;
  EXPECT_EQ(formatSettingsHeader(options).find(texts::kLabelSkipSame), std::wstring::npos);
}

// The precision of the volume decides: within 2 s on FAT (and where the
// volume does not say), 10 ms on exFAT, exact on NTFS; an hour is never the
// same, whatever the volume.
TEST(SameFile, TimesCompareAtTheVolumesPrecision) {
  EXPECT_EQ(timePrecisionOf(L"NTFS"), kExactTime);
  EXPECT_EQ(timePrecisionOf(L"ReFS"), kExactTime);
  EXPECT_EQ(timePrecisionOf(L"exFAT"), kExFatTime);
  for (const wchar_t* other : {L"FAT", L"FAT32", L"UDF", L""})
    EXPECT_EQ(timePrecisionOf(other), kFatTime) << other;
  const uint64_t t = ticksAt(1000);
  struct Case {
    uint64_t other, precision;
    bool same;
  };
  const Case cases[] = {
      {t, kExactTime, true},
      {t + 1, kExactTime, false},
      {t + 99999, kExFatTime, true},
      {t + 100000, kExFatTime, false},
      {t - 19999999, kFatTime, true},
      {t + 20000000, kFatTime, false},
      {t + 36000000000, kFatTime, false},
  };
  for (const Case& c : cases) EXPECT_EQ(sameTime(t, c.other, c.precision), c.same) << c.other;
  // On disk: a target a second off is the same file on FAT, not on NTFS.
  TempFolder temp;
  writeFile(temp / L"a.txt", "abc", ticksAt(1001));
  std::wstring target = L"\\\\?\\" + temp.path() + L"\\a.txt";
  EXPECT_TRUE(holdsSameFile(target, 3, t, kFatTime));
  EXPECT_FALSE(holdsSameFile(target, 3, t, kExactTime));
  EXPECT_FALSE(holdsSameFile(target, 4, ticksAt(1001), kFatTime));
  EXPECT_FALSE(holdsSameFile(L"\\\\?\\" + temp.path(), 0, t, kFatTime));  // a folder
}

// A destination that is a folder of a source under another path (a link
// here; 8.3 names, subst and mapped drives alike), and two sources that are
// one folder: the texts do not show it, the identities do.  Then a job's
// target may be another's source, and two opens of one file would meet:
// one file at a time, on the run's own thread.
TEST_F(Transfer, FoldersReachedByOtherPathsAreNotWorkedOnAtOnce) {
  for (int i = 0; i < 12; ++i) writeFile(temp / formatText(L"S\\f%02d.txt", i), "f");
  makeFolders(temp / L"S\\out");
  ASSERT_TRUE(makeFolderLink(temp / L"toOut", temp / L"S\\out"));
  ASSERT_TRUE(makeFolderLink(temp / L"toS", temp / L"S"));
  options.workers = 4;
  const DWORD self = GetCurrentThreadId();
  std::wstring counted = L"copy";
  std::atomic<int> elsewhere{0}, calls{0};
  setFileOperationHook([&](const wchar_t* operation, const std::wstring&) {
    if (operation != counted) return;
    ++calls;
    if (GetCurrentThreadId() != self) ++elsewhere;
  });
  run({temp / L"S"}, temp / L"toOut");
  EXPECT_EQ(calls.load(), 12);
  EXPECT_EQ(elsewhere.load(), 0) << "copies into a scanned folder ran on workers";
  EXPECT_TRUE(fileExists(temp / L"S\\out\\f11.txt"));
  counted = L"read";  // the scan's opens
  calls = 0;
  elsewhere = 0;
  run({temp / L"S", temp / L"toS"}, temp / L"out2");
  EXPECT_GT(calls.load(), 24);
  EXPECT_EQ(elsewhere.load(), 0) << "one folder as two sources was scanned on workers";
  setFileOperationHook(nullptr);
  removeFolderLink(temp / L"toOut");
  removeFolderLink(temp / L"toS");
}
