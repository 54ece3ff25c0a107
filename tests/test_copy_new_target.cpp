// Copies to a target that does not exist yet go straight to its name; every
// failure must still leave the destination as it was.  The disk-full case
// needs the small file system that scripts/test.sh mounts (OSTRELLE_DISKFULL)
// and is skipped without it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "base/texts.h"
#include "engine/file_copy.h"
#include "engine/file_ops.h"
#include "engine/file_placement.h"
#include "engine/folder_tree.h"
#include "engine/native_file.h"
#include "engine/source_scan.h"
#include "engine/transfer.h"
#include "support/log_capture.h"
#include "support/test_files.h"

namespace {

std::wstring longForm(const std::wstring& path) { return L"\\\\?\\" + path; }

}  // namespace

TEST(CopyNewTarget, CopyArrivesUnderItsNameWithItsTimeAndNothingElse) {
  TempFolder temp;
  writeFile(temp / L"src\\a.txt", "source bytes", ticksAt(300));
  makeFolders(temp / L"dst");
  ASSERT_TRUE(copyFileSafely(temp / L"src\\a.txt", longForm(temp / L"dst\\a.txt")));
  EXPECT_EQ(readFile(temp / L"dst\\a.txt"), "source bytes");
  EXPECT_EQ(fileTimes(temp / L"dst\\a.txt").written, ticksAt(300));
  EXPECT_EQ(listFolder(temp / L"dst"), std::vector<std::wstring>{L"a.txt"});

  // Times asked for arrive with a new name, and with the rename over an
  // existing file; after the platform's replace, which keeps the old
  // creation time, they are left to the caller.
  FileTimes times;
  times.created = toFileTime(ticksAt(10));
  times.accessed = toFileTime(ticksAt(20));
  times.written = toFileTime(ticksAt(30));
  bool timesSet = false;
  ASSERT_TRUE(
      copyFileSafely(temp / L"src\\a.txt", longForm(temp / L"dst\\b.txt"), &times, &timesSet));
  EXPECT_TRUE(timesSet);
  TestFileTimes b = fileTimes(temp / L"dst\\b.txt");
  EXPECT_EQ(b.written, ticksAt(30));
  EXPECT_EQ(b.accessed, ticksAt(20));
  for (ReplaceMethod method : {ReplaceMethod::Rename, ReplaceMethod::Platform}) {
    setReplaceMethod(method);
    writeFile(temp / L"dst\\a.txt", "old", ticksAt(0));
    ASSERT_TRUE(
        copyFileSafely(temp / L"src\\a.txt", longForm(temp / L"dst\\a.txt"), &times, &timesSet));
    EXPECT_EQ(timesSet, method == ReplaceMethod::Rename);
    if (timesSet) {
      EXPECT_EQ(fileTimes(temp / L"dst\\a.txt").written, ticksAt(30));
    }
    EXPECT_EQ(readFile(temp / L"dst\\a.txt"), "source bytes");
    EXPECT_EQ(listFolder(temp / L"dst"), (std::vector<std::wstring>{L"a.txt", L"b.txt"}));
  }
  setReplaceMethod(ReplaceMethod::Automatic);
}

// The source cannot be read: no target may appear, and a file that already
// has the name in another case is neither replaced nor removed.
TEST(CopyNewTarget, UnreadableSourceLeavesNoTarget) {
  TempFolder temp;
  writeFile(temp / L"src\\a.txt", "source");
  writeFile(temp / L"dst\\B.TXT", "kept");
  writeFile(temp / L"src\\b.txt", "other source");
  {
    LockedFile lockA(temp / L"src\\a.txt"), lockB(temp / L"src\\b.txt");
    ASSERT_TRUE(lockA.locked() && lockB.locked());
    EXPECT_FALSE(copyFileSafely(temp / L"src\\a.txt", longForm(temp / L"dst\\a.txt")));
    EXPECT_FALSE(copyFileSafely(temp / L"src\\b.txt", longForm(temp / L"dst\\b.txt")));
  }
  EXPECT_EQ(listFolder(temp / L"dst"), std::vector<std::wstring>{L"B.TXT"});
  EXPECT_EQ(readFile(temp / L"dst\\B.TXT"), "kept");
}

