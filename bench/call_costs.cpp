#include "bench/call_costs.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/handles.h"
#include "base/text.h"
#include "bench/measure.h"
#include "bench/tree_snapshot.h"
#include "engine/file_copy.h"
#include "engine/file_ops.h"

namespace {

constexpr int kFiles = 300;

std::wstring longForm(const std::wstring& path) { return L"\\\\?\\" + path; }

// A new name for an open file through NtSetInformationFile, as the engine's
// copies take theirs.
bool renameThrough(HANDLE file, const std::wstring& to) {
  using SetInformationFile = LONG(WINAPI*)(HANDLE, void*, void*, ULONG, int);
  static const auto setInformation = reinterpret_cast<SetInformationFile>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetInformationFile")));
  std::wstring nt = L"\\??\\" + to.substr(4);
  struct Rename {
    BOOLEAN replace;
    HANDLE root;
    ULONG length;
    WCHAR name[1];
  };
  std::vector<char> buffer(offsetof(Rename, name) + (nt.size() + 1) * sizeof(wchar_t));
  auto* rename = reinterpret_cast<Rename*>(buffer.data());
  rename->replace = FALSE;
  rename->length = static_cast<ULONG>(nt.size() * sizeof(wchar_t));
  std::copy(nt.begin(), nt.end(), rename->name);
  ULONG_PTR io[2] = {};
  return setInformation &&
         setInformation(file, io, rename, static_cast<ULONG>(buffer.size()), 10) >= 0;
}

struct Call {
  const char* what;
  std::function<void(int)> run;  // does the call for file i
  double seconds = 0;
  int filesPerCall = 1;  // a call that serves this many files is reported per file
};

}  // namespace

