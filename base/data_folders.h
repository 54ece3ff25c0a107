#pragma once
// Where the settings file and the run logs live.  Beside the program while
// its folder takes new files (a copy kept in a folder of its own, carried
// on a stick...); where it does not, as Program Files for a normal user, in
// the user's profile: the settings in %APPDATA%\Ostrelle\ and the logs in
// %LOCALAPPDATA%\Ostrelle\logs.

#include <string>

struct DataFolders {
  std::wstring settings;  // the settings file's folder, ending in a backslash
  std::wstring logs;      // the log folder, with no trailing backslash
  // The profile folders the two were put under ("" when beside the
  // program); makeDataFolder makes what lies below them.
  std::wstring settingsBase, logsBase;
};

// The user's folders for program data, without a trailing backslash: the
// one that roams with the user (CSIDL_APPDATA) and the one that stays on
// this computer (CSIDL_LOCAL_APPDATA); "" each when unknown.
struct ProfileFolders {
  std::wstring roaming, local;
};
ProfileFolders userProfileFolders();

// Whether a new file can be made in `folder` (ending in a backslash).  A
// file of a new name is created there and goes again.  It is created with
// delete-on-close, so the system removes it as its handle closes, also when
// the process is killed in between; an existing file is never opened.
bool folderTakesNewFiles(const std::wstring& folder);

// The decision for a program in `programFolder`.  The settings stay beside
// it when it takes new files; so do the logs, in its "logs", unless a file
// bears that name.  Otherwise each goes under its profile folder, or stays
// beside the program when that profile folder is unknown.
DataFolders chooseDataFolders(const std::wstring& programFolder, const ProfileFolders& profile);

// Decides for programFolder() and the user's profile folders (or the given
// ones).  The main window decides as it starts, before any run.
void decideDataFolders();
void decideDataFolders(const ProfileFolders& profile);
// The decision made for the current programFolder(); the folders beside the
// program while none is (nor after the program's folder was set anew).
DataFolders dataFolders();

// Makes the folder of ours under a profile folder that holds `folder` (a
// member of dataFolders()), and `folder` itself.  A folder beside the
// program is never made here.
void makeDataFolder(const std::wstring& folder);
