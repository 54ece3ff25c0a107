#pragma once
// The file-system operations of the engine and the run log.  Source paths
// come as the user entered them; destination paths carry "\\?\".  Calls on
// the source side go through the long-path form internally, so trees deeper
// than MAX_PATH are read.

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

#include "base/handles.h"
#include "base/sync.h"

struct FileTimes {
  FILETIME created{}, accessed{}, written{};
};

// "\\?\" form of a plain path for the source side: made absolute, forward
// slashes as backslashes, a UNC path as "\\?\UNC\...".  A bare drive ("E:")
// stands for its root.  A path already in that form is returned unchanged;
// one that cannot be made absolute gives "" (every call on it fails).
std::wstring longPathOf(const std::wstring& path);

// Whether a destination text names a folder on its own, whatever the
// process's current folder: "X:\..." (either separator), a bare "X:" (its
// root), "\\server\share..." or a "\\?\" path.  "out", "\out" and "X:out"
// do not.
bool isFullDestination(const std::wstring& destination);

// A full destination text as the base of its targets: forward slashes as
// backslashes, "." and ".." resolved and no trailing backslash, so
// "\\?\" + it + "\name" is valid; a UNC text becomes "UNC\server\share...".
// An empty text stays empty.
std::wstring normaliseDestination(const std::wstring& destination);

// A "\\?\" path as the user would write it: "C:\..." or "\\server\...".
std::wstring plainPathOf(const std::wstring& path);

// folder + "\" + name, without doubling a backslash the folder ends with.
std::wstring joinPath(const std::wstring& folder, std::wstring_view name);

// What tells one folder from another whatever the path it is reached by
// (links and junctions give a folder many paths).
struct FolderIdentity {
  DWORD volume = 0, indexHigh = 0, indexLow = 0;
  bool operator==(const FolderIdentity& o) const {
    return volume == o.volume && indexHigh == o.indexHigh && indexLow == o.indexLow;
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

// Temporary files and folders.  Every copy is made under a temporary name
// first and takes its real name only when complete, so a run that is killed
// (or a copy that fails) never leaves a partial file under a real name.  A
// temporary name is "~ostrelle-" + hexadecimal fields joined by "-" +
// ".tmp": the owner's process id, the second its process started (which
// tells a live owner from a dead one whose id was reused), and a counter.
// Scans never gather such names; the transfer removes those of dead runs
// from every existing folder it works in.
bool isTemporaryName(std::wstring_view name);
// Removes every temporary file or folder in `folder` whose owning process
// has ended.  Returns how many went.
int removeDeadTemporaries(const std::wstring& folder);

// A folder of the run's own at the top of the destination where copies are
// made before they take their names.  It stays small, so creating a name in
// it is cheap even where the target folders are large; it is made on first
// use and removed with whatever is left in it when the object goes.  Safe to
// use from several threads.
class StagingArea {
 public:
  explicit StagingArea(std::wstring root);  // "\\?\" form of the destination
  ~StagingArea();
  StagingArea(const StagingArea&) = delete;
  StagingArea& operator=(const StagingArea&) = delete;
  // A fresh temporary path inside it, or "" when the folder cannot be made.
  std::wstring newTemporary();
  const std::wstring& folder() const { return folder_; }

 private:
  std::wstring root_, folder_;
  CriticalSection lock_;
  int state_ = 0;  // 0 not made yet, 1 made, -1 cannot be made
};

// Copies without ever leaving a target truncated or destroyed: the copy is
// made under a temporary name (in `staging` when given and on the same
// volume, otherwise beside the target) and then takes the target's name in
// one step.  An existing target is replaced like any other file, also a
// read-only one; the result carries the source's attributes.  On failure the
// temporary file goes and the old target stays as it was.
// With `times`, a copy that arrives under a new name gets them as it takes
// the name (`timesSet` then says so); otherwise the caller sets them.
bool copyFileSafely(const std::wstring& source, const std::wstring& target,
                    StagingArea* staging = nullptr, const FileTimes* times = nullptr,
                    bool* timesSet = nullptr);
// Whether the answer of the stream query on a file (NtQueryInformationFile
// for FileStreamInformation: its status and buffer) leaves nothing but the
// data to copy: the one stream "::$DATA", or no list at all (a volume
// without streams).  More streams, or more than the buffer holds, need
// CopyFileW, which carries them.
bool onlyDataStream(long status, const void* streams, size_t size);

// The copy of a transfer, through one open of the source that serves as the
// test that it can be read, the reading of its times and the copy itself.
// With `times`, the open allows no sharing, as readFileTimes', and the copy
// gets all three times (read into `times`; `timesSet` says whether it has
// them already); without, the copy keeps the last-write time as
// copyFileSafely's.  SourceNotOpened: the open or the reading of the times
// failed, and nothing was copied.
enum class CopyOutcome { Copied, SourceNotOpened, Failed };
CopyOutcome copySourceFile(const std::wstring& source, const std::wstring& target,
                           StagingArea* staging, FileTimes* times, bool* timesSet);
// Moves; fails when the target exists.  To another volume the file is copied
// under a temporary name first and the source removed only after the copy
// has its name.
bool moveFile(const std::wstring& source, const std::wstring& target,
              StagingArea* staging = nullptr);

// How an existing target is replaced by its complete copy.  `Platform` is
// ReplaceFileW, which keeps the replaced file's identity (security, owner),
// with the rename as the fallback where a volume refuses it; `Rename` is the
// rename over it.  `Automatic` takes Platform, except under Wine, whose
// ReplaceFileW moves the old file aside first and is not atomic.  Tests
// choose one to check both ways.
enum class ReplaceMethod { Automatic, Platform, Rename };
void setReplaceMethod(ReplaceMethod method);

// CreateDirectoryW: true when this call made the folder.
bool createFolder(const std::wstring& path);
bool pathExists(const std::wstring& path);
bool isFolder(const std::wstring& path);

// Observer of the per-file operations (tests use it to act at an exact
// point of a run).  Called before each operation with its name ("read",
// "write", "copy", "move") and the path as the caller gave it.  A run with
// several workers calls it from each of them, possibly at once, so the
// hook must be safe for that; set it only while no run is under way.
using FileOperationHook = std::function<void(const wchar_t* operation, const std::wstring& path)>;
void setFileOperationHook(FileOperationHook hook);
