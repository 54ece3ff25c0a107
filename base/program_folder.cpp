#include "base/program_folder.h"

#include <windows.h>

#include <vector>

static std::wstring folder;

std::wstring programFolderOf(const std::wstring& exePath) {
  std::wstring drive, rest = exePath;
  if (exePath.size() >= 2 && exePath[1] == L':') {
    drive = exePath.substr(0, 2);
    rest = exePath.substr(2);
  }
  size_t slash = rest.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return drive;
  return drive + rest.substr(0, slash + 1);
}

void computeProgramFolder() {
  // The module path can exceed MAX_PATH; grow until it fits.
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) {
      folder.clear();
      return;
    }
    if (n < buffer.size()) {
      folder = programFolderOf(std::wstring(buffer.data(), n));
      return;
    }
    buffer.resize(buffer.size() * 2);
  }
}

const std::wstring& programFolder() { return folder; }

void setProgramFolder(const std::wstring& f) { folder = f; }
