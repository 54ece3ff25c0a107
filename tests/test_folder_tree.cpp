#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <random>

#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "engine/file_ops.h"
#include "engine/folder_tree.h"
#include "engine/source_scan.h"
#include "support/log_capture.h"
#include "support/test_files.h"

// Heap bytes in use, counted through the global allocation functions, so the
// tree's cost per entry can be measured exactly.
namespace {
std::atomic<long long> heapInUse{0}, heapPeak{0};
}
void* operator new(size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  long long now = heapInUse += static_cast<long long>(_msize(p));
  for (long long peak = heapPeak; now > peak && !heapPeak.compare_exchange_weak(peak, now);) {
  }
  return p;
}
void operator delete(void* p) noexcept {
  if (!p) return;
  heapInUse -= static_cast<long long>(_msize(p));
  std::free(p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace {

RunOptions scanOptions(bool subfolders, bool ignoreHierarchy = false,
                       TimeCriterion criterion = TimeCriterion::Modified) {
  RunOptions options;
  options.includeSubfolders = subfolders;
  options.ignoreHierarchy = ignoreHierarchy;
  options.criterion = criterion;
  return options;
}

// Every entry of the tree as "folder\name*count=sourcePath", depth first.
void describe(const FolderNode& node, const std::wstring& prefix, std::vector<std::wstring>& out) {
  for (const FileEntry& e : node.files)
    out.push_back(prefix + std::wstring(e.nameView()) + L"*" + std::to_wstring(e.sourceCount) +
                  L"=" + e.sourcePath());
  for (const FolderNode& child : node.subfolders) {
    out.push_back(prefix + child.name + L"\\");
    describe(child, prefix + child.name + L"\\", out);
  }
}

std::vector<std::wstring> describe(const FolderTree& tree) {
  std::vector<std::wstring> out;
  describe(tree.root(), L"", out);
  return out;
}

std::wstring entry(const std::wstring& relative, int count, const std::wstring& path) {
  return relative + L"*" + std::to_wstring(count) + L"=" + path;
}

LogLine errorLine(const wchar_t* format, const std::wstring& path) {
  return {texts::kCategoryError, formatText(format, path.c_str())};
}

void expectLines(const std::vector<LogLine>& actual, const std::vector<LogLine>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i) {
    EXPECT_EQ(actual[i].category, expected[i].category) << i;
    EXPECT_EQ(actual[i].message, expected[i].message) << i;
  }
}

// Scans the sources in order and finishes the tree, as a run does.
std::vector<std::wstring> scan(FolderTree& tree, RunOptions options,
                               std::vector<std::wstring> sources) {
  options.sources = std::move(sources);
  scanSources(options, tree);
  return describe(tree);
}

class Scan : public ::testing::Test {
 protected:
  void TearDown() override {
    setFileOperationHook(nullptr);
    runState.cancelRequested = false;
  }
  TempFolder temp;
  FolderTree tree;
};

}  // namespace

// ---- Merging without the file system --------------------------------------

TEST(Merge, FindByNameReportsPositionsInNameOrder) {
  FolderTree tree;
  const ScannedFolder* folder = tree.storeFolder(L"C:\\f");
  const std::vector<FileEntry>& files = tree.root().files;
  EXPECT_FALSE(findByName(files, L"a").found);
  EXPECT_EQ(findByName(files, L"a").position, 0u);
  for (const wchar_t* name : {L"\u00e4", L"c", L"b.txt", L"B"})
    addFileCopy(tree, tree.root(), folder, name, 1);
  finishScan(tree);  // B, b.txt, c, ä
  struct Case {
    const wchar_t* name;
    bool found;
    size_t position;
  };
  const Case cases[] = {
      {L"B.TXT", true, 1},  {L"b", true, 0},       {L"bb", false, 2},     {L"A", false, 0},
      {L"_", false, 0},     {L"z", false, 3},      {L"\u00c4", false, 3},  // Ä: after z, before ä
      {L"\u00e4", true, 3}, {L"\uff41", false, 4},
  };
  for (const Case& c : cases) {
    Lookup lookup = findByName(files, c.name);
    EXPECT_EQ(lookup.found, c.found) << c.name;
    EXPECT_EQ(lookup.position, c.position) << c.name;
  }
}

TEST(Merge, CriterionChoosesTheWinner) {
  struct Case {
    TimeCriterion criterion;
    uint64_t c1, w1, c2, w2;
    bool secondWins;
  };
  const Case cases[] = {
      {TimeCriterion::Modified, 10, 50, 40, 30, false},
      {TimeCriterion::Created, 10, 50, 40, 30, true},
      {TimeCriterion::Both, 10, 50, 40, 30, false},  // 50 against 40
      {TimeCriterion::Both, 10, 50, 60, 20, true},   // 60 against 50
      {TimeCriterion::Both, 50, 10, 20, 50, false},  // equal: the first stays
      {TimeCriterion::Created, 5, 0, 5, 99, false},
  };
  for (const Case& c : cases) {
    FolderTree tree;
    const ScannedFolder* first = tree.storeFolder(L"C:\\one");
    const ScannedFolder* second = tree.storeFolder(L"C:\\two");
    uint64_t t1 = chooseCompareTime(c.criterion, toFileTime(c.c1), toFileTime(c.w1));
    uint64_t t2 = chooseCompareTime(c.criterion, toFileTime(c.c2), toFileTime(c.w2));
    addFileCopy(tree, tree.root(), first, L"a.txt", t1);
    addFileCopy(tree, tree.root(), second, L"A.TXT", t2);
    finishScan(tree);
    ASSERT_EQ(tree.root().files.size(), 1u);
    const FileEntry& e = tree.root().files[0];
    EXPECT_EQ(e.sourceCount, 2);
    EXPECT_EQ(e.sourcePath(), c.secondWins ? L"C:\\two\\A.TXT" : L"C:\\one\\a.txt")
        << static_cast<int>(c.criterion) << " " << c.c2 << " " << c.w2;
    EXPECT_EQ(e.compareTime, c.secondWins ? t2 : t1);
  }
}

TEST(Merge, SameNamedFoldersMergeKeepingTheFirstName) {
  FolderTree tree;
  const ScannedFolder* f1 = tree.storeFolder(L"C:\\1");
  const ScannedFolder* f2 = tree.storeFolder(L"C:\\2");
  const ScannedFolder* f3 = tree.storeFolder(L"C:\\3");
  FolderNode& root = tree.root();
  auto child = [](FolderNode& parent, const wchar_t* name) -> FolderNode& {
    parent.subfolders.emplace_back();
    parent.subfolders.back().name = name;
    return parent.subfolders.back();
  };
  addFileCopy(tree, child(root, L"Sub"), f1, L"a", 5);
  child(root, L"x");
  FolderNode& second = child(root, L"sub");
  addFileCopy(tree, second, f2, L"a", 5);  // equal time: the first copy stays
  addFileCopy(tree, child(second, L"deep"), f2, L"f", 1);
  FolderNode& third = child(root, L"SUB");
  addFileCopy(tree, child(third, L"Deep"), f3, L"g", 1);
  addFileCopy(tree, third, f3, L"a", 6);  // newer: replaces the winner
  finishScan(tree);
  EXPECT_EQ(describe(tree), (std::vector<std::wstring>{
                                L"Sub\\",
                                entry(L"Sub\\a", 3, L"C:\\3\\a"),
                                L"Sub\\deep\\",
                                entry(L"Sub\\deep\\f", 1, L"C:\\2\\f"),
                                entry(L"Sub\\deep\\g", 1, L"C:\\3\\g"),
                                L"x\\",
                            }));
}

// One node collecting many copies (as with ignore hierarchy) must end
// exactly as inserting them one at a time in the order met.
TEST(Merge, LargeNodeEqualsOneAtATimeInsertion) {
  struct Winner {
    std::wstring name;
    const ScannedFolder* folder;
    uint64_t time;
    int count;
  };
  struct FoldedLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
      return compareNames(a, b) < 0;
    }
  };
  FolderTree tree;
  std::vector<const ScannedFolder*> folders;
  for (int i = 0; i < 40; ++i) folders.push_back(tree.storeFolder(L"C:\\src" + std::to_wstring(i)));
  std::mt19937 random(12345);
  const wchar_t extra[] = {L'a', L'Z', L'_', L'\u00e4', L'\u00c4', L'\uff41', L'\xd83d'};
  std::vector<std::wstring> names;
  for (int i = 0; i < 100000; ++i) {
    std::wstring name = L"n" + std::to_wstring(random() % 1000000);
    name += extra[random() % 7];
    names.push_back(name);
  }
  std::map<std::wstring, Winner, FoldedLess> reference;
  const int copies = 300000;
  for (int i = 0; i < copies; ++i) {
    std::wstring name = names[random() % names.size()];
    for (wchar_t& ch : name)  // another case of the ASCII letters
      if (random() % 2 && ch >= L'a' && ch <= L'z') ch = static_cast<wchar_t>(ch - 32);
    const ScannedFolder* folder = folders[random() % folders.size()];
    uint64_t time = random() % 8;  // many ties
    addFileCopy(tree, tree.root(), folder, name, time);
    auto found = reference.find(name);
    if (found == reference.end()) {
      reference.emplace(name, Winner{name, folder, time, 1});
    } else {
      ++found->second.count;
      if (time > found->second.time) found->second = {name, folder, time, found->second.count};
    }
  }
  auto start = std::chrono::steady_clock::now();
  finishScan(tree);
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count();
  std::printf("finishScan of %d copies: %lld ms\n", copies, static_cast<long long>(elapsed));
  EXPECT_LT(elapsed, 5000);  // one-at-a-time array insertion would take minutes

  const std::vector<FileEntry>& files = tree.root().files;
  ASSERT_EQ(files.size(), reference.size());
  size_t i = 0;
  for (const auto& [key, winner] : reference) {
    const FileEntry& e = files[i++];
    ASSERT_EQ(std::wstring(e.nameView()), winner.name) << i;
    ASSERT_EQ(e.folder, winner.folder) << i;
    ASSERT_EQ(e.compareTime, winner.time) << i;
    ASSERT_EQ(e.sourceCount, winner.count) << i;
  }
}