void printCallCosts(const std::wstring& scratch, const std::wstring& largeFolder) {
  removeTree(scratch);
  const std::wstring src = scratch + L"\\src", fresh = scratch + L"\\fresh",
                     viaTemp = scratch + L"\\via-temp", checked = scratch + L"\\checked",
                     former = scratch + L"\\former", formerStaging = scratch + L"\\former-staging",
                     present = scratch + L"\\present";
  for (const auto& f : {scratch, src, fresh, viaTemp, checked, former, formerStaging, present})
    CreateDirectoryW(longForm(f).c_str(), nullptr);
  std::string bytes(2000, 'x');
  auto name = [](int i) { return formatText(L"\\file_%05d.txt", i); };
  for (int i = 0; i < kFiles; ++i) {
    FileHandle h(CreateFileW(longForm(src + name(i)).c_str(), GENERIC_WRITE, 0, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
  std::vector<std::wstring> large;
  if (!largeFolder.empty()) {
    WIN32_FIND_DATAW data;
    FindHandle find(FindFirstFileW(longForm(largeFolder + L"\\*").c_str(), &data));
    if (find) do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) large.push_back(data.cFileName);
      } while (FindNextFileW(find.get(), &data));
  }

  std::vector<Call> calls = {
      {"open for reading, no sharing, and close (the scan's open)",
       [&](int i) {
         FileHandle h(CreateFileW(longForm(src + name(i)).c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
       }},
      {"the same with GetFileTime (reading the times)",
       [&](int i) {
         FileHandle h(CreateFileW(longForm(src + name(i)).c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
         FILETIME c, a, w;
         GetFileTime(h.get(), &c, &a, &w);
       }},
      {"open for writing, SetFileTime, close (setting the times)",
       [&](int i) {
         FileHandle h(CreateFileW(longForm(src + name(i)).c_str(), GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
         FILETIME t{0x12345678, 0x01d00000};
         SetFileTime(h.get(), &t, &t, &t);
       }},
      {"GetFileAttributesW of a name not in a folder of 300",
       [&](int i) { GetFileAttributesW(longForm(src + formatText(L"\\none_%05d", i)).c_str()); }},
      {"GetFileAttributesExW of a file by name in a folder of 300 (asking for a target's size "
       "and time)",
       [&](int i) {
         WIN32_FILE_ATTRIBUTE_DATA data;
         GetFileAttributesExW(longForm(src + name(i)).c_str(), GetFileExInfoStandard, &data);
       }},
      {"one FindFirstFileW/FindNextFileW pass over the folder of 300, per file (reading a "
       "folder's entries: size and time come with them)",
       [&](int) {
         WIN32_FIND_DATAW data;
         FindHandle find(FindFirstFileW(longForm(src + L"\\*").c_str(), &data));
         if (find)
           while (FindNextFileW(find.get(), &data)) {
           }
       },
       0, kFiles},
      {"CopyFileW to a new name (what both must do once a name)",
       [&](int i) {
         CopyFileW(longForm(src + name(i)).c_str(), longForm(fresh + name(i)).c_str(), TRUE);
       }},
      {"lookup, then CopyFileW to the new name (Ostrelle's copy)",
       [&](int i) {
         std::wstring to = longForm(checked + name(i));
         if (GetFileAttributesW(to.c_str()) == INVALID_FILE_ATTRIBUTES)
           CopyFileW(longForm(src + name(i)).c_str(), to.c_str(), TRUE);
       }},
      {"CopyFileW to a temporary name and rename (replacing a target)",
       [&](int i) {
         std::wstring temp = longForm(viaTemp + formatText(L"\\~tmp-%x.tmp", i));
         CopyFileW(longForm(src + name(i)).c_str(), temp.c_str(), TRUE);
         MoveFileExW(temp.c_str(), longForm(viaTemp + name(i)).c_str(), MOVEFILE_REPLACE_EXISTING);
       }},
      {"a transfer's copy, the former way: open the source and close it, read its times by "
       "name, CopyFileW to a temporary name, open that, set the times and rename through it",
       [&](int i) {
         std::wstring from = longForm(src + name(i));
         FileTimes times;
         WIN32_FILE_ATTRIBUTE_DATA data;
         if (!FileHandle(CreateFileW(from.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr)) ||
             !GetFileAttributesExW(from.c_str(), GetFileExInfoStandard, &data))
           return;
         times = {data.ftCreationTime, data.ftLastAccessTime, data.ftLastWriteTime};
         std::wstring temp = longForm(formerStaging + formatText(L"\\~tmp-%x.tmp", i));
         if (!CopyFileW(from.c_str(), temp.c_str(), TRUE)) return;
         FileHandle copy(CreateFileW(temp.c_str(), DELETE | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, 0,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
         SetFileTime(copy.get(), &times.created, &times.accessed, &times.written);
         renameThrough(copy.get(), longForm(former + name(i)));
       }},
      {"a transfer's copy, the present way (copySourceFile: times, data and the new name "
       "through one open of the source and one of the copy, made beside its target)",
       [&](int i) {
         FileTimes times;
         bool timesSet = false;
         copySourceFile(longForm(src + name(i)), longForm(present + name(i)), &times, &timesSet);
       }},
  };
  if (large.size() >= kFiles)
    calls.push_back({nullptr, [&](int i) {
                       GetFileAttributesW(
                           longForm(largeFolder + formatText(L"\\none_%05d", i)).c_str());
                     }});
  // Blocks of 20 files, each call in turn, so that drift in the machine's
  // load spreads over all of them.
  for (int block = 0; block < kFiles; block += 20) {
    for (size_t k = 0; k < calls.size(); ++k) {
      Call& call = calls[(k + block / 20) % calls.size()];
      double start = nowSeconds();
      for (int i = block; i < block + 20; ++i) call.run(i);
      call.seconds += nowSeconds() - start;
    }
  }
  printf("\n=== What single calls cost here (microseconds per call, %d small files) ===\n", kFiles);
  for (const Call& call : calls) {
    std::string what = call.what ? call.what
                                 : "GetFileAttributesW of a name not in a folder of " +
                                       std::to_string(large.size());
    printf(call.filesPerCall == 1 ? "  %9.0f  %s\n" : "  %9.2f  %s\n",
           call.seconds / kFiles / call.filesPerCall * 1e6, what.c_str());
  }
  fflush(stdout);
  removeTree(scratch);
}
