// The settings file: real INI files in a temporary program folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "base/program_folder.h"
#include "base/text.h"
#include "base/texts.h"
#include "settings/settings_file.h"
#include "support/test_files.h"
#include "support/ui_thread.h"

namespace {

using Entry = std::tuple<std::wstring, std::wstring, std::wstring>;  // section, key, value

// The program folder points at a fresh temporary folder for each test.
class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override { setProgramFolder(folder_.path() + L"\\"); }
  void TearDown() override { setProgramFolder(L""); }

  // A file as an earlier version or a user's editor left it: plain text in
  // the system code page.
  void writeAnsiIni(const std::string& text) { writeFile(settingsPath(), text); }
  void writeUnicodeIni(const std::wstring& text) {
    std::string bytes("\xFF\xFE");
    bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    writeFile(settingsPath(), bytes);
  }

  // Every key of the file, in file order.  The file must be UTF-16 with the
  // byte-order mark.
  std::vector<Entry> readIni() {
    std::string bytes = readFile(settingsPath());
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    std::vector<Entry> entries;
    std::wstring section;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find(L'\n', start);
      if (end == std::wstring::npos) end = text.size();
      std::wstring line = text.substr(start, end - start);
      if (!line.empty() && line.back() == L'\r') line.pop_back();
      start = end + 1;
      if (line.empty()) continue;
      if (line.front() == L'[') {
        section = line.substr(1, line.find(L']') - 1);
      } else {
        size_t eq = line.find(L'=');
        entries.emplace_back(section, line.substr(0, eq), line.substr(eq + 1));
      }
    }
    return entries;
  }

  static DestinationHistory historyOf(std::initializer_list<const wchar_t*> entries) {
    DestinationHistory h;
    size_t i = 0;
    for (const wchar_t* e : entries) h[i++] = e;
    return h;
  }

  TempFolder folder_;
};

// The keys a save writes, in the order a fresh file holds them.
std::vector<Entry> expectedEntries(const StoredSettings& s, const DestinationHistory& history) {
  auto flag = [](bool on) { return std::wstring(on ? L"1" : L"0"); };
  std::vector<Entry> e;
  e.emplace_back(L"OPTION", L"SUB_DIR", flag(s.includeSubfolders));
  e.emplace_back(L"OPTION", L"KAISOU_MUSHI", flag(s.ignoreHierarchy));
  e.emplace_back(L"OPTION", L"KIND_OF_TARGET", std::to_wstring(int(s.targetKind)));
  e.emplace_back(L"OPTION", L"CRITERION", std::to_wstring(int(s.criterion)));
  e.emplace_back(L"OPTION", L"COPY", flag(s.method == TransferMethod::Copy));
  e.emplace_back(L"OPTION", L"TIMESTAMP", flag(s.keepTimeStamps));
  e.emplace_back(L"OPTION", L"LOGGING_COPY", flag(s.logTransfers));
  if (s.skipSame) e.emplace_back(L"OPTION", L"SKIP_SAME", flag(true));
  for (size_t i = 0; i < history.size(); ++i)
    e.emplace_back(L"DST_DIR_LOG", formatText(L"PATH_%d", int(i + 1)), history[i]);
  return e;
}

}  // namespace

TEST_F(SettingsFile, PathIsPerUserBesideTheProgram) {
  wchar_t name[1024];
  DWORD size = 1024;
  ASSERT_TRUE(GetUserNameW(name, &size));
  EXPECT_EQ(settingsPath(), folder_.path() + L"\\" + name + L"_ostrelle.ini");
}

TEST_F(SettingsFile, DefaultsWithoutAFile) {
  StoredSettings s = loadSettings();
  EXPECT_FALSE(s.includeSubfolders);
  EXPECT_FALSE(s.ignoreHierarchy);
  EXPECT_EQ(s.targetKind, TargetKind::NewestAndUnique);
  EXPECT_EQ(s.criterion, TimeCriterion::Both);
  EXPECT_EQ(s.method, TransferMethod::Copy);
  EXPECT_TRUE(s.keepTimeStamps);
  EXPECT_FALSE(s.logTransfers);
  EXPECT_FALSE(s.skipSame);
  EXPECT_EQ(s.history, DestinationHistory());
  EXPECT_FALSE(readSubfolderSetting());
  EXPECT_FALSE(fileExists(settingsPath()));  // loading never creates it
}

