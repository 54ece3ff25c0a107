#pragma once
// The file-system operations of the scan, the transfer and their preview
// that are single requests: entering and enumerating folders, the opens
// that test and read files, setting times, folders and existence tests.
// The copies and moves are in file_copy.h, the path forms in path_forms.h.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <tuple>

#include "base/handles.h"
#include "engine/path_forms.h"

struct FileTimes {
  FILETIME created{}, accessed{}, written{};
};

// What tells one folder from another whatever the path it is reached by
// (links and junctions give a folder many paths): its volume, its file index
// and its creation time.  A file index of 0 or all ones (some network file
// systems give no index) is unknown, and an unknown identity equals none,
// not even itself: such a folder is never taken for another.
struct FolderIdentity {
  DWORD volume = 0, indexHigh = 0, indexLow = 0;
  uint64_t created = 0;
  bool known() const { return (indexHigh | indexLow) != 0 && (indexHigh & indexLow) != 0xFFFFFFFF; }
  bool operator==(const FolderIdentity& o) const {
    return known() && o.known() && volume == o.volume && indexHigh == o.indexHigh &&
           indexLow == o.indexLow && created == o.created;
  }
  bool operator!=(const FolderIdentity& o) const { return !(*this == o); }
  // An order for sorted lists of known identities.
  bool operator<(const FolderIdentity& o) const {
    return std::tie(volume, indexHigh, indexLow, created) <
           std::tie(o.volume, o.indexHigh, o.indexLow, o.created);
  }
};

// Whether the folder could become the current folder: it exists, is a
// folder and may be traversed.  Gives its identity when asked.
bool canEnterFolder(const std::wstring& folder, FolderIdentity* identity = nullptr);
// Starts enumerating every entry of `folder` ("." and ".." included).  An
// invalid handle means enumeration could not start; `empty` is set instead
// when the folder simply holds nothing (a drive root has no "." entry).
FindHandle startEnumeration(const std::wstring& folder, WIN32_FIND_DATAW& data, bool& empty);

// Opens with no sharing (a file held open elsewhere fails) and reads times.
bool readFileTimes(const std::wstring& path, FileTimes& times);
// The same open without reading anything: whether the file can be opened for
// reading with no sharing right now.
bool canOpenForRead(const std::wstring& path);
// Opens with no sharing, asking only for the right to write attributes
// (which a read-only file grants), and sets all three times.  False only
// when the open fails; what setting the times gives is not examined.
bool writeFileTimes(const std::wstring& path, const FileTimes& times);

// The bytes free to this user on the volume of `path` (or of its nearest
// folder that exists) and the size of its clusters.
bool freeSpaceAt(const std::wstring& path, uint64_t& freeBytes, uint64_t& clusterBytes);

// CreateDirectoryW: true when this call made the folder.
bool createFolder(const std::wstring& path);
bool pathExists(const std::wstring& path);
// Deletes a file that this run made, clearing a read-only attribute that
// would refuse it first.  Keeps the last error the caller had.
void removeOwnFile(const std::wstring& path);
bool isFolder(const std::wstring& path);

// Observer of the per-file operations (tests use it to act at an exact
// point of a run).  Called before each operation with its name ("read",
// "write", "copy", "move") and the path as the caller gave it.  A run with
// several workers calls it from each of them, possibly at once, so the
// hook must be safe for that; set it only while no run is under way.
using FileOperationHook = std::function<void(const wchar_t* operation, const std::wstring& path)>;
void setFileOperationHook(FileOperationHook hook);
void notifyFileOperation(const wchar_t* operation, const std::wstring& path);
