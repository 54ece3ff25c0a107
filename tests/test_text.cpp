#include <gtest/gtest.h>

#include "base/program_folder.h"
#include "base/text.h"

TEST(NameOrder, FoldsAsciiLettersOnly) {
  EXPECT_EQ(compareNames(L"Report.TXT", L"report.txt"), 0);
  EXPECT_NE(compareNames(L"\u00c4.txt", L"\u00e4.txt"), 0);            // Ä / ä stay apart
  EXPECT_NE(compareNames(L"\uff21.txt", L"\uff41.txt"), 0);            // full-width A / a
  EXPECT_LT(compareNames(L"abc", L"abcd"), 0);                         // prefix first
  EXPECT_LT(compareNames(L"B", L"c"), 0);                              // folded before comparing
  EXPECT_LT(compareNames(L"_", L"a"), 0);                              // '_' 0x5F < 'a' 0x61
  EXPECT_LT(compareNames(L"_", L"A"), 0);                              // unfolded, 0x5F > 0x41
  EXPECT_GT(compareNames(std::wstring(1, wchar_t(0xD83D)), L"z"), 0);  // unsigned units
}

TEST(Utf8, RoundTripsOutsideTheBasicPlane) {
  std::wstring text = L"抽出\U0001F600x";
  EXPECT_EQ(toUtf8(text), "\xE6\x8A\xBD\xE5\x87\xBA\xF0\x9F\x98\x80x");
  EXPECT_EQ(fromUtf8(toUtf8(text)), text);
}

TEST(FormatText, GrowsPastAnyFixedBuffer) {
  std::wstring long_(5000, L'x');
  EXPECT_EQ(formatText(L"[%s]%d", long_.c_str(), 7), L"[" + long_ + L"]7");
}

TEST(ProgramFolder, DriveAndFolderOfTheExecutable) {
  EXPECT_EQ(programFolderOf(L"C:\\Tools\\Ostrelle.exe"), L"C:\\Tools\\");
  EXPECT_EQ(programFolderOf(L"C:/Tools/x.exe"), L"C:/Tools/");
  EXPECT_EQ(programFolderOf(L"\\\\server\\share\\x.exe"), L"\\\\server\\share\\");
  EXPECT_EQ(programFolderOf(L"x.exe"), L"");
}