TEST_F(SettingsFile, DecodesStoredValues) {
  struct Case {
    const char* option;  // body of [OPTION]
    bool sub, ignore;
    TargetKind kind;
    TimeCriterion criterion;
    TransferMethod method;
    bool stamps, log;
  };
  const Case cases[] = {
      // Out-of-range numbers: the first kind and the last criterion, copy, on.
      {"KIND_OF_TARGET=5\r\nCRITERION=7\r\nCOPY=3\r\nTIMESTAMP=2\r\nLOGGING_COPY=9\r\n", false,
       false, TargetKind::NewestAndUnique, TimeCriterion::Both, TransferMethod::Copy, true, true},
      {"KIND_OF_TARGET=1\r\nCRITERION=0\r\nCOPY=0\r\nTIMESTAMP=0\r\nLOGGING_COPY=0\r\n", false,
       false, TargetKind::NewestOnly, TimeCriterion::Modified, TransferMethod::Move, false, false},
      {"KIND_OF_TARGET=2\r\nCRITERION=1\r\n", false, false, TargetKind::UniqueOnly,
       TimeCriterion::Created, TransferMethod::Copy, true, false},
      // Ignore hierarchy loads as stored even with subfolders off.
      {"SUB_DIR=0\r\nKAISOU_MUSHI=1\r\n", false, true, TargetKind::NewestAndUnique,
       TimeCriterion::Both, TransferMethod::Copy, true, false},
      {"SUB_DIR=1\r\nKAISOU_MUSHI=0\r\nKIND_OF_TARGET=-1\r\nCRITERION=-1\r\n", true, false,
       TargetKind::NewestAndUnique, TimeCriterion::Both, TransferMethod::Copy, true, false},
      // Text that is no number reads as the platform's integer read has it:
      // leading digits count, anything else is 0, an empty value is absent.
      {"KIND_OF_TARGET=2x\r\nCRITERION=abc\r\nCOPY=\r\nTIMESTAMP=no\r\nSUB_DIR= 1 \r\n", true,
       false, TargetKind::UniqueOnly, TimeCriterion::Modified, TransferMethod::Copy, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option);
    writeAnsiIni(std::string("[OPTION]\r\n") + c.option);
    StoredSettings s = loadSettings();
    EXPECT_EQ(s.includeSubfolders, c.sub);
    EXPECT_EQ(s.ignoreHierarchy, c.ignore);
    EXPECT_EQ(s.targetKind, c.kind);
    EXPECT_EQ(s.criterion, c.criterion);
    EXPECT_EQ(s.method, c.method);
    EXPECT_EQ(s.keepTimeStamps, c.stamps);
    EXPECT_EQ(s.logTransfers, c.log);
    EXPECT_EQ(readSubfolderSetting(), c.sub);
    DeleteFileW(settingsPath().c_str());
  }
}

TEST_F(SettingsFile, HistoryLoadsInKeyOrderWithGapsAndDuplicates) {
  writeUnicodeIni(
      L"[DST_DIR_LOG]\r\nPATH_3=E:\\x\r\nPATH_1=E:\\x\r\nPATH_2=\r\nPATH_10=Z:\\last\r\n"
      L"PATH_11=ignored\r\n");
  EXPECT_EQ(loadSettings().history,
            historyOf({L"E:\\x", L"", L"E:\\x", L"", L"", L"", L"", L"", L"", L"Z:\\last"}));
}

