#include <gtest/gtest.h>

#include "engine/file_ops.h"
#include "engine/system_folder.h"
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
