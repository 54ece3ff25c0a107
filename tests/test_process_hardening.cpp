// Where DLLs loaded by name come from once the process is hardened, with a
// DLL planted beside the program, one in the current folder and the same name
// in System32; and the error mode the hardening leaves.  The search order
// changes for good, so the steps run in order in one test program of their
// own: first as Windows without SetDefaultDllDirectories does it, then with.

#include <gtest/gtest.h>

#include <string>

#include "app/process_hardening.h"
#include "support/test_files.h"

namespace {

std::wstring folderOf(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

std::wstring lower(std::wstring text) {
  for (wchar_t& c : text)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  return text;
}

std::wstring moduleFile(HMODULE module) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(module, path, MAX_PATH);
  return path;
}

// The folder LoadLibraryW took `name` from, in lower case; "" when it found none.
std::wstring loadedFrom(const wchar_t* name) {
  HMODULE module = LoadLibraryW(name);
  if (!module) return L"";
  std::wstring folder = lower(folderOf(moduleFile(module)));
  FreeLibrary(module);
  return folder;
}

// Puts the current folder back and removes the System32 copy, however the
// test ends.
struct Restore {
  std::wstring folder, systemCopy;
  ~Restore() {
    SetCurrentDirectoryW(folder.c_str());
    DeleteFileW(systemCopy.c_str());
  }
};

bool underWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// SetDllDirectoryW, with the folder it was given kept.
BOOL(WINAPI* realSetDllDirectory)(LPCWSTR) = nullptr;
std::wstring dllDirectoryGiven = L"<none>";
BOOL WINAPI recordSetDllDirectory(LPCWSTR folder) {
  dllDirectoryGiven = folder ? folder : L"<NULL>";
  return realSetDllDirectory(folder);
}

UINT errorMode() {
  UINT mode = SetErrorMode(0);
  SetErrorMode(mode);
  return mode;
}

}  // namespace

TEST(ProcessHardening, DllsByNameComeFromSystem32AndErrorsOfEmptyDrivesReturn) {
  // The probe DLL is built beside this program under the planted name.
  const std::wstring programFolder = lower(folderOf(moduleFile(nullptr)));
  const std::wstring probe = programFolder + L"\\ostrelle_probe.dll";
  ASSERT_TRUE(fileExists(probe));
  wchar_t system[MAX_PATH] = {};
  ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
  const std::wstring systemFolder = lower(system);
  const std::wstring systemCopy = systemFolder + L"\\ostrelle_probe.dll";
  if (!CopyFileW(probe.c_str(), systemCopy.c_str(), FALSE))
    GTEST_SKIP() << "System32 is not writable here";
  TempFolder current;
  wchar_t formerFolder[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, formerFolder);
  Restore restore{formerFolder, systemCopy};
  ASSERT_TRUE(CopyFileW(probe.c_str(), (current / L"ostrelle_current.dll").c_str(), FALSE));
  ASSERT_TRUE(SetCurrentDirectoryW(current.path().c_str()));

  // Unhardened, both planted copies win.
  EXPECT_EQ(loadedFrom(L"ostrelle_probe.dll"), programFolder);
  EXPECT_EQ(loadedFrom(L"ostrelle_current.dll"), lower(current.path()));

  // Without SetDefaultDllDirectories (XP to 7 without its update) only the
  // current folder leaves the search; the error mode keeps its other bits.
  // Wine keeps the current folder after SetDllDirectoryW(L""), which Windows
  // drops; there only the call is seen.
  SetErrorMode(SEM_NOGPFAULTERRORBOX);
  DllSearchFunctions older = findDllSearchFunctions();
  ASSERT_TRUE(older.setDllDirectory);
  realSetDllDirectory = older.setDllDirectory;
  older.setDllDirectory = recordSetDllDirectory;
  older.setDefaultDllDirectories = nullptr;
  ProcessHardening done = hardenProcess(older);
  EXPECT_EQ(dllDirectoryGiven, L"");
  EXPECT_TRUE(done.currentFolderDropped);
  EXPECT_FALSE(done.onlySystemFolder);
  if (!underWine()) {
    EXPECT_EQ(loadedFrom(L"ostrelle_current.dll"), L"");
  }
  EXPECT_EQ(loadedFrom(L"ostrelle_probe.dll"), programFolder);
  EXPECT_EQ(errorMode(), UINT(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS));

  // With it, a name is looked for in System32 alone.
  const DllSearchFunctions newer = findDllSearchFunctions();
  if (newer.setDefaultDllDirectories) {
    done = hardenProcess(newer);
    EXPECT_TRUE(done.currentFolderDropped);
    EXPECT_TRUE(done.onlySystemFolder);
    EXPECT_EQ(loadedFrom(L"ostrelle_probe.dll"), systemFolder);
    EXPECT_EQ(loadedFrom(L"ostrelle_current.dll"), L"");
    EXPECT_EQ(errorMode(), UINT(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS));
  }
  if (!newer.setDefaultDllDirectories) GTEST_SKIP() << "no SetDefaultDllDirectories here";
}