// A 32-bit process has to hold a million entries: each costs its name and
// a fixed record (of pointers, so a 64-bit test build pays more for them),
// which carries the winner's size and last-write time besides its own.
TEST(Merge, MillionEntriesCostTheirNameAndAFewWords) {
  long long before = heapInUse;
  heapPeak = before;
  size_t textBytes = 0;
  long long used = 0;
  double perEntry = 0, peakPerEntry = 0;
  {
    FolderTree tree;
    for (int f = 0; f < 1000; ++f) {
      const ScannedFolder* folder =
          tree.storeFolder(formatText(L"C:\\data\\archive\\folder-%04d", f));
      for (int i = 999; i >= 0; --i) {
        std::wstring name = formatText(L"file-%03d-%03d.txt", i, f);
        textBytes += (name.size() + 1) * sizeof(wchar_t);
        addFileCopy(tree, tree.root(), folder, name, static_cast<uint64_t>(i));
      }
    }
    finishScan(tree);
    ASSERT_EQ(tree.root().files.size(), 1000000u);
    used = heapInUse - before;
    perEntry = static_cast<double>(used - static_cast<long long>(textBytes)) / 1e6;
    peakPerEntry = static_cast<double>(heapPeak - before - static_cast<long long>(textBytes)) / 1e6;
    EXPECT_EQ(tree.root().files.front().sourcePath(),
              L"C:\\data\\archive\\folder-0000\\file-000-000.txt");
  }
  EXPECT_LE(heapInUse - before, 0);  // everything released
  // Printed only now: the first output allocates the stream's buffer.
  std::printf(
      "1,000,000 entries: %lld bytes on the heap, %.1f bytes each besides the name"
      " (peak %.1f)\n",
      used, perEntry, peakPerEntry);
  EXPECT_LT(perEntry, sizeof(void*) == 4 ? 48.0 : 56.0);
}

