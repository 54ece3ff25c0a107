#pragma once
// The per-user INI file, beside the executable or in the user's profile
// (base/data_folders.h): run options and the ten most recent destinations.

#include <windows.h>

#include <array>
#include <optional>
#include <string>

#include "base/run_options.h"

using DestinationHistory = std::array<std::wstring, 10>;  // most recent first

struct StoredSettings {
  bool includeSubfolders = false;
  bool ignoreHierarchy = false;
  TargetKind targetKind = TargetKind::NewestAndUnique;
  TimeCriterion criterion = TimeCriterion::Both;
  TransferMethod method = TransferMethod::Copy;
  bool keepTimeStamps = true;
  bool logTransfers = false;
  // OPTION/SKIP_SAME.  Saving writes it only while it is on or once the
  // file holds it, so a file that never had it stays as it was.
  bool skipSame = false;
  DestinationHistory history;
  // OPTION/THREADS: threads for a run's file work, 0 (absent) to choose from
  // the processors.  Read only: saving never writes it, so a file that
  // lacks it stays as it was and one that has it keeps it.
  unsigned workers = 0;
};

// "%s%s_ostrelle.ini" of the settings folder (dataFolders) and the user
// name.  Saving makes that folder when it lies in the profile.
std::wstring settingsPath();
// The file the settings are read from: settingsPath(), or, while a profile
// folder holds none, the file of that name beside the program.  The first
// save copies that one into the profile before it writes.
std::wstring settingsPathToRead();

StoredSettings loadSettings();
// Writes every key after promoting the destination; returns the new history,
// or nothing when the first write failed.  That failure is reported via
// showDetachedError, or, when `unshownError` is given, its message is put
// there and nothing is shown.
std::optional<DestinationHistory> saveSettings(HWND owner, const StoredSettings& settings,
                                               const std::wstring& destinationText,
                                               std::wstring* unshownError = nullptr);
// Moves `text` to the top: an equal entry (ignoring case) is removed, else
// the last one; the search tries entries 2..10 and the first one last.
DestinationHistory promoteDestination(const DestinationHistory& history, const std::wstring& text);
// SUB_DIR from the file, default 0.
bool readSubfolderSetting();

// Decoding of the stored integers.
TargetKind decodeTargetKind(int value);
TimeCriterion decodeCriterion(int value);

// An error box ("エラー", MB_ICONERROR|MB_OK) owned by `owner`, shown from a
// thread of its own; returns at once.
void showDetachedError(HWND owner, const std::wstring& message);