TEST_F(SettingsFile, FirstSaveWritesEveryKey) {
  StoredSettings s;
  s.includeSubfolders = true;
  s.ignoreHierarchy = true;
  s.targetKind = TargetKind::UniqueOnly;
  s.criterion = TimeCriterion::Created;
  s.method = TransferMethod::Move;
  s.keepTimeStamps = false;
  s.logTransfers = true;
  s.skipSame = true;
  auto history = saveSettings(nullptr, s, L"D:\\Out");
  ASSERT_TRUE(history);
  DestinationHistory expected = historyOf({L"D:\\Out"});
  EXPECT_EQ(*history, expected);
  EXPECT_EQ(readIni(), expectedEntries(s, expected));

  // And back.
  StoredSettings loaded = loadSettings();
  EXPECT_EQ(loaded.history, expected);
  EXPECT_TRUE(loaded.includeSubfolders && loaded.ignoreHierarchy && loaded.logTransfers &&
              loaded.skipSame);
  EXPECT_EQ(loaded.targetKind, TargetKind::UniqueOnly);
  EXPECT_EQ(loaded.criterion, TimeCriterion::Created);
  EXPECT_EQ(loaded.method, TransferMethod::Move);
  EXPECT_FALSE(loaded.keepTimeStamps);
}

TEST_F(SettingsFile, SaveReplacesValuesInPlace) {
  StoredSettings s;
  ASSERT_TRUE(saveSettings(nullptr, s, L"C:\\one"));
  s = loadSettings();
  s.includeSubfolders = true;
  s.criterion = TimeCriterion::Modified;
  auto history = saveSettings(nullptr, s, L"C:\\two");
  ASSERT_TRUE(history);
  EXPECT_EQ(*history, historyOf({L"C:\\two", L"C:\\one"}));
  EXPECT_EQ(readIni(), expectedEntries(s, *history));  // no key twice, same order
  EXPECT_TRUE(readSubfolderSetting());
}

// THREADS is read but never written: a file without it gains nothing from a
// save, and one with it keeps its value and place through saves.
TEST_F(SettingsFile, ThreadCountIsReadAndKeptButNeverAdded) {
  StoredSettings s;
  ASSERT_TRUE(saveSettings(nullptr, s, L"C:\\one"));
  s = loadSettings();
  EXPECT_EQ(s.workers, 0u);
  auto history = saveSettings(nullptr, s, L"C:\\two");
  ASSERT_TRUE(history);
  EXPECT_EQ(readIni(), expectedEntries(s, *history));  // the keys of before, no other

  const std::pair<const char*, unsigned> values[] = {{"3", 3},  {"1", 1},  {"64", 64}, {"0", 0},
                                                     {"65", 0}, {"-2", 0}, {"many", 0}};
  for (const auto& [text, workers] : values) {
    SCOPED_TRACE(text);
    writeAnsiIni(std::string("[OPTION]\r\nCOPY=1\r\nTHREADS=") + text + "\r\nTIMESTAMP=1\r\n");
    s = loadSettings();
    EXPECT_EQ(s.workers, workers);
    s.keepTimeStamps = false;
    ASSERT_TRUE(saveSettings(nullptr, s, L"C:\\two"));
    std::vector<Entry> entries = readIni();
    ASSERT_GE(entries.size(), 3u);
    EXPECT_EQ(entries[1], Entry(L"OPTION", L"THREADS", std::wstring(text, text + strlen(text))));
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                            [](const Entry& e) { return std::get<1>(e) == L"THREADS"; }),
              1);
    EXPECT_EQ(loadSettings().workers, workers);
    DeleteFileW(settingsPath().c_str());
  }
}

// SKIP_SAME is newer than the other keys: a save adds it only while it is
// on, so the file of a user who never turns it on stays byte for byte as
// before; once there, it follows the box, off included.
TEST_F(SettingsFile, SkipSameIsAddedOnlyWhenOnAndThenKept) {
  StoredSettings s;
  ASSERT_TRUE(saveSettings(nullptr, s, L"C:\\one"));
  const std::string before = readFile(settingsPath());
  ASSERT_TRUE(saveSettings(nullptr, s, L"C:\\one"));
  EXPECT_EQ(readFile(settingsPath()), before);
  for (bool on : {true, false}) {
    s.skipSame = on;
    ASSERT_TRUE(saveSettings(nullptr, s, L"C:\\one"));
    std::vector<Entry> entries = readIni();
    Entry key(L"OPTION", L"SKIP_SAME", on ? L"1" : L"0");
    EXPECT_EQ(std::count(entries.begin(), entries.end(), key), 1) << on;
    EXPECT_EQ(loadSettings().skipSame, on);
  }
}