// ---- Scanning real folders ------------------------------------------------

TEST_F(Scan, TieAcrossSourcesKeepsTheEarlierSource) {
  writeFile(temp / L"src1\\a.txt", "1", ticksAt(100));
  writeFile(temp / L"src2\\a.txt", "2", ticksAt(100));
  writeFile(temp / L"src2\\b.txt", "2", ticksAt(100));
  writeFile(temp / L"src3\\b.txt", "3", ticksAt(101));
  LogCapture log;
  EXPECT_EQ(scan(tree, scanOptions(false), {temp / L"src1", temp / L"src2", temp / L"src3"}),
            (std::vector<std::wstring>{entry(L"a.txt", 2, temp / L"src1\\a.txt"),
                                       entry(L"b.txt", 2, temp / L"src3\\b.txt")}));
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(Scan, OnlyAsciiLettersFold) {
  struct Case {
    uint64_t firstTime, secondTime;
    const wchar_t* winner;
  };
  for (const Case& c : {Case{100, 200, L"src2\\report.txt"}, Case{200, 100, L"src1\\Report.TXT"}}) {
    TempFolder folder;
    FolderTree t;
    writeFile(folder / L"src1\\Report.TXT", "1", ticksAt(c.firstTime));
    writeFile(folder / L"src2\\report.txt", "2", ticksAt(c.secondTime));
    std::wstring winner = folder / c.winner;
    EXPECT_EQ(
        scan(t, scanOptions(false), {folder / L"src1", folder / L"src2"}),
        (std::vector<std::wstring>{entry(winner.substr(winner.rfind(L'\\') + 1), 2, winner)}));
  }
  writeFile(temp / L"src1\\\u00c4.txt", "1");
  writeFile(temp / L"src2\\\u00e4.txt", "2");
  EXPECT_EQ(scan(tree, scanOptions(false), {temp / L"src1", temp / L"src2"}),
            (std::vector<std::wstring>{entry(L"\u00c4.txt", 1, temp / L"src1\\\u00c4.txt"),
                                       entry(L"\u00e4.txt", 1, temp / L"src2\\\u00e4.txt")}));
}

TEST_F(Scan, SubfoldersMergeOrFlattenOrAreIgnored) {
  writeFile(temp / L"src1\\x", "1", ticksAt(1));
  writeFile(temp / L"src1\\sub\\x", "2", ticksAt(3));
  writeFile(temp / L"src2\\sub\\x", "3", ticksAt(2));
  writeFile(temp / L"src2\\sub\\deeper\\y", "4", ticksAt(2));
  makeFolders(temp / L"src2\\empty");
  makeFolders(temp / L"folders-only\\a");
  std::wstring s1 = temp / L"src1", s2 = temp / L"src2";
  LogCapture log;
  {
    FolderTree t;
    EXPECT_EQ(scan(t, scanOptions(true), {s1, s2}),
              (std::vector<std::wstring>{entry(L"x", 1, s1 + L"\\x"), L"empty\\", L"sub\\",
                                         entry(L"sub\\x", 2, s1 + L"\\sub\\x"), L"sub\\deeper\\",
                                         entry(L"sub\\deeper\\y", 1, s2 + L"\\sub\\deeper\\y")}));
  }
  {
    FolderTree t;  // every copy of every depth in the root
    EXPECT_EQ(scan(t, scanOptions(true, true), {s1, s2}),
              (std::vector<std::wstring>{entry(L"x", 3, s1 + L"\\sub\\x"),
                                         entry(L"y", 1, s2 + L"\\sub\\deeper\\y")}));
  }
  {
    FolderTree t;  // ignore hierarchy means nothing without subfolders
    EXPECT_EQ(scan(t, scanOptions(false, true), {s1, s2, temp / L"folders-only"}),
              (std::vector<std::wstring>{entry(L"x", 1, s1 + L"\\x")}));
  }
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(Scan, UnreadableFilesAndFoldersBecomeErrorLines) {
  writeFile(temp / L"src1\\a.txt", "1", ticksAt(300));
  writeFile(temp / L"src1\\b.txt", "1", ticksAt(300));
  writeFile(temp / L"src2\\a.txt", "2", ticksAt(100));
  writeFile(temp / L"plain-file", "f");
  makeFolders(temp / L"empty");
  LockedFile lock(temp / L"src1\\a.txt");
  ASSERT_TRUE(lock.locked());
  LogCapture log;
  std::wstring missing = temp.path() + L"/missing";  // logged exactly as entered
  EXPECT_EQ(scan(tree, scanOptions(true),
                 {temp / L"src1", missing, temp / L"plain-file", temp / L"empty", temp / L"src2"}),
            (std::vector<std::wstring>{entry(L"a.txt", 1, temp / L"src2\\a.txt"),
                                       entry(L"b.txt", 1, temp / L"src1\\b.txt")}));
  expectLines(log.lines(), {errorLine(texts::kErrOpenForRead, temp / L"src1\\a.txt"),
                            errorLine(texts::kErrSetCurrentFolder, missing),
                            errorLine(texts::kErrSetCurrentFolder, temp / L"plain-file")});
}

TEST_F(Scan, CancelStopsBeforeTheNextEntryAndFolder) {
  writeFile(temp / L"src1\\a.txt", "a");
  writeFile(temp / L"src1\\b.txt", "b");
  writeFile(temp / L"src1\\c.txt", "c");
  writeFile(temp / L"src1\\sub\\d.txt", "d");
  writeFile(temp / L"src2\\e.txt", "e");
  std::vector<std::wstring> read;
  setFileOperationHook([&](const wchar_t*, const std::wstring& path) {
    read.push_back(path.substr(path.rfind(L'\\') + 1));
    if (read.back() == L"b.txt") runState.cancelRequested = true;
  });
  LogCapture log;
  // b.txt, being handled when the flag is set, is finished; nothing after it
  // is fetched, entered or scanned.  (With several workers the opens run
  // behind the enumeration, which then goes further.)
  RunOptions options = scanOptions(true);
  options.workers = 1;
  EXPECT_EQ(scan(tree, options, {temp / L"src1", temp / L"missing", temp / L"src2"}),
            (std::vector<std::wstring>{entry(L"a.txt", 1, temp / L"src1\\a.txt"),
                                       entry(L"b.txt", 1, temp / L"src1\\b.txt")}));
  EXPECT_EQ(read, (std::vector<std::wstring>{L"a.txt", L"b.txt"}));
  EXPECT_TRUE(log.lines().empty());  // not even the missing source's line
}

// Several sources scanned at the same time give the one-thread tree and
// lines; a cancel in the first source leaves the later ones out entirely,
// as a one-thread scan never reached them.
TEST_F(Scan, SourcesScannedTogetherGiveTheOneThreadTreeAndLines) {
  for (int s = 1; s <= 3; ++s) {
    for (const wchar_t* name : {L"a.txt", L"sub\\b.txt", L"sub\\deeper\\c.txt"})
      writeFile(temp / formatText(L"src%d\\%s", s, name), "x", ticksAt(10 - s % 2));
    writeFile(temp / formatText(L"src%d\\only%d.txt", s, s), "x", ticksAt(s));
    writeFile(temp / formatText(L"src%d\\held.txt", s), "x", ticksAt(s));
  }
  LockedFile held1(temp / L"src1\\held.txt"), held3(temp / L"src3\\held.txt");
  ASSERT_TRUE(held1.locked() && held3.locked());
  std::vector<std::wstring> sources = {temp / L"src1", temp / L"missing", temp / L"src2",
                                       temp / L"src3"};
  std::vector<std::wstring> trees[2];
  std::vector<LogLine> lines[2];
  for (unsigned workers : {1u, 4u}) {
    SCOPED_TRACE(workers);
    RunOptions options = scanOptions(true);
    options.workers = workers;
    FolderTree scanned;
    LogCapture log;
    trees[workers == 1 ? 0 : 1] = scan(scanned, options, sources);
    lines[workers == 1 ? 0 : 1] = log.lines();
  }
  EXPECT_EQ(trees[1], trees[0]);
  ASSERT_EQ(lines[0].size(), 3u);
  expectLines(lines[1], lines[0]);

  // A cancel while the first source is read, once the others have read
  // files of theirs: none of what they found counts.
  std::atomic<bool> cancelSet{false};
  std::atomic<int> othersRead{0};
  setFileOperationHook([&](const wchar_t*, const std::wstring& path) {
    if (path.find(L"src1") == std::wstring::npos) {
      ++othersRead;
      return;
    }
    if (path.find(L"only1.txt") != std::wstring::npos) {
      for (int wait = 0; wait < 500 && othersRead < 2; ++wait) Sleep(10);
      runState.cancelRequested = true;
      cancelSet = true;
    }
  });
  RunOptions options = scanOptions(true);
  options.workers = 4;
  FolderTree cut;
  LogCapture log;
  std::vector<std::wstring> entries = scan(cut, options, sources);
  ASSERT_TRUE(cancelSet);
  ASSERT_GE(othersRead, 2) << "the other sources were not read at the same time";
  for (const std::wstring& entry : entries)
    EXPECT_EQ(entry.find(L"src2"), std::wstring::npos) << entry;
  for (const LogLine& line : log.lines())
    EXPECT_NE(line.message.find(L"src1"), std::wstring::npos) << toUtf8(line.message);
}

TEST_F(Scan, CancelInsideASubfolderLeavesTheRestUnvisited) {
  writeFile(temp / L"src\\a\\x.txt", "x");
  writeFile(temp / L"src\\a\\y.txt", "y");
  writeFile(temp / L"src\\b\\z.txt", "z");
  writeFile(temp / L"src\\c.txt", "c");
  setFileOperationHook([&](const wchar_t*, const std::wstring& path) {
    if (path.size() >= 5 && path.substr(path.size() - 5) == L"x.txt")
      runState.cancelRequested = true;
  });
  RunOptions options = scanOptions(true);
  options.workers = 1;
  EXPECT_EQ(scan(tree, options, {temp / L"src"}),
            (std::vector<std::wstring>{L"a\\", entry(L"a\\x.txt", 1, temp / L"src\\a\\x.txt")}));
}

TEST_F(Scan, SourceTreesDeeperThanMaxPathAreRead) {
  std::wstring deep = temp / L"src";
  std::wstring relative;
  for (int level = 0; level < 5; ++level) {
    std::wstring name = formatText(L"level%d-%s", level, std::wstring(60, L'x').c_str());
    deep += L"\\" + name;
    relative += name + L"\\";
  }
  ASSERT_GT(deep.size(), 300u);
  writeFile(deep + L"\\file.txt", "deep", ticksAt(5));
  writeFile(deep + L"\\locked.txt", "deep", ticksAt(5));
  LockedFile lock(deep + L"\\locked.txt");
  ASSERT_TRUE(lock.locked());
  LogCapture log;
  std::vector<std::wstring> tree1 = scan(tree, scanOptions(true), {temp / L"src"});
  ASSERT_EQ(tree1.size(), 6u);
  EXPECT_EQ(tree1.back(), entry(relative + L"file.txt", 1, deep + L"\\file.txt"));
  expectLines(log.lines(), {errorLine(texts::kErrOpenForRead, deep + L"\\locked.txt")});
}

TEST_F(Scan, CancelledBeforehandTouchesNothing) {
  writeFile(temp / L"src\\a.txt", "a");
  runState.cancelRequested = true;
  LogCapture log;
  EXPECT_TRUE(scan(tree, scanOptions(true), {temp / L"missing", temp / L"src"}).empty());
  EXPECT_TRUE(log.lines().empty());
}

// Many batches of opens, locked files among them and an unreadable source
// between two others: several workers give the tree and the error lines of
// one, in the same order.
TEST_F(Scan, SeveralWorkersGiveTheOneThreadTreeAndLines) {
  std::vector<std::unique_ptr<LockedFile>> locks;
  for (int folder = 0; folder < 5; ++folder)
    for (int file = 0; file < 30; ++file) {
      std::wstring name = formatText(L"src1\\d%d\\f%02d.txt", folder, file);
      writeFile(temp / name, "1", ticksAt(folder * 100 + file));
      if ((folder * 30 + file) % 37 == 3)
        locks.push_back(std::make_unique<LockedFile>(temp / name));
    }
  for (int file = 0; file < 40; ++file)
    writeFile(temp / formatText(L"src2\\d1\\f%02d.txt", file), "2", ticksAt(150 - file));
  locks.push_back(std::make_unique<LockedFile>(temp / L"src2\\d1\\f39.txt"));
  for (const auto& lock : locks) ASSERT_TRUE(lock->locked());

  std::vector<std::wstring> trees[2];
  std::vector<LogLine> lines[2];
  for (int k = 0; k < 2; ++k) {
    RunOptions options = scanOptions(true);
    options.workers = k == 0 ? 1 : 4;
    FolderTree t;
    LogCapture log;
    trees[k] = scan(t, options, {temp / L"src1", temp / L"missing", temp / L"src2"});
    lines[k] = log.lines();
  }
  EXPECT_EQ(trees[1], trees[0]);
  ASSERT_EQ(lines[0].size(), 6u);  // four locked in src1, the missing source, one in src2
  EXPECT_EQ(lines[0][4].message, errorLine(texts::kErrSetCurrentFolder, temp / L"missing").message);
  expectLines(lines[1], lines[0]);
  // The locked copies are left out: src1's d1\f10.txt and src2's d1\f39.txt.
  EXPECT_NE(std::find(trees[0].begin(), trees[0].end(),
                      entry(L"d1\\f10.txt", 1, temp / L"src2\\d1\\f10.txt")),
            trees[0].end());
  for (const std::wstring& e : trees[0]) EXPECT_EQ(e.find(L"f39"), std::wstring::npos) << e;
}
