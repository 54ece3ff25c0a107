#include "engine/native_file.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "base/system_function.h"
#include "engine/path_forms.h"

namespace {

using InformationCall = LONG(WINAPI*)(HANDLE, void* ioStatus, void* information, ULONG length,
                                      int informationClass);
constexpr int kFileBasicInformation = 4, kFileEaInformation = 7, kFileRenameInformation = 10,
              kFileDispositionInformation = 13, kFileStreamInformation = 22;
constexpr LONG kStatusBufferOverflow = static_cast<LONG>(0x80000005),
               kStatusBufferTooSmall = static_cast<LONG>(0xC0000023);

InformationCall ntdllCall(const char* name) {
  return systemFunction<InformationCall>(L"ntdll.dll", name);
}

InformationCall queryInformationFile() {
  static const InformationCall function = ntdllCall("NtQueryInformationFile");
  return function;
}

InformationCall setInformationFile() {
  static const InformationCall function = ntdllCall("NtSetInformationFile");
  return function;
}

// NtSetInformationFile's rename of an open file: a new name only.
struct RenameInformation {
  BOOLEAN replaceIfExists;
  HANDLE rootDirectory;
  ULONG fileNameLength;
  WCHAR fileName[1];
};

struct StreamInformation {
  ULONG nextEntryOffset;
  ULONG nameLength;
  LARGE_INTEGER size, allocationSize;
  WCHAR name[1];
};

}  // namespace

bool readBasicInformation(HANDLE file, BasicInformation& info) {
  InformationCall query = queryInformationFile();
  ULONG_PTR ioStatus[2] = {};
  return query && query(file, ioStatus, &info, sizeof info, kFileBasicInformation) >= 0;
}

bool writeBasicInformation(HANDLE file, const BasicInformation& info) {
  InformationCall setInformation = setInformationFile();
  ULONG_PTR ioStatus[2] = {};
  BasicInformation copy = info;
  return setInformation &&
         setInformation(file, ioStatus, &copy, sizeof copy, kFileBasicInformation) >= 0;
}

LONG renameOpenFile(HANDLE file, const std::wstring& to, bool replace) {
  InformationCall setInformation = setInformationFile();
  if (!setInformation || !hasLongPrefix(to)) return kStatusNotImplemented;
  // The system's own form of "\\?\" paths is "\??\".
  std::wstring ntName = L"\\??\\" + to.substr(4);
  std::vector<char> buffer(offsetof(RenameInformation, fileName) +
                           (ntName.size() + 1) * sizeof(wchar_t));
  auto* rename = reinterpret_cast<RenameInformation*>(buffer.data());
  rename->replaceIfExists = replace ? TRUE : FALSE;
  rename->rootDirectory = nullptr;
  rename->fileNameLength = static_cast<ULONG>(ntName.size() * sizeof(wchar_t));
  std::copy(ntName.begin(), ntName.end(), rename->fileName);
  ULONG_PTR ioStatus[2] = {};
  return setInformation(file, ioStatus, rename, static_cast<ULONG>(buffer.size()),
                        kFileRenameInformation);
}

bool deleteOnClose(HANDLE file) {
  InformationCall setInformation = setInformationFile();
  ULONG_PTR ioStatus[2] = {};
  BOOLEAN deleteFile = TRUE;
  return setInformation && setInformation(file, ioStatus, &deleteFile, sizeof deleteFile,
                                          kFileDispositionInformation) >= 0;
}

bool onlyDataStream(long status, const void* streams, size_t size) {
  if (status == kStatusBufferOverflow || status == kStatusBufferTooSmall) return false;
  if (status < 0) return true;  // the volume lists no streams
  static const std::wstring_view dataStream = L"::$DATA";
  const char* bytes = static_cast<const char*>(streams);
  for (size_t at = 0;;) {
    if (at + offsetof(StreamInformation, name) > size) return false;
    const auto* stream = reinterpret_cast<const StreamInformation*>(bytes + at);
    if (at + offsetof(StreamInformation, name) + stream->nameLength > size ||
        std::wstring_view(stream->name, stream->nameLength / sizeof(wchar_t)) != dataStream)
      return false;
    if (stream->nextEntryOffset == 0) return true;
    at += stream->nextEntryOffset;
  }
}

bool plainFile(HANDLE file, ULONG attributes) {
  if (attributes & (FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_COMPRESSED |
                    FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_REPARSE_POINT))
    return false;
  InformationCall query = queryInformationFile();
  if (!query) return false;
  ULONG_PTR ioStatus[2] = {};
  ULONG eaSize = 0;
  if (query(file, ioStatus, &eaSize, sizeof eaSize, kFileEaInformation) >= 0 && eaSize != 0)
    return false;
  // Wine keeps no streams besides the data, and answers the query with a
  // diagnostic line on the console for every file.
  if (underWine()) return true;
  alignas(8) char buffer[512];
  LONG status = query(file, ioStatus, buffer, sizeof buffer, kFileStreamInformation);
  return onlyDataStream(status, buffer, sizeof buffer);
}

bool underWine() {
  static const bool wine =
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

LARGE_INTEGER largeOf(const FILETIME& time) {
  LARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = static_cast<LONG>(time.dwHighDateTime);
  return value;
}

FILETIME fileTimeOf(const LARGE_INTEGER& value) {
  return FILETIME{value.LowPart, static_cast<DWORD>(value.HighPart)};
}
