#include "settings/settings_file.h"

#include <memory>
#include <vector>

#include "base/data_folders.h"
#include "base/handles.h"
#include "base/program_folder.h"
#include "base/text.h"
#include "base/texts.h"

namespace {

constexpr wchar_t kOption[] = L"OPTION";
constexpr wchar_t kHistory[] = L"DST_DIR_LOG";
// The name used in the file name when the account's name cannot be read.
constexpr wchar_t kUnknownUser[] = L"user";
// A value this long (or longer) is no folder path any more.
constexpr DWORD kLongestValue = 32768;

std::wstring historyKey(size_t index) { return formatText(L"PATH_%d", int(index + 1)); }

int readInt(const wchar_t* key, int fallback, const std::wstring& path) {
  return static_cast<int>(GetPrivateProfileIntW(kOption, key, fallback, path.c_str()));
}

// The whole value, however long.  The profile functions truncate to the
// buffer without saying so, so the buffer grows until the text fits.  A
// truncated folder would name another folder, so a value that does not fit
// even the largest buffer reads as empty instead.
std::wstring readText(const wchar_t* section, const std::wstring& key, const std::wstring& path) {
  for (DWORD size = 1024; size <= kLongestValue; size *= 2) {
    std::vector<wchar_t> buffer(size);
    DWORD n =
        GetPrivateProfileStringW(section, key.c_str(), L"", buffer.data(), size, path.c_str());
    if (n < size - 1) return std::wstring(buffer.data(), n);
  }
  return std::wstring();
}

bool writeText(const wchar_t* section, const std::wstring& key, const std::wstring& value,
               const std::wstring& path) {
  return WritePrivateProfileStringW(section, key.c_str(), value.c_str(), path.c_str()) != FALSE;
}

bool writeFlag(const wchar_t* key, bool on, const std::wstring& path) {
  return writeText(kOption, key, on ? L"1" : L"0", path);
}

bool writeNumber(const wchar_t* key, int value, const std::wstring& path) {
  return writeText(kOption, key, std::to_wstring(value), path);
}

// Whether OPTION holds `key` at all, whatever its value: an absent key gives
// back the default, so two reads with different defaults differ only then.
bool hasOptionKey(const wchar_t* key, const std::wstring& path) {
  wchar_t first[4] = {}, second[4] = {};
  GetPrivateProfileStringW(kOption, key, L"0", first, 4, path.c_str());
  GetPrivateProfileStringW(kOption, key, L"1", second, 4, path.c_str());
  return wcscmp(first, second) == 0;
}

bool writeAll(HANDLE file, const void* data, DWORD size) {
  DWORD written = 0;
  return WriteFile(file, data, size, &written, nullptr) && written == size;
}

// The profile functions keep a file in UTF-16 when it starts with the
// byte-order mark FF FE, and in the system code page otherwise, where every
// character outside that code page turns into "?".  So a new file is
// created as UTF-16 before anything is written to it, and a file of an
// earlier version (code page text, no mark) is converted once.  A file that
// cannot be read or replaced is left alone; the writes then report.
void ensureUnicodeFile(const std::wstring& path) {
  FileHandle existing(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!existing) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return;
    FileHandle created(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (created) writeAll(created.get(), "\xFF\xFE", 2);
    return;
  }
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(existing.get(), &size) || size.QuadPart > 16 * 1024 * 1024) return;
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!bytes.empty() &&
      (!ReadFile(existing.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) ||
       read != bytes.size()))
    return;
  existing.reset();
  bool hasMark = bytes.size() >= 2 && ((bytes[0] == '\xFF' && bytes[1] == '\xFE') ||
                                       (bytes[0] == '\xFE' && bytes[1] == '\xFF'));
  bool utf8Mark = bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
  if (hasMark || utf8Mark) return;

  std::wstring text;
  if (!bytes.empty()) {
    int n =
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0) return;
    text.resize(static_cast<size_t>(n));
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], n);
  }
  // Write the converted copy beside it and swap it in, so that a failure
  // half-way never leaves a damaged settings file.
  std::wstring temporary = path + L".new";
  {
    FileHandle out(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return;
    if (!writeAll(out.get(), "\xFF\xFE", 2) ||
        !writeAll(out.get(), text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)))) {
      out.reset();
      DeleteFileW(temporary.c_str());
      return;
    }
  }
  if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
    DeleteFileW(temporary.c_str());
}

// Whole-text equality ignoring letter case: both sides are upper-cased
// unit by unit (CharUpperBuffW) and then compared exactly.  Unlike a
// collating comparison this never treats texts as equal that differ in
// anything but case (a hyphen, a width variant...).
bool sameIgnoringCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  std::wstring x = a, y = b;
  CharUpperBuffW(&x[0], static_cast<DWORD>(x.size()));
  CharUpperBuffW(&y[0], static_cast<DWORD>(y.size()));
  return x == y;
}

struct ErrorRequest {
  HWND owner;
  std::wstring text;
  std::wstring caption;
  UINT type;
};

DWORD WINAPI showErrorThread(void* parameter) {
  try {
    std::unique_ptr<ErrorRequest> request(static_cast<ErrorRequest*>(parameter));
    MessageBoxW(request->owner, request->text.c_str(), request->caption.c_str(), request->type);
  } catch (...) {
  }
  return 0;
}

}  // namespace

