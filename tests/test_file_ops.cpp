#include <gtest/gtest.h>

#include "base/text.h"
#include "base/texts.h"
#include "engine/file_copy.h"
#include "engine/file_ops.h"
#include "engine/file_placement.h"
#include "engine/system_folder.h"
#include "engine/temporary_file.h"
#include "log/ordered_log.h"
#include "support/test_files.h"

namespace {

std::wstring currentFolder() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD n = GetCurrentDirectoryW(MAX_PATH + 1, buffer);
  std::wstring folder(buffer, n);
  if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  return folder;
}

struct PathCase {
  const wchar_t* input;
  const wchar_t* expected;
};

}  // namespace

TEST(LongPath, FormsOfPlainPaths) {
  const PathCase cases[] = {
      {L"C:\\a\\b", L"\\\\?\\C:\\a\\b"},
      {L"C:/a/b/", L"\\\\?\\C:\\a\\b"},             // slashes turned, trailing one dropped
      {L"C:\\", L"\\\\?\\C:\\"},                    // a root keeps its backslash
      {L"E:", L"\\\\?\\E:\\"},                      // a bare drive is its root
      {L"C:\\a\\.\\b\\..\\c", L"\\\\?\\C:\\a\\c"},  // "\\?\" would not resolve these
      {L"\\\\server\\share\\x", L"\\\\?\\UNC\\server\\share\\x"},
      {L"\\\\?\\C:\\already", L"\\\\?\\C:\\already"},  // unchanged
      {L"", L""},
  };
  for (const PathCase& c : cases) EXPECT_EQ(longPathOf(c.input), c.expected) << c.input;
  EXPECT_EQ(longPathOf(L"relative\\x"), L"\\\\?\\" + currentFolder() + L"\\relative\\x");
}

TEST(LongPath, DestinationsBecomeValidBases) {
  const PathCase cases[] = {
      {L"D:\\out", L"D:\\out"},
      {L"D:\\out\\", L"D:\\out"},
      {L"D:/out/x/", L"D:\\out\\x"},
      {L"E:\\", L"E:"},
      {L"E:", L"E:"},
      {L"D:\\out\\..\\x", L"D:\\x"},
      {L"\\\\server\\share\\o\\", L"UNC\\server\\share\\o"},
      {L"\\\\?\\D:\\out\\", L"D:\\out"},
      {L"", L""},
  };
  for (const PathCase& c : cases) {
    EXPECT_EQ(normaliseDestination(c.input), c.expected) << c.input;
    EXPECT_EQ(isFullDestination(c.input), *c.input != L'\0') << c.input;
  }
  // Texts that depend on the current folder (or drive) name no folder.
  for (const wchar_t* relative :
       {L"out", L"\\out", L"/out", L"D:out", L".\\out", L"..", L"\\\\.\\C:\\x", L"\\\\", L"1:\\x"})
    EXPECT_FALSE(isFullDestination(relative)) << relative;

  const PathCase plain[] = {
      {L"\\\\?\\D:\\out\\x.txt", L"D:\\out\\x.txt"},
      {L"\\\\?\\UNC\\server\\share\\x", L"\\\\server\\share\\x"},
      {L"\\\\?\\", L""},
      {L"C:\\plain", L"C:\\plain"},
  };
  for (const PathCase& c : plain) EXPECT_EQ(plainPathOf(c.input), c.expected) << c.input;
  EXPECT_EQ(joinPath(L"\\\\?\\C:\\", L"x"), L"\\\\?\\C:\\x");
  EXPECT_EQ(joinPath(L"\\\\?\\C:\\a", L"x"), L"\\\\?\\C:\\a\\x");
}

