#include "engine/path_forms.h"

#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <vector>

namespace {

constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr wchar_t kUncLongPrefix[] = L"\\\\?\\UNC\\";

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, wcslen(prefix), prefix) == 0;
}

bool isBareDrive(const std::wstring& path) {
  return path.size() == 2 && path[1] == L':' && iswalpha(path[0]);
}

std::wstring withBackslashes(std::wstring path) {
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

// GetFullPathNameW into a buffer of whatever size the result needs; "" when
// the path cannot be made absolute.
std::wstring fullPathOf(const std::wstring& path) {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  for (;;) {
    DWORD n =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (n == 0) return {};
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    buffer.resize(n + 1);
  }
}

// Drops trailing backslashes, but keeps the one of a drive root ("C:\").
void trimTrailingBackslashes(std::wstring& path, size_t keepUpTo) {
  while (path.size() > keepUpTo && path.back() == L'\\') path.pop_back();
}

}  // namespace

bool hasLongPrefix(const std::wstring& path) { return startsWith(path, kLongPrefix); }

std::wstring apiPath(const std::wstring& path) {
  return hasLongPrefix(path) ? path : longPathOf(path);
}

std::wstring folderOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring longPathOf(const std::wstring& path) {
  if (path.empty()) return {};
  if (hasLongPrefix(path)) return path;
  std::wstring plain = withBackslashes(path);
  if (startsWith(plain, L"\\\\.\\")) return plain;  // device namespace: already unparsed
  // "E:" alone means the drive, not the drive's current folder.
  if (isBareDrive(plain)) plain += L'\\';
  std::wstring full = fullPathOf(plain);
  if (full.empty()) return {};
  if (startsWith(full, L"\\\\")) {  // \\server\share\...
    trimTrailingBackslashes(full, 2);
    return kUncLongPrefix + full.substr(2);
  }
  trimTrailingBackslashes(full, 3);  // "C:\" stays a root
  return kLongPrefix + full;
}

bool isFullDestination(const std::wstring& destination) {
  std::wstring path = withBackslashes(destination);
  if (hasLongPrefix(path)) return true;
  if (isBareDrive(path)) return true;
  if (path.size() >= 3 && path[1] == L':' && iswalpha(path[0]) && path[2] == L'\\') return true;
  // "\\server\..." but not the device namespace "\\.\" nor "\\?" alone.
  return path.size() > 2 && startsWith(path, L"\\\\") && path[2] != L'\\' && path[2] != L'.' &&
         path[2] != L'?';
}

std::wstring normaliseDestination(const std::wstring& destination) {
  if (destination.empty()) return {};
  std::wstring path = withBackslashes(destination);
  if (hasLongPrefix(path)) {
    path.erase(0, 4);
  } else if (!isBareDrive(path)) {
    // Only full paths come here, so the current folder plays no part; this
    // resolves "." and "..", which "\\?\" would take literally.
    std::wstring full = fullPathOf(path);
    if (!full.empty()) path = full;
    if (startsWith(path, L"\\\\")) path = L"UNC" + path.substr(1);
  }
  trimTrailingBackslashes(path, 0);
  return path;
}

std::wstring plainPathOf(const std::wstring& path) {
  if (startsWith(path, kUncLongPrefix)) return L"\\\\" + path.substr(8);
  if (hasLongPrefix(path)) return path.substr(4);
  return path;
}

std::wstring joinPath(const std::wstring& folder, std::wstring_view name) {
  std::wstring out;
  out.reserve(folder.size() + 1 + name.size());
  out = folder;
  if (out.empty() || out.back() != L'\\') out += L'\\';
  out.append(name.data(), name.size());
  return out;
}

std::wstring foldedPath(std::wstring path) {
  if (!path.empty()) CharUpperBuffW(&path[0], static_cast<DWORD>(path.size()));
  return path;
}
