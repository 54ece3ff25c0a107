#pragma once
// The few native (ntdll) requests on an open file that the copy needs and
// Win32 on XP does not offer: the times and attributes in one record, a new
// name for an open file, its deletion through the open handle, and the
// questions whether it carries anything besides its data.  Each is looked
// up at run time; where one is missing, the callers go the way of names.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Times and attributes of an open file in one record (a zero field: leave
// it as it is when setting).
struct BasicInformation {
  LARGE_INTEGER created, accessed, written, changed;
  ULONG attributes;
};

bool readBasicInformation(HANDLE file, BasicInformation& info);
bool writeBasicInformation(HANDLE file, const BasicInformation& info);

// NTSTATUS values the callers tell apart.
constexpr LONG kStatusNotImplemented = static_cast<LONG>(0xC0000002),
               kStatusNotSameDevice = static_cast<LONG>(0xC00000D4);

// Gives the open file the new name `to` (a "\\?\" path), replacing a file
// of that name only when asked; the handle needs DELETE access.  Returns
// the status, negative on failure (kStatusNotImplemented where the request
// is missing).
LONG renameOpenFile(HANDLE file, const std::wstring& to, bool replace = false);

// Marks the open file for deletion when its last handle closes; the handle
// needs DELETE access.  A read-only file refuses.
bool deleteOnClose(HANDLE file);

// Whether reading and writing the file's data carries everything CopyFileW
// would: no named streams, no extended attributes, and not encrypted,
// compressed, sparse or a link.  `attributes` are the file's.
bool plainFile(HANDLE file, ULONG attributes);

// Whether the answer of the stream query on a file (NtQueryInformationFile
// for FileStreamInformation: its status and buffer) leaves nothing but the
// data to copy: the one stream "::$DATA", or no list at all (a volume
// without streams).  More streams, or more than the buffer holds, need
// CopyFileW, which carries them.
bool onlyDataStream(long status, const void* streams, size_t size);

bool underWine();

// Two 32-bit halves as one number: times, sizes and file indexes come so.
inline uint64_t joinedHalves(DWORD high, DWORD low) {
  return (static_cast<uint64_t>(high) << 32) | low;
}
inline uint64_t ticksOf(const FILETIME& time) {
  return joinedHalves(time.dwHighDateTime, time.dwLowDateTime);
}
LARGE_INTEGER largeOf(const FILETIME& time);
FILETIME fileTimeOf(const LARGE_INTEGER& value);
