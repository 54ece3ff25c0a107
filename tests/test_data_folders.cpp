// Where the settings file and the logs go, on real folders: a program folder
// that takes new files, one where a file is named "logs", and a read-only
// one (a read-only volume that scripts/test.sh mounts; Wine runs as root,
// so permissions alone would deny nothing).

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/data_folders.h"
#include "base/program_folder.h"
#include "log/run_log.h"
#include "settings/settings_file.h"
#include "support/log_capture.h"
#include "support/test_files.h"

namespace {

struct Place {
  const char* what;
  std::wstring programFolder;  // ends in a backslash
  bool settingsBeside, logsBeside;
  std::vector<std::wstring> besideAfterwards;  // the program folder's names after a run, sorted
};

std::wstring nameOf(const std::wstring& path) { return path.substr(path.rfind(L'\\') + 1); }

// Saves the settings and runs a log in the program folder of `place`, with
// a profile of the test's own, and checks where each went and that nothing
// else appeared.
void expectPlaces(const Place& place) {
  SCOPED_TRACE(place.what);
  TempFolder profileRoot;
  const ProfileFolders profile = {profileRoot / L"Roaming", profileRoot / L"Local"};
  makeFolders(profile.roaming);
  makeFolders(profile.local);
  setProgramFolder(place.programFolder);
  resetLogPaths();
  decideDataFolders(profile);

  const std::wstring settingsFolder =
      place.settingsBeside ? place.programFolder : profile.roaming + L"\\Ostrelle\\";
  EXPECT_EQ(dataFolders().settings, settingsFolder);
  EXPECT_TRUE(saveSettings(nullptr, StoredSettings(), L"D:\\out"));
  EXPECT_EQ(settingsPath().substr(0, settingsFolder.size()), settingsFolder);
  EXPECT_TRUE(fileExists(settingsPath()));
  EXPECT_EQ(loadSettings().history[0], L"D:\\out");

  const std::wstring logs =
      place.logsBeside ? place.programFolder + L"logs" : profile.local + L"\\Ostrelle\\logs";
  RecordingPrompt prompt;
  ASSERT_TRUE(openRunLog(prompt, RunOptions()));
  closeRunLog();
  EXPECT_EQ(logFolder(), logs);
  EXPECT_EQ(lastLogPath().substr(0, logs.size() + 1), logs + L"\\");
  showLatestLog(prompt);  // "ログを表示" follows the log
  EXPECT_EQ(prompt.opened, std::vector<std::wstring>{lastLogPath()});
  EXPECT_TRUE(prompt.messages.empty());

  // The write test left nothing behind, and the profile holds only what
  // went there.
  std::wstring programFolder = place.programFolder;
  programFolder.pop_back();
  EXPECT_EQ(listFolder(programFolder), place.besideAfterwards);
  std::vector<std::wstring> inProfile;
  if (!place.settingsBeside) inProfile.push_back(L"Roaming\\Ostrelle\\" + nameOf(settingsPath()));
  if (!place.logsBeside) inProfile.push_back(L"Local\\Ostrelle\\logs\\" + nameOf(lastLogPath()));
  std::sort(inProfile.begin(), inProfile.end());
  EXPECT_EQ(listTree(profileRoot.path()), inProfile);

  resetLogPaths();
  setProgramFolder(L"");
}

}  // namespace

TEST(DataFolders, SettingsAndLogsGoWhereTheProgramMayWrite) {
  TempFolder writable, logsTaken;
  setProgramFolder(writable.path() + L"\\");
  const std::wstring ini = nameOf(settingsPath());
  writeFile(logsTaken / L"logs", "a file of the user's");

  expectPlaces({"writable", writable.path() + L"\\", true, true, {L"logs", ini}});
  expectPlaces({"a file named logs", logsTaken.path() + L"\\", true, false, {L"logs", ini}});
  EXPECT_EQ(readFile(logsTaken / L"logs"), "a file of the user's");

  const ProfileFolders real = userProfileFolders();
  EXPECT_FALSE(real.roaming.empty());
  EXPECT_FALSE(real.local.empty());
  EXPECT_NE(real.roaming, real.local);

  std::wstring readOnly = folderFromEnvironment("OSTRELLE_READONLY_FOLDER");
  if (readOnly.empty()) GTEST_SKIP() << "no read-only volume (mounting one needs root)";
  EXPECT_FALSE(folderTakesNewFiles(readOnly + L"\\"));
  expectPlaces({"read-only", readOnly + L"\\", false, false, {L"with-settings"}});
}

// A copy moved into a folder it may not write to: what its file beside it
// holds is read, and the first save carries it into the profile, keys only
// read (THREADS) included; the file beside the program stays as it was.
TEST(DataFolders, SettingsBesideAProgramMovedWhereItMayNotWriteGoAlong) {
  std::wstring readOnly = folderFromEnvironment("OSTRELLE_READONLY_FOLDER");
  if (readOnly.empty()) GTEST_SKIP() << "no read-only volume (mounting one needs root)";
  TempFolder profileRoot;
  const ProfileFolders profile = {profileRoot / L"Roaming", profileRoot / L"Local"};
  makeFolders(profile.roaming);
  makeFolders(profile.local);
  const std::wstring moved = readOnly + L"\\with-settings\\";
  setProgramFolder(moved);
  decideDataFolders(profile);
  const std::wstring beside = moved + nameOf(settingsPath());
  ASSERT_TRUE(fileExists(beside)) << "scripts/test.sh puts one there for the login name";
  const std::string before = readFile(beside);

  EXPECT_EQ(settingsPathToRead(), beside);
  StoredSettings read = loadSettings();
  EXPECT_TRUE(read.includeSubfolders);
  EXPECT_TRUE(readSubfolderSetting());
  EXPECT_EQ(read.workers, 3u);
  EXPECT_EQ(read.history[0], L"D:\\carried");

  read.includeSubfolders = false;
  ASSERT_TRUE(saveSettings(nullptr, read, L"D:\\new"));
  EXPECT_EQ(settingsPathToRead(), settingsPath());
  EXPECT_EQ(settingsPath().substr(0, profile.roaming.size()), profile.roaming);
  StoredSettings saved = loadSettings();
  EXPECT_FALSE(saved.includeSubfolders);
  EXPECT_EQ(saved.workers, 3u);
  EXPECT_EQ(saved.history[0], L"D:\\new");
  EXPECT_EQ(saved.history[1], L"D:\\carried");
  EXPECT_EQ(readFile(beside), before);
  setProgramFolder(L"");
}