std::wstring settingsPath() {
  wchar_t name[1024] = {};
  DWORD size = 1024;
  std::wstring user = GetUserNameW(name, &size) && name[0] ? name : kUnknownUser;
  return formatText(L"%s%s_ostrelle.ini", dataFolders().settings.c_str(), user.c_str());
}

std::wstring settingsPathToRead() {
  const std::wstring path = settingsPath();
  const DataFolders folders = dataFolders();
  if (folders.settingsBase.empty() || GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
    return path;
  // The profile holds none yet: a file beside the program, from before it
  // was moved into a folder it may not write to, is what the user set.
  std::wstring beside = programFolder() + path.substr(folders.settings.size());
  DWORD attributes = GetFileAttributesW(beside.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return beside;
  return path;
}

TargetKind decodeTargetKind(int value) {
  switch (value) {
    case 1:
      return TargetKind::NewestOnly;
    case 2:
      return TargetKind::UniqueOnly;
    default:
      return TargetKind::NewestAndUnique;
  }
}

TimeCriterion decodeCriterion(int value) {
  switch (value) {
    case 0:
      return TimeCriterion::Modified;
    case 1:
      return TimeCriterion::Created;
    default:
      return TimeCriterion::Both;
  }
}

StoredSettings loadSettings() {
  const std::wstring path = settingsPathToRead();
  StoredSettings s;
  s.logTransfers = readInt(L"LOGGING_COPY", 0, path) != 0;
  for (size_t i = 0; i < s.history.size(); ++i)
    s.history[i] = readText(kHistory, historyKey(i), path);
  s.includeSubfolders = readInt(L"SUB_DIR", 0, path) != 0;
  s.ignoreHierarchy = readInt(L"KAISOU_MUSHI", 0, path) != 0;
  s.targetKind = decodeTargetKind(readInt(L"KIND_OF_TARGET", 0, path));
  s.criterion = decodeCriterion(readInt(L"CRITERION", 2, path));
  s.method = readInt(L"COPY", 1, path) != 0 ? TransferMethod::Copy : TransferMethod::Move;
  s.keepTimeStamps = readInt(L"TIMESTAMP", 1, path) != 0;
  s.skipSame = readInt(L"SKIP_SAME", 0, path) != 0;
  // The profile read gives a value like "-1" as a huge unsigned number; any
  // value outside 1..64 means the default.
  int workers = readInt(L"THREADS", 0, path);
  s.workers = workers >= 1 && workers <= 64 ? static_cast<unsigned>(workers) : 0;
  return s;
}

std::optional<DestinationHistory> saveSettings(HWND owner, const StoredSettings& settings,
                                               const std::wstring& destinationText,
                                               std::wstring* unshownError) {
  const std::wstring path = settingsPath();
  const std::wstring carried = settingsPathToRead();
  makeDataFolder(dataFolders().settings);
  // The first save in the profile starts from the file it was read from, so
  // keys this program only reads (THREADS) go along.
  if (carried != path) CopyFileW(carried.c_str(), path.c_str(), TRUE);
  ensureUnicodeFile(path);
  if (!writeFlag(L"SUB_DIR", settings.includeSubfolders, path)) {
    std::wstring message = formatText(texts::kSettingsWriteFailed, path.c_str());
    if (unshownError)
      *unshownError = message;
    else
      showDetachedError(owner, message);
    return std::nullopt;
  }
  DestinationHistory history = promoteDestination(settings.history, destinationText);
  // Only the first write decides; the file was writable a moment ago.
  for (size_t i = 0; i < history.size(); ++i) writeText(kHistory, historyKey(i), history[i], path);
  writeFlag(L"KAISOU_MUSHI", settings.ignoreHierarchy, path);
  writeNumber(L"KIND_OF_TARGET", static_cast<int>(settings.targetKind), path);
  writeNumber(L"CRITERION", static_cast<int>(settings.criterion), path);
  writeFlag(L"COPY", settings.method == TransferMethod::Copy, path);
  writeFlag(L"TIMESTAMP", settings.keepTimeStamps, path);
  writeFlag(L"LOGGING_COPY", settings.logTransfers, path);
  // Added later than the others: a user who never turned it on keeps a file
  // without it.
  if (settings.skipSame || hasOptionKey(L"SKIP_SAME", path))
    writeFlag(L"SKIP_SAME", settings.skipSame, path);
  return history;
}

DestinationHistory promoteDestination(const DestinationHistory& history, const std::wstring& text) {
  // Entries 2..10 first, the first entry last: with the text both on top and
  // further down, the lower copy goes.
  size_t found = history.size() - 1;
  bool match = false;
  for (size_t i = 1; i < history.size() && !match; ++i) {
    if (sameIgnoringCase(history[i], text)) {
      found = i;
      match = true;
    }
  }
  if (!match && sameIgnoringCase(history[0], text)) found = 0;

  DestinationHistory promoted;
  promoted[0] = text;
  size_t out = 1;
  for (size_t i = 0; i < history.size(); ++i) {
    if (i != found) promoted[out++] = history[i];
  }
  return promoted;
}

bool readSubfolderSetting() { return readInt(L"SUB_DIR", 0, settingsPathToRead()) != 0; }

void showDetachedError(HWND owner, const std::wstring& message) {
  auto request = std::make_unique<ErrorRequest>(
      ErrorRequest{owner, message, texts::kCaptionError, MB_ICONERROR | MB_OK});
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, showErrorThread, request.get(), 0, &id);
  if (!thread) return;  // nothing shown; the caller goes on regardless
  request.release();    // the thread owns it now
  CloseHandle(thread);
}
