// Where DLLs loaded by name come from once the process is hardened, with a
// DLL planted beside the program, one in the current folder and the same name
// in System32; and the error mode the hardening leaves.  The search order
// changes for good, so the steps run in order in a test program of their
// own: first as Windows without SetDefaultDllDirectories does it, then with.

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "app/process_hardening.h"
#include "support/test_files.h"

namespace {

// The module's folder in lower case.
std::wstring folderOf(HMODULE module) {
  wchar_t path[MAX_PATH] = {};
  CharLowerBuffW(path, GetModuleFileNameW(module, path, MAX_PATH));
  std::wstring file = path;
  return file.substr(0, file.rfind(L'\\'));
}

// The folder LoadLibraryW took `name` from; "" when it found none.
std::wstring loadedFrom(const wchar_t* name) {
  HMODULE module = LoadLibraryW(name);
  if (!module) return L"";
  std::wstring folder = folderOf(module);
  FreeLibrary(module);
  return folder;
}

UINT errorMode() {
  UINT mode = SetErrorMode(0);
  SetErrorMode(mode);
  return mode;
}

// SetDllDirectoryW, keeping the folder it was given: Wine keeps the current
// folder in the search after SetDllDirectoryW(L""), which Windows drops, so
// there only the call can be seen.
BOOL(WINAPI* realSetDllDirectory)(LPCWSTR) = nullptr;
std::wstring dllDirectoryGiven = L"<none>";
BOOL WINAPI recordSetDllDirectory(LPCWSTR folder) {
  dllDirectoryGiven = folder ? folder : L"<NULL>";
  return realSetDllDirectory(folder);
}

}  // namespace

TEST(ProcessHardening, DllsByNameComeFromSystem32AndErrorsOfEmptyDrivesReturn) {
  // The probe DLL is built beside this program under the planted name.
  const std::wstring programFolder = folderOf(nullptr);
  const std::wstring probe = programFolder + L"\\ostrelle_probe.dll";
  wchar_t system[MAX_PATH] = {}, formerFolder[MAX_PATH] = {};
  ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
  CharLowerW(system);
  const std::wstring systemCopy = std::wstring(system) + L"\\ostrelle_probe.dll";
  if (!CopyFileW(probe.c_str(), systemCopy.c_str(), FALSE)) GTEST_SKIP() << "System32 read-only";
  TempFolder current;
  GetCurrentDirectoryW(MAX_PATH, formerFolder);
  struct Restore {  // however the test ends
    const wchar_t *folder, *copy;
    ~Restore() {
      SetCurrentDirectoryW(folder);
      DeleteFileW(copy);
    }
  } restore{formerFolder, systemCopy.c_str()};
  ASSERT_TRUE(CopyFileW(probe.c_str(), (current / L"ostrelle_current.dll").c_str(), FALSE));
  ASSERT_TRUE(SetCurrentDirectoryW(current.path().c_str()));
  const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version");

  // Unhardened, both planted copies win.
  EXPECT_EQ(loadedFrom(L"ostrelle_probe.dll"), programFolder);
  EXPECT_NE(loadedFrom(L"ostrelle_current.dll"), L"");

  // Without SetDefaultDllDirectories (XP to 7 without its update) only the
  // current folder leaves the search; the error mode keeps its other bits.
  SetErrorMode(SEM_NOGPFAULTERRORBOX);
  DllSearchFunctions older = findDllSearchFunctions();
  ASSERT_TRUE(older.setDllDirectory);
  realSetDllDirectory = std::exchange(older.setDllDirectory, recordSetDllDirectory);
  older.setDefaultDllDirectories = nullptr;
  hardenProcess(older);
  EXPECT_EQ(dllDirectoryGiven, L"");
  if (!wine) {
    EXPECT_EQ(loadedFrom(L"ostrelle_current.dll"), L"");
  }
  EXPECT_EQ(loadedFrom(L"ostrelle_probe.dll"), programFolder);
  EXPECT_EQ(errorMode(), UINT(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS));

  // With it, a name is looked for in System32 alone.
  const DllSearchFunctions newer = findDllSearchFunctions();
  if (!newer.setDefaultDllDirectories) GTEST_SKIP() << "no SetDefaultDllDirectories here";
  hardenProcess(newer);
  EXPECT_EQ(loadedFrom(L"ostrelle_probe.dll"), std::wstring(system));
  EXPECT_EQ(loadedFrom(L"ostrelle_current.dll"), L"");
  EXPECT_EQ(errorMode(), UINT(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS));
}
