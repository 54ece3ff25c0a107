#include "engine/system_folder.h"

#include <windows.h>

#include "base/system_function.h"
#include "engine/path_forms.h"

namespace {

using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);

bool runsUnderWow64() {
  auto isWow64Process = systemFunction<IsWow64ProcessFunction>(L"kernel32.dll", "IsWow64Process");
  if (!isWow64Process) return false;  // a system without it runs no 32-bit program on 64 bits
  BOOL wow64 = FALSE;
  return isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

bool isVistaOrLater() {
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  return GetVersionExW(&version) && version.dwMajorVersion >= 6;
}

std::wstring windowsFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  UINT n = GetSystemWindowsDirectoryW(buffer, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return {};
  std::wstring folder(buffer, n);
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  return folder;
}

SystemFolderView lookUpView() {
  SystemFolderView view;
  view.redirected = runsUnderWow64();
  if (view.redirected) {
    view.windowsFolder = windowsFolder();
    view.sysnativeExists = isVistaOrLater();
  }
  return view;
}

}  // namespace

const SystemFolderView& systemFolderView() {
  static const SystemFolderView view = lookUpView();
  return view;
}

std::optional<std::wstring> unredirectedPath(const std::wstring& path,
                                             const SystemFolderView& view) {
  if (!view.redirected || view.windowsFolder.empty()) return path;
  // "\\?\C:\..." is redirected as "C:\..." is; "\\?\UNC\..." never starts
  // with a drive, so it does not match below.
  const size_t start = path.compare(0, 4, L"\\\\?\\") == 0 ? 4 : 0;
  const std::wstring system32 = view.windowsFolder + L"\\System32";
  const size_t end = start + system32.size();
  if (path.size() < end || (path.size() > end && path[end] != L'\\') ||
      foldedPath(path.substr(start, system32.size())) != foldedPath(system32))
    return path;
  if (!view.sysnativeExists) return std::nullopt;
  return path.substr(0, start) + view.windowsFolder + L"\\Sysnative" + path.substr(end);
}
