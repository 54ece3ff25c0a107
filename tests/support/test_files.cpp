#include "support/test_files.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "base/handles.h"
#include "base/text.h"

namespace {

std::wstring withLongPrefix(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\", 0) == 0) return path;
  return L"\\\\?\\" + path;
}

std::wstring systemTemp() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  std::wstring t(buffer, n);
  while (!t.empty() && (t.back() == L'\\' || t.back() == L'/')) t.pop_back();
  return t;
}

void collectTree(const std::wstring& root, const std::wstring& relative,
                 std::vector<std::wstring>& out) {
  std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((withLongPrefix(folder) + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    std::wstring rel = relative.empty() ? name : relative + L"\\" + name;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      collectTree(root, rel, out);
    else
      out.push_back(rel);
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

}  // namespace

TempFolder::TempFolder() {
  static std::atomic<unsigned> counter{0};
  for (;;) {
    path_ = formatText(L"%s\\ostrelle-test-%lu-%lu-%u", systemTemp().c_str(), GetCurrentProcessId(),
                       GetTickCount(), counter++);
    if (CreateDirectoryW(path_.c_str(), nullptr)) break;
    if (GetLastError() != ERROR_ALREADY_EXISTS) throw std::runtime_error("temp folder");
  }
}

TempFolder::~TempFolder() { removeTree(path_); }

void makeFolders(const std::wstring& path) {
  std::wstring p = withLongPrefix(path);
  // Skip "\\?\X:\" when creating each level.
  for (size_t i = 7; i <= p.size(); ++i) {
    if (i == p.size() || p[i] == L'\\') CreateDirectoryW(p.substr(0, i).c_str(), nullptr);
  }
}

void writeFile(const std::wstring& path, const std::string& bytes, uint64_t time) {
  size_t slash = path.find_last_of(L'\\');
  if (slash != std::wstring::npos) makeFolders(path.substr(0, slash));
  HANDLE h = CreateFileW(withLongPrefix(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("writeFile: cannot create");
  DWORD written = 0;
  if (!bytes.empty())
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  if (time) {
    FILETIME ft = toFileTime(time);
    SetFileTime(h, &ft, &ft, &ft);
  }
  CloseHandle(h);
}

std::string readFile(const std::wstring& path) {
  HANDLE h = CreateFileW(withLongPrefix(path).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::string("<missing>");
  std::string out;
  char buffer[65536];
  DWORD n = 0;
  while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n) out.append(buffer, n);
  CloseHandle(h);
  return out;
}

bool fileHolds(const std::wstring& path, const std::string& bytes) {
  FileHandle file(CreateFileW(withLongPrefix(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size = {};
  if (!file || !GetFileSizeEx(file.get(), &size) ||
      static_cast<uint64_t>(size.QuadPart) != bytes.size())
    return false;
  char buffer[65536];
  size_t at = 0;
  DWORD n = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr) && n) {
    if (at + n > bytes.size() || std::memcmp(buffer, bytes.data() + at, n) != 0) return false;
    at += n;
  }
  return at == bytes.size();
}

bool fileExists(const std::wstring& path) {
  DWORD a = GetFileAttributesW(withLongPrefix(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool folderExists(const std::wstring& path) {
  DWORD a = GetFileAttributesW(withLongPrefix(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

void removeTree(const std::wstring& path) {
  std::wstring p = withLongPrefix(path);
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((p + L"\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = p + L"\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        removeTree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  RemoveDirectoryW(p.c_str());
}

uint64_t toTicks(FILETIME t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

FILETIME toFileTime(uint64_t ticks) {
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(ticks);
  t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return t;
}

TestFileTimes fileTimes(const std::wstring& path) {
  TestFileTimes out;
  HANDLE h = CreateFileW(withLongPrefix(path).c_str(), 0,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return out;
  FILETIME c, a, w;
  if (GetFileTime(h, &c, &a, &w)) {
    out.created = toTicks(c);
    out.accessed = toTicks(a);
    out.written = toTicks(w);
  }
  CloseHandle(h);
  return out;
}

void setFileTimes(const std::wstring& path, uint64_t created, uint64_t accessed, uint64_t written) {
  HANDLE h =
      CreateFileW(withLongPrefix(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("setFileTimes");
  FILETIME c = toFileTime(created), a = toFileTime(accessed), w = toFileTime(written);
  SetFileTime(h, created ? &c : nullptr, accessed ? &a : nullptr, written ? &w : nullptr);
  CloseHandle(h);
}

uint64_t ticksAt(int64_t seconds) {
  // 2024-01-01T00:00:00Z in FILETIME ticks.
  const uint64_t base = 133485408000000000ULL;
  return base + static_cast<uint64_t>(seconds * 10000000LL);
}

std::vector<std::wstring> listFolder(const std::wstring& folder) {
  std::vector<std::wstring> out;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((withLongPrefix(folder) + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return out;
  do {
    std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") out.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::wstring> listTree(const std::wstring& folder) {
  std::vector<std::wstring> out;
  collectTree(folder, L"", out);
  std::sort(out.begin(), out.end());
  return out;
}

std::wstring smallDisk() { return folderFromEnvironment("OSTRELLE_DISKFULL"); }

std::wstring folderFromEnvironment(const char* variable) {
  const char* value = std::getenv(variable);
  return value && *value ? windowsPath(value) : std::wstring();
}

std::wstring windowsPath(const std::string& linuxOrWindowsPath) {
  std::wstring path = fromUtf8(linuxOrWindowsPath);
  if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return path;
}

uint64_t freeBytes(const std::wstring& folder) {
  ULARGE_INTEGER free = {};
  if (!GetDiskFreeSpaceExW((folder + L"\\").c_str(), &free, nullptr, nullptr)) return 0;
  return free.QuadPart;
}

LockedFile::LockedFile(const std::wstring& path)
    : handle_(CreateFileW(withLongPrefix(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr)) {}

LockedFile::~LockedFile() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

namespace {

// The Linux path of a Windows path under Wine; "" elsewhere.
std::string unixPathOf(const std::wstring& path) {
  using ToUnix = char*(CDECL*)(const wchar_t*);
  auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!toUnix) return {};
  char* unix = toUnix(path.c_str());
  if (!unix) return {};
  std::string out(unix);
  HeapFree(GetProcessHeap(), 0, unix);
  return out;
}

// Starts a Linux program under Wine.  Wine runs it apart from the process
// it hands back (whose end and exit code say nothing), so callers wait for
// the program's effect instead.
bool startUnix(const wchar_t* program, const std::wstring& arguments) {
  std::wstring command = std::wstring(program) + L" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info))
    return false;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

bool waitUntil(const std::wstring& path, bool present) {
  for (int i = 0; i < 500; ++i) {
    if ((GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) == present) return true;
    Sleep(10);
  }
  return false;
}

}  // namespace

std::wstring quotedUnix(const std::wstring& path) {
  return L"'" + fromUtf8(unixPathOf(withLongPrefix(path))) + L"'";
}

bool makeFolderLinks(const FolderLinks& links) {
  if (links.empty()) return true;
  if (unixPathOf(withLongPrefix(links.front().first)).empty()) {
    using MakeLink = BOOLEAN(WINAPI*)(const wchar_t*, const wchar_t*, DWORD);
    auto makeLink = reinterpret_cast<MakeLink>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateSymbolicLinkW")));
    bool all = makeLink != nullptr;
    for (const auto& [link, target] : links)
      all = all && makeLink(link.c_str(), target.c_str(), 1 /* directory */) != 0;
    return all;
  }
  // The long forms keep names that end in a dot or a space.
  std::wstring script;
  for (const auto& [link, target] : links)
    script += L"ln -s " + quotedUnix(target) + L" " + quotedUnix(link) + L";";
  if (!startUnix(L"Z:\\bin\\sh", L"-c \"" + script + L"\"")) return false;
  for (const auto& entry : links)
    if (!waitUntil(withLongPrefix(entry.first), true)) return false;
  return true;
}

void removeFolderLinks(const std::vector<std::wstring>& links) {
  if (links.empty()) return;
  if (unixPathOf(withLongPrefix(links.front())).empty()) {
    for (const std::wstring& link : links) RemoveDirectoryW(link.c_str());
    return;
  }
  std::wstring arguments = L"-f";
  for (const std::wstring& link : links) arguments += L" " + quotedUnix(link);
  if (!startUnix(L"Z:\\bin\\sh", L"-c \"rm " + arguments + L"\"")) return;
  for (const std::wstring& link : links) waitUntil(withLongPrefix(link), false);
}

bool makeFolderLink(const std::wstring& link, const std::wstring& target) {
  return makeFolderLinks({{link, target}});
}

void removeFolderLink(const std::wstring& link) { removeFolderLinks({link}); }