// A 32-bit program on 64-bit Windows reaches the real System32 only as
// Sysnative; without that name (64-bit XP) such a path is refused.
TEST(SystemFolder, PathsUnderSystem32UnderRedirection) {
  const SystemFolderView vista = {L"C:\\Windows", true, true};
  const SystemFolderView xp = {L"C:\\Windows", true, false};
  const SystemFolderView native = {L"C:\\Windows", false, false};
  struct Case {
    const wchar_t* path;
    const wchar_t* throughSysnative;  // under `vista`
    bool refusedOnXp;
  };
  const Case cases[] = {
      {L"C:\\Windows\\System32", L"C:\\Windows\\Sysnative", true},
      {L"\\\\?\\c:\\WINDOWS\\system32\\drivers\\etc",
       L"\\\\?\\C:\\Windows\\Sysnative\\drivers\\etc", true},
      {L"C:\\Windows\\System32x\\a", L"C:\\Windows\\System32x\\a", false},
      {L"C:\\Windows\\SysWOW64", L"C:\\Windows\\SysWOW64", false},
      {L"C:\\Windows", L"C:\\Windows", false},
      {L"D:\\Windows\\System32", L"D:\\Windows\\System32", false},
      {L"\\\\?\\UNC\\server\\Windows\\System32", L"\\\\?\\UNC\\server\\Windows\\System32", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(unredirectedPath(c.path, vista), std::optional<std::wstring>(c.throughSysnative));
    EXPECT_EQ(unredirectedPath(c.path, xp),
              c.refusedOnXp ? std::nullopt : std::optional<std::wstring>(c.path));
    EXPECT_EQ(unredirectedPath(c.path, native), std::optional<std::wstring>(c.path));
  }
}

TEST(FileOps, FoldersThatCanBeEntered) {
  TempFolder temp;
  writeFile(temp / L"file.txt", "x");
  makeFolders(temp / L"sub");
  EXPECT_TRUE(canEnterFolder(temp / L"sub"));
  EXPECT_TRUE(canEnterFolder(temp.path() + L"/sub/"));
  EXPECT_FALSE(canEnterFolder(temp / L"file.txt"));
  EXPECT_FALSE(canEnterFolder(temp / L"missing"));
  EXPECT_FALSE(canEnterFolder(L""));

  WIN32_FIND_DATAW data;
  bool empty = true;
  FindHandle find = startEnumeration(temp / L"sub", data, empty);
  EXPECT_TRUE(find);  // "." and ".." of an empty folder
  EXPECT_FALSE(empty);
  FindHandle none = startEnumeration(temp / L"missing", data, empty);
  EXPECT_FALSE(none);
  EXPECT_FALSE(empty);

  // One folder by two paths is one identity; a volume that gives no file
  // index (0, or all ones) makes it unknown, and unknown equals nothing.
  FolderIdentity sub, again;
  ASSERT_TRUE(canEnterFolder(temp / L"sub", &sub));
  ASSERT_TRUE(canEnterFolder(temp.path() + L"\\.\\sub\\", &again));
  EXPECT_TRUE(sub.known());
  EXPECT_EQ(sub, again);
  for (FolderIdentity unknown : {FolderIdentity{7, 0, 0, 9}, FolderIdentity{7, ~0u, ~0u, 9}})
    EXPECT_NE(unknown, unknown);
}

// Reading needs the file to itself; setting times asks only for the right
// to write attributes, which neither a holder's sharing nor the read-only
// attribute withholds.
TEST(FileOps, ReadingTimesFailsWhileAnotherProgramHoldsTheFile) {
  TempFolder temp;
  writeFile(temp / L"a.txt", "a", ticksAt(100));
  FileTimes times;
  ASSERT_TRUE(readFileTimes(temp / L"a.txt", times));
  EXPECT_EQ(toTicks(times.written), ticksAt(100));
  times.written = toFileTime(ticksAt(200));
  {
    LockedFile lock(temp / L"a.txt");
    ASSERT_TRUE(lock.locked());
    EXPECT_FALSE(readFileTimes(temp / L"a.txt", times));
    EXPECT_TRUE(writeFileTimes(temp / L"a.txt", times));
  }
  EXPECT_EQ(fileTimes(temp / L"a.txt").written, ticksAt(200));
  ASSERT_TRUE(SetFileAttributesW((temp / L"a.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  times.written = toFileTime(ticksAt(300));
  EXPECT_TRUE(writeFileTimes(temp / L"a.txt", times));
  EXPECT_EQ(fileTimes(temp / L"a.txt").written, ticksAt(300));
  SetFileAttributesW((temp / L"a.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_FALSE(readFileTimes(temp / L"missing.txt", times));
  EXPECT_FALSE(writeFileTimes(temp / L"missing.txt", times));
}

TEST(FileOps, CopyReplacesTheTargetWithoutLeavingATemporaryFile) {
  TempFolder temp;
  writeFile(temp / L"src\\a.txt", "new bytes", ticksAt(200));
  writeFile(temp / L"dst\\a.txt", "old", ticksAt(100));
  ASSERT_TRUE(copyFileSafely(temp / L"src\\a.txt", L"\\\\?\\" + temp.path() + L"\\dst\\a.txt"));
  EXPECT_EQ(readFile(temp / L"dst\\a.txt"), "new bytes");
  EXPECT_EQ(fileTimes(temp / L"dst\\a.txt").written, ticksAt(200));
  EXPECT_EQ(listFolder(temp / L"dst"), std::vector<std::wstring>{L"a.txt"});
  EXPECT_EQ(readFile(temp / L"src\\a.txt"), "new bytes");
}

TEST(FileOps, FailedCopyKeepsTheOldTarget) {
  for (ReplaceMethod method : {ReplaceMethod::Platform, ReplaceMethod::Rename}) {
    setReplaceMethod(method);
    TempFolder temp;
    writeFile(temp / L"src\\a.txt", "new bytes");
    writeFile(temp / L"dst\\a.txt", "old target");
    makeFolders(temp / L"dst\\folder.txt");
    std::wstring target = L"\\\\?\\" + temp.path() + L"\\dst\\a.txt";
    {
      LockedFile lock(temp / L"src\\a.txt");
      ASSERT_TRUE(lock.locked());
      EXPECT_FALSE(copyFileSafely(temp / L"src\\a.txt", target));
    }
    EXPECT_EQ(readFile(temp / L"dst\\a.txt"), "old target");
    // A folder in the way: the copy succeeds into the temporary file, the
    // replacement fails, and the temporary file goes again.
    EXPECT_FALSE(
        copyFileSafely(temp / L"src\\a.txt", L"\\\\?\\" + temp.path() + L"\\dst\\folder.txt"));
    EXPECT_TRUE(folderExists(temp / L"dst\\folder.txt"));
    EXPECT_EQ(listFolder(temp / L"dst"), (std::vector<std::wstring>{L"a.txt", L"folder.txt"}));
  }
  setReplaceMethod(ReplaceMethod::Automatic);
}

TEST(FileOps, MoveRefusesAnExistingTarget) {
  TempFolder temp;
  writeFile(temp / L"src\\a.txt", "source");
  writeFile(temp / L"dst\\a.txt", "target");
  EXPECT_FALSE(moveFile(temp / L"src\\a.txt", L"\\\\?\\" + temp.path() + L"\\dst\\a.txt"));
  EXPECT_EQ(readFile(temp / L"src\\a.txt"), "source");
  EXPECT_EQ(readFile(temp / L"dst\\a.txt"), "target");
  EXPECT_TRUE(moveFile(temp / L"src\\a.txt", L"\\\\?\\" + temp.path() + L"\\dst\\b.txt"));
  EXPECT_FALSE(fileExists(temp / L"src\\a.txt"));
  EXPECT_EQ(readFile(temp / L"dst\\b.txt"), "source");
}

namespace {

// ReplaceFileW as a volume may answer it, for the replace of a copy with a
// backup name.  `behaviour` picks the answer.
enum class ReplaceAnswer { Done, NotRemoved, NotMovedKeptNames, NotMovedOldGone, NotMoved2 };
ReplaceAnswer replaceAnswer;

BOOL WINAPI fakeReplaceFile(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD, LPVOID,
                            LPVOID) {
  switch (replaceAnswer) {
    case ReplaceAnswer::Done:  // the documented steps: old aside, new in its place
      if (!MoveFileExW(replaced, backup, 0) || !MoveFileExW(replacement, replaced, 0)) return FALSE;
      return TRUE;
    case ReplaceAnswer::NotRemoved:
      SetLastError(ERROR_UNABLE_TO_REMOVE_REPLACED);
      return FALSE;
    case ReplaceAnswer::NotMovedKeptNames:  // with a backup name: both keep their names
      SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT);
      return FALSE;
    case ReplaceAnswer::NotMovedOldGone:  // as without a backup name: the old file is gone
      DeleteFileW(replaced);
      SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT);
      return FALSE;
    case ReplaceAnswer::NotMoved2:  // the old file only under the backup name
      MoveFileExW(replaced, backup, 0);
      SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2);
      return FALSE;
  }
  return FALSE;
}

}  // namespace

// Every answer of the platform's replace leaves a whole version under the
// target's name, and the copy stays wherever it may be the only new one.
TEST(FileOps, EveryAnswerOfTheReplaceKeepsAVersionUnderTheName) {
  struct Case {
    ReplaceAnswer answer;
    bool copied;
    const char* target;  // what the target holds afterwards
    size_t temporaries;  // copies left under a temporary name
  };
  const Case cases[] = {
      {ReplaceAnswer::Done, true, "new bytes", 0},
      {ReplaceAnswer::NotRemoved, false, "old target", 0},
      {ReplaceAnswer::NotMovedKeptNames, false, "old target", 1},
      {ReplaceAnswer::NotMovedOldGone, true, "new bytes", 0},
      {ReplaceAnswer::NotMoved2, false, "old target", 1},
  };
  setReplaceMethod(ReplaceMethod::Platform);
  setReplaceFileFunction(fakeReplaceFile);
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.answer));
    replaceAnswer = c.answer;
    TempFolder temp;
    writeFile(temp / L"src\\a.txt", "new bytes");
    writeFile(temp / L"dst\\a.txt", "old target");
    SetFileAttributesW((temp / L"dst\\a.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(copyFileSafely(temp / L"src\\a.txt", L"\\\\?\\" + temp.path() + L"\\dst\\a.txt"),
              c.copied);
    EXPECT_EQ(readFile(temp / L"dst\\a.txt"), c.target);
    // The old file keeps its read-only attribute; the copy carries the source's.
    EXPECT_EQ((GetFileAttributesW((temp / L"dst\\a.txt").c_str()) & FILE_ATTRIBUTE_READONLY) != 0,
              !c.copied);
    std::vector<std::wstring> names = listFolder(temp / L"dst");
    ASSERT_EQ(names.size(), 1 + c.temporaries);
    for (const std::wstring& name : names)
      if (name != L"a.txt") {
        EXPECT_TRUE(isTemporaryName(name)) << name;
        EXPECT_EQ(readFile(temp / (L"dst\\" + name)), "new bytes");
      }
    SetFileAttributesW((temp / L"dst\\a.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  setReplaceFileFunction(nullptr);
  setReplaceMethod(ReplaceMethod::Automatic);
}

// A temporary this process is writing cannot be taken away by a cleanup,
// which removes only what nobody holds; it is hidden while it is written.
TEST(FileOps, ALiveTemporaryRefusesItsRemoval) {
  TempFolder temp;
  makeFolders(temp / L"dst");
  std::wstring folder = L"\\\\?\\" + temp.path() + L"\\dst";
  Temporary live = Temporary::create(folder);
  ASSERT_TRUE(live);
  EXPECT_TRUE(GetFileAttributesW(live.path().c_str()) & FILE_ATTRIBUTE_HIDDEN);
  std::wstring dead = newTemporaryPath(folder);
  writeFile(dead, "left by a run that was killed");
  struct Lines : LogSink {
    std::vector<std::wstring> messages;
    void write(const wchar_t*, std::wstring message) override { messages.push_back(message); }
  } lines;
  EXPECT_EQ(removeDeadTemporaries(folder, lines), 1);
  EXPECT_EQ(lines.messages, std::vector<std::wstring>{formatText(texts::kDeadTemporaryRemoved,
                                                                 plainPathOf(dead).c_str())});
  EXPECT_TRUE(fileExists(live.path()));
  EXPECT_FALSE(fileExists(dead));
  std::wstring path = live.path();
  live = Temporary();  // this run lets go of it: it goes
  EXPECT_FALSE(fileExists(path));
  EXPECT_EQ(listFolder(temp / L"dst"), std::vector<std::wstring>{});
}