// The transfer's copy reads the source's times through the open it copies
// through: all three arrive with the new name, with the attributes, for a
// file larger than one read too; a source another program holds is not
// opened when times are kept, and fails the copy when they are not.
TEST(CopyNewTarget, TransferCopyTakesTimesAndAttributesFromItsOneOpen) {
  TempFolder temp;
  std::string big(3 * 1024 * 1024 + 17, 'b');
  for (size_t i = 0; i < big.size(); i += 4099) big[i] = static_cast<char>('a' + i % 26);
  writeFile(temp / L"src\\big.bin", big, ticksAt(400));
  writeFile(temp / L"src\\hidden.txt", "hidden and read-only", ticksAt(500));
  ASSERT_TRUE(SetFileAttributesW((temp / L"src\\hidden.txt").c_str(),
                                 FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
  makeFolders(temp / L"dst");
  for (const wchar_t* name : {L"big.bin", L"hidden.txt"}) {
    SCOPED_TRACE(name);
    std::wstring source = temp / (std::wstring(L"src\\") + name);
    uint64_t size = readFile(source).size();  // reading touches the access time
    TestFileTimes before = fileTimes(source);
    FileTimes times;
    bool timesSet = false;
    // The big one above the size from which others may read it meanwhile.
    ASSERT_EQ(copySourceFile(source, longForm(temp / (std::wstring(L"dst\\") + name)), &times,
                             &timesSet, size),
              CopyOutcome::Copied);
    EXPECT_TRUE(timesSet);
    TestFileTimes after = fileTimes(temp / (std::wstring(L"dst\\") + name));
    EXPECT_EQ(after.written, before.written);
    EXPECT_EQ(after.accessed, before.accessed);
    EXPECT_EQ(after.created, before.created);
    EXPECT_EQ(times.written.dwLowDateTime, toFileTime(before.written).dwLowDateTime);
    EXPECT_EQ(GetFileAttributesW((temp / (std::wstring(L"dst\\") + name)).c_str()),
              GetFileAttributesW(source.c_str()));
  }
  EXPECT_EQ(readFile(temp / L"dst\\big.bin"), big);
  EXPECT_EQ(readFile(temp / L"dst\\hidden.txt"), "hidden and read-only");

  writeFile(temp / L"src\\held.txt", "held");
  LockedFile lock(temp / L"src\\held.txt");
  ASSERT_TRUE(lock.locked());
  FileTimes times;
  bool timesSet = true;
  EXPECT_EQ(
      copySourceFile(temp / L"src\\held.txt", longForm(temp / L"dst\\held.txt"), &times, &timesSet),
      CopyOutcome::SourceNotOpened);
  EXPECT_FALSE(timesSet);
  EXPECT_EQ(copySourceFile(temp / L"src\\held.txt", longForm(temp / L"dst\\held.txt"), nullptr,
                           &timesSet),
            CopyOutcome::Failed);
  EXPECT_EQ(listFolder(temp / L"dst"), (std::vector<std::wstring>{L"big.bin", L"hidden.txt"}));
}

// A target folder on another volume than the destination's top (a link or
// a mounted folder below it): the copy is made in the target's own folder,
// so it takes its name there in one step.  Needs the second volume
// scripts/test.sh mounts (OSTRELLE_OTHER_VOLUME).
TEST(CopyNewTarget, TargetFolderOnAnotherVolumeIsCopiedBesideIt) {
  std::wstring other = folderFromEnvironment("OSTRELLE_OTHER_VOLUME");
  if (other.empty()) GTEST_SKIP() << "OSTRELLE_OTHER_VOLUME is not set: no second volume mounted";
  TempFolder temp;
  std::wstring away = formatText(L"%s\\beside-%lu", other.c_str(), GetCurrentProcessId());
  makeFolders(away);
  makeFolders(temp / L"dst");
  ASSERT_TRUE(makeFolderLink(temp / L"dst\\linked", away));
  writeFile(temp / L"src\\a.txt", "across volumes", ticksAt(700));
  FileTimes times;
  bool timesSet = false;
  EXPECT_EQ(copySourceFile(temp / L"src\\a.txt", longForm(temp / L"dst\\linked\\a.txt"), &times,
                           &timesSet),
            CopyOutcome::Copied);
  EXPECT_TRUE(timesSet);
  EXPECT_EQ(readFile(away + L"\\a.txt"), "across volumes");
  EXPECT_EQ(fileTimes(away + L"\\a.txt").written, ticksAt(700));
  EXPECT_EQ(listFolder(away), std::vector<std::wstring>{L"a.txt"});
  EXPECT_EQ(listFolder(temp / L"dst"), std::vector<std::wstring>{L"linked"});
  removeFolderLink(temp / L"dst\\linked");
  removeTree(away);
}

// The answers of the stream query that let a file be copied as its data
// alone, and those that send it to CopyFileW.
TEST(CopyNewTarget, OnlyTheDataStreamIsCopiedAsData) {
  struct Entry {
    ULONG next, nameLength;
    LARGE_INTEGER size, allocation;
  };
  auto list = [](std::vector<std::wstring> names) {
    std::vector<char> buffer;
    for (size_t i = 0; i < names.size(); ++i) {
      size_t at = buffer.size();
      size_t length = sizeof(Entry) + names[i].size() * sizeof(wchar_t);
      size_t padded = (length + 7) & ~size_t(7);
      buffer.resize(at + padded);
      Entry entry{i + 1 < names.size() ? static_cast<ULONG>(padded) : 0,
                  static_cast<ULONG>(names[i].size() * sizeof(wchar_t)),
                  {},
                  {}};
      memcpy(&buffer[at], &entry, sizeof entry);
      memcpy(&buffer[at + sizeof entry], names[i].data(), names[i].size() * sizeof(wchar_t));
    }
    return buffer;
  };
  std::vector<char> data = list({L"::$DATA"}), two = list({L"::$DATA", L":Zone.Identifier:$DATA"});
  EXPECT_TRUE(onlyDataStream(0, data.data(), data.size()));
  EXPECT_FALSE(onlyDataStream(0, two.data(), two.size()));
  std::vector<char> onlyOther = list({L":extra:$DATA"});
  EXPECT_FALSE(onlyDataStream(0, onlyOther.data(), onlyOther.size()));
  // More than the buffer holds, and a list cut short.
  EXPECT_FALSE(onlyDataStream(static_cast<long>(0x80000005), data.data(), data.size()));
  EXPECT_FALSE(onlyDataStream(0, two.data(), data.size() + 8));
  // The volume keeps no streams (Wine's answer, and some network volumes').
  EXPECT_TRUE(onlyDataStream(static_cast<long>(0xC0000002), nullptr, 0));
  EXPECT_TRUE(onlyDataStream(static_cast<long>(0xC000000D), nullptr, 0));
}

// Once the target exists, the copy goes through a temporary file again.
TEST(CopyNewTarget, SecondCopyReplacesTheFirst) {
  TempFolder temp;
  writeFile(temp / L"one\\a.txt", "first", ticksAt(1));
  writeFile(temp / L"two\\a.txt", "second copy", ticksAt(2));
  makeFolders(temp / L"dst");
  ASSERT_TRUE(copyFileSafely(temp / L"one\\a.txt", longForm(temp / L"dst\\a.txt")));
  ASSERT_TRUE(copyFileSafely(temp / L"two\\a.txt", longForm(temp / L"dst\\A.TXT")));
  ASSERT_EQ(listFolder(temp / L"dst").size(), 1u);
  EXPECT_EQ(readFile(temp / L"dst\\a.txt"), "second copy");
  EXPECT_EQ(fileTimes(temp / L"dst\\a.txt").written, ticksAt(2));
}

// The disk fills part way through a new target: the partial file goes again.
TEST(CopyNewTarget, CopyThatRunsOutOfSpaceLeavesNoPartialFile) {
  std::wstring disk = smallDisk();
  if (disk.empty()) GTEST_SKIP() << "OSTRELLE_DISKFULL is not set: no small file system mounted";
  TempFolder temp;
  std::wstring out = formatText(L"%s\\new-target-%lu", disk.c_str(), GetCurrentProcessId());
  makeFolders(out);
  std::string big(3 * 1024 * 1024, 'n');
  writeFile(temp / L"src\\big.bin", big);
  writeFile(temp / L"src\\small.txt", "small");
  // Leave about one megabyte free.
  {
    HANDLE h = CreateFileW((out + L"\\filler.bin").c_str(), GENERIC_WRITE, 0, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::string chunk(64 * 1024, 'F');
    while (freeBytes(out) > 1024 * 1024 + chunk.size()) {
      DWORD written = 0;
      if (!WriteFile(h, chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr) ||
          written != chunk.size())
        break;
    }
    CloseHandle(h);
  }
  ASSERT_LT(freeBytes(out), big.size()) << "the disk did not fill";
  EXPECT_FALSE(copyFileSafely(temp / L"src\\big.bin", longForm(out + L"\\big.bin")));
  EXPECT_TRUE(copyFileSafely(temp / L"src\\small.txt", longForm(out + L"\\small.txt")));
  EXPECT_EQ(listFolder(out), (std::vector<std::wstring>{L"filler.bin", L"small.txt"}));
  removeTree(out);
}

// "\u00c4.txt" and "\u00e4.txt" are two entries (only ASCII letters fold in
// the name order) but one name for the file system.  Copied into a folder
// the run made, the second lands on the first; when its copy fails, the first
// must stay.
TEST(CopyNewTarget, FailedCopyInAFreshFolderKeepsAnEarlierFileOfTheSameFoldedName) {
  const std::wstring upper = L"\u00c4.txt", lower = L"\u00e4.txt";
  TempFolder temp;
  writeFile(temp / (L"src1\\" + upper), "first", ticksAt(1));
  writeFile(temp / (L"src2\\" + lower), "second", ticksAt(2));
  RunOptions options;
  options.sources = {temp / L"src1", temp / L"src2"};
  options.keepTimeStamps = false;
  options.criterion = TimeCriterion::Modified;
  LogCapture log(options);
  FolderTree tree;
  scanSources(options, tree);
  ASSERT_EQ(tree.root().files.size(), 2u);
  {
    LockedFile lock(temp / (L"src2\\" + lower));
    ASSERT_TRUE(lock.locked());
    transferFolder(options, tree.root(), L"\\\\?\\" + temp.path() + L"\\out");
  }
  std::vector<LogLine> lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, formatText(texts::kErrCopy, (temp / (L"src2\\" + lower)).c_str()));
  EXPECT_EQ(listFolder(temp / L"out").size(), 1u);
  EXPECT_EQ(readFile(temp / (L"out\\" + upper)), "first");
}
