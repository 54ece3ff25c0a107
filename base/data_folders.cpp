#include "base/data_folders.h"

// clang-format off
#include <windows.h>
#include <shlobj.h>  // needs windows.h first
// clang-format on

#include "base/handles.h"
#include "base/program_folder.h"
#include "base/text.h"

namespace {

constexpr wchar_t kOwnFolder[] = L"Ostrelle";
constexpr wchar_t kLogs[] = L"logs";

// The decision and the program folder it was made for.
bool decided = false;
std::wstring decidedFor;
DataFolders decision;

std::wstring profileFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  if (FAILED(
          SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path)))
    return {};
  std::wstring folder(path);
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  return folder;
}

bool isFile(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

DataFolders besideProgram(const std::wstring& programFolder) {
  return DataFolders{programFolder, programFolder + kLogs, L"", L""};
}

// Makes every folder of `folder` below `base`, top down.
void makeBelow(const std::wstring& base, const std::wstring& folder) {
  if (base.empty() || folder.size() <= base.size() + 1 || folder.compare(0, base.size(), base) ||
      folder[base.size()] != L'\\')
    return;
  for (size_t at = folder.find(L'\\', base.size() + 1); at != std::wstring::npos;
       at = folder.find(L'\\', at + 1))
    CreateDirectoryW(folder.substr(0, at).c_str(), nullptr);
  CreateDirectoryW(folder.c_str(), nullptr);
}

}  // namespace

ProfileFolders userProfileFolders() {
  return ProfileFolders{profileFolder(CSIDL_APPDATA), profileFolder(CSIDL_LOCAL_APPDATA)};
}

bool folderTakesNewFiles(const std::wstring& folder) {
  if (folder.empty()) return false;  // no folder known: nothing to try
  // A name no other file has; on the rare clash another one is tried.
  for (DWORD attempt = 0; attempt < 4; ++attempt) {
    std::wstring probe = formatText(L"%s~ostrelle-write-test-%lx-%lx.tmp", folder.c_str(),
                                    GetCurrentProcessId(), GetTickCount() + attempt);
    FileHandle file(CreateFileW(
        probe.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (file) return true;  // closing it removes it
    if (GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

DataFolders chooseDataFolders(const std::wstring& programFolder, const ProfileFolders& profile) {
  DataFolders folders = besideProgram(programFolder);
  bool writable = folderTakesNewFiles(programFolder);
  if (!writable && !profile.roaming.empty()) {
    folders.settingsBase = profile.roaming;
    folders.settings = profile.roaming + L"\\" + kOwnFolder + L"\\";
  }
  if ((!writable || isFile(folders.logs)) && !profile.local.empty()) {
    folders.logsBase = profile.local;
    folders.logs = profile.local + L"\\" + kOwnFolder + L"\\" + kLogs;
  }
  return folders;
}

void decideDataFolders() { decideDataFolders(userProfileFolders()); }

void decideDataFolders(const ProfileFolders& profile) {
  decision = chooseDataFolders(programFolder(), profile);
  decidedFor = programFolder();
  decided = true;
}

DataFolders dataFolders() {
  if (decided && decidedFor == programFolder()) return decision;
  return besideProgram(programFolder());
}

void makeDataFolder(const std::wstring& folder) {
  DataFolders folders = dataFolders();
  std::wstring path = folder;
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  makeBelow(folders.settingsBase, path);
  makeBelow(folders.logsBase, path);
}