TEST(PromoteDestination, Cases) {
  const DestinationHistory ten = {L"h1", L"h2", L"h3", L"d:\\out", L"h5",
                                  L"h6", L"h7", L"h8", L"h9",      L"h10"};
  struct Case {
    const char* what;
    DestinationHistory before;
    std::wstring text;
    DestinationHistory after;
  };
  const Case cases[] = {
      {"equal fourth entry moves up, case as typed",
       ten,
       L"D:\\Out",
       {L"D:\\Out", L"h1", L"h2", L"h3", L"h5", L"h6", L"h7", L"h8", L"h9", L"h10"}},
      {"a new text pushes the tenth out",
       ten,
       L"X:\\new",
       {L"X:\\new", L"h1", L"h2", L"h3", L"d:\\out", L"h5", L"h6", L"h7", L"h8", L"h9"}},
      {"equal to the first only: stays on top",
       ten,
       L"H1",
       {L"H1", L"h2", L"h3", L"d:\\out", L"h5", L"h6", L"h7", L"h8", L"h9", L"h10"}},
      {"first and third equal: the third goes, two copies remain",
       {L"E:\\x", L"a", L"E:\\x", L"b", L"", L"", L"", L"", L"", L"z"},
       L"E:\\x",
       {L"E:\\x", L"E:\\x", L"a", L"b", L"", L"", L"", L"", L"", L"z"}},
      {"empty text takes the first empty slot below the top",
       {L"a", L"b", L"", L"c", L"", L"", L"", L"", L"", L""},
       L"",
       {L"", L"a", L"b", L"c", L"", L"", L"", L"", L"", L""}},
      {"case folding beyond ASCII",
       {L"a", L"C:\\\u00e4\u0444", L"", L"", L"", L"", L"", L"", L"", L"z"},
       L"C:\\\u00c4\u0424",
       {L"C:\\\u00c4\u0424", L"a", L"", L"", L"", L"", L"", L"", L"", L"z"}},
      {"only case is ignored: hyphen and width count",
       {L"a", L"C:\\ab", L"C:\\\uff41-b", L"", L"", L"", L"", L"", L"", L"z"},
       L"C:\\a-b",
       {L"C:\\a-b", L"a", L"C:\\ab", L"C:\\\uff41-b", L"", L"", L"", L"", L"", L""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(promoteDestination(c.before, c.text), c.after);
  }
}

TEST_F(SettingsFile, SavePromotesAStoredEntry) {
  writeUnicodeIni(
      L"[DST_DIR_LOG]\r\nPATH_1=h1\r\nPATH_2=h2\r\nPATH_3=h3\r\nPATH_4=d:\\out\r\nPATH_5=h5\r\n"
      L"PATH_6=h6\r\nPATH_7=h7\r\nPATH_8=h8\r\nPATH_9=h9\r\nPATH_10=h10\r\n");
  StoredSettings s = loadSettings();
  ASSERT_TRUE(saveSettings(nullptr, s, L"D:\\Out"));
  EXPECT_EQ(loadSettings().history, historyOf({L"D:\\Out", L"h1", L"h2", L"h3", L"h5", L"h6", L"h7",
                                               L"h8", L"h9", L"h10"}));
}

TEST_F(SettingsFile, DestinationsOutsideTheCodePageRoundTrip) {
  const std::wstring destination = L"D:\\出力\\\U0001F600\\Ünïcødé";
  ASSERT_TRUE(saveSettings(nullptr, StoredSettings(), destination));
  EXPECT_EQ(readFile(settingsPath()).substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(loadSettings().history[0], destination);
}

TEST_F(SettingsFile, CodePageFileOfAnEarlierVersionIsReadAndKept) {
  writeAnsiIni(
      "[OPTION]\r\nSUB_DIR=1\r\nCOPY=0\r\nKEPT_BY_USER=yes\r\n[DST_DIR_LOG]\r\nPATH_1=C:\\old\r\n"
      "PATH_2=C:\\older\r\n");
  StoredSettings s = loadSettings();
  EXPECT_TRUE(s.includeSubfolders);
  EXPECT_EQ(s.method, TransferMethod::Move);
  EXPECT_EQ(s.history, historyOf({L"C:\\old", L"C:\\older"}));

  const std::wstring destination = L"D:\\出力\\\U0001F600";
  auto history = saveSettings(nullptr, s, destination);
  ASSERT_TRUE(history);
  EXPECT_EQ(*history, historyOf({destination.c_str(), L"C:\\old", L"C:\\older"}));
  EXPECT_EQ(loadSettings().history, *history);
  // Keys this program does not know survive the conversion.
  std::vector<Entry> entries = readIni();
  EXPECT_NE(std::find(entries.begin(), entries.end(), Entry(L"OPTION", L"KEPT_BY_USER", L"yes")),
            entries.end());
  EXPECT_FALSE(fileExists(settingsPath() + L".new"));
}

TEST_F(SettingsFile, LongValuesAreReadWhole) {
  std::wstring longPath = L"C:\\" + std::wstring(3000, L'x') + L"\\end";
  ASSERT_TRUE(saveSettings(nullptr, StoredSettings(), longPath));
  EXPECT_EQ(loadSettings().history[0], longPath);

  // Beyond any path the system could use: an empty slot, not a cut-off path.
  std::wstring absurd(40000, L'y');
  ASSERT_TRUE(saveSettings(nullptr, loadSettings(), absurd));
  DestinationHistory loaded = loadSettings().history;
  EXPECT_EQ(loaded[0], L"");
  EXPECT_EQ(loaded[1], longPath);
}

// The error box of a failed save: caption "エラー", the text with the path,
// owned by the given window, on a thread of its own while saveSettings has
// already returned.
TEST_F(SettingsFile, WriteFailureShowsDetachedErrorAndKeepsHistory) {
  // The owner lives on a UI thread with a message loop, as the main window.
  HWND owner = nullptr;
  UiThread ui([&] {
    owner = createOwnerWindow();
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    DestroyWindow(owner);
    return 0;
  });
  ASSERT_TRUE(ui.waitForWindow(nullptr, L"test owner"));

  struct Case {
    const char* what;
    std::wstring programFolder;
    bool iniIsFolder;
  };
  const Case cases[] = {
      {"folder missing", folder_ / L"missing\\", false},
      {"ini path is a folder", folder_.path() + L"\\", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    setProgramFolder(c.programFolder);
    if (c.iniIsFolder) {
      ASSERT_TRUE(CreateDirectoryW(settingsPath().c_str(), nullptr));
    }
    StoredSettings s;
    s.history = historyOf({L"C:\\keep"});
    EXPECT_FALSE(saveSettings(owner, s, L"D:\\Out"));

    HWND box = waitForMessageBox({texts::kCaptionError, owner});
    ASSERT_TRUE(box);
    MessageBoxContent content = readMessageBox(box);
    EXPECT_EQ(content.text, L"設定ファイルの書き込みに失敗しました\n\n" + settingsPath());
    EXPECT_TRUE(content.hasIcon);
    EXPECT_EQ(content.buttons, std::vector<int>{IDOK});
    EXPECT_NE(content.threadId, GetCurrentThreadId());
    EXPECT_NE(content.threadId, ui.threadId());
    pressButton(box, IDOK);
    EXPECT_TRUE(waitForWindowGone(box));

    EXPECT_FALSE(fileExists(settingsPath()));
    EXPECT_EQ(loadSettings().history, DestinationHistory());
  }
  ui.call([] { PostQuitMessage(0); });
  EXPECT_TRUE(ui.join());
}
