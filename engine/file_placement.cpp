#include "engine/file_placement.h"

#include <atomic>

#include "engine/file_ops.h"
#include "engine/native_file.h"
#include "engine/path_forms.h"

namespace {

constexpr LONG kStatusObjectNameCollision = static_cast<LONG>(0xC0000035);

std::atomic<int> replaceMethod{static_cast<int>(ReplaceMethod::Automatic)};
std::atomic<ReplaceFileFunction> replaceFileFunction{nullptr};

bool usePlatformReplace() {
  auto method = static_cast<ReplaceMethod>(replaceMethod.load());
  if (method == ReplaceMethod::Automatic) return !underWine();
  return method == ReplaceMethod::Platform;
}

bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Answers of ReplaceFileW that mean the volume does not do it at all (some
// network and FAT volumes), as opposed to this file failing.
bool replaceRefused(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
}

enum class Replaced { Yes, No, NoKeepCopy };

// Puts the complete copy `temporary` in place of the existing file `to`.
Replaced replaceExisting(const std::wstring& temporary, const std::wstring& to) {
  if (usePlatformReplace()) {
    ReplaceFileFunction replaceFile = replaceFileFunction.load();
    if (!replaceFile) replaceFile = ReplaceFileW;
    // The old file goes aside under a name of its own before the copy takes
    // its name, and comes back from there when that fails.
    std::wstring backup = newTemporaryPath(folderOf(to));
    if (replaceFile(to.c_str(), temporary.c_str(), backup.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS,
                    nullptr, nullptr)) {
      removeOwnFile(backup);
      return Replaced::Yes;
    }
    DWORD error = GetLastError();
    if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
      // The copy could not take the name.  The old file may be under the
      // backup name (..._2 always; without a backup, ... means it is gone):
      // it comes back; failing that, the copy takes the empty name.  The
      // copy itself stays where it is either way, for it may be the only
      // whole version left.
      if (!exists(to) && exists(backup)) MoveFileExW(backup.c_str(), to.c_str(), 0);
      if (!exists(to) && MoveFileExW(temporary.c_str(), to.c_str(), 0)) return Replaced::Yes;
      SetLastError(error);
      return Replaced::NoKeepCopy;
    }
    if (!replaceRefused(error)) {
      SetLastError(error);
      return Replaced::No;
    }
  }
  return MoveFileExW(temporary.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) ? Replaced::Yes
                                                                               : Replaced::No;
}

}  // namespace

void setReplaceMethod(ReplaceMethod method) { replaceMethod = static_cast<int>(method); }

void setReplaceFileFunction(ReplaceFileFunction function) { replaceFileFunction = function; }

Placement placeTemporary(Temporary& temporary, const std::wstring& to, bool replace) {
  LONG status = temporary.rename(to);
  if (status >= 0) return Placement::ByHandle;
  const std::wstring& path = temporary.path();
  if (status != kStatusObjectNameCollision) {
    // No rename through the open here: the new name by name.
    temporary.close();
    if (MoveFileExW(path.c_str(), to.c_str(), 0)) {
      temporary.release();
      return Placement::ByName;
    }
  } else {
    SetLastError(ERROR_ALREADY_EXISTS);
  }
  DWORD error = GetLastError();
  DWORD oldAttributes = GetFileAttributesW(to.c_str());
  if (!replace || oldAttributes == INVALID_FILE_ATTRIBUTES ||
      (oldAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetLastError(error);
    return Placement::Failed;
  }
  bool unlocked = (oldAttributes & FILE_ATTRIBUTE_READONLY) &&
                  SetFileAttributesW(to.c_str(), oldAttributes & ~FILE_ATTRIBUTE_READONLY);
  if (!usePlatformReplace()) {
    // The rename over it, through the open that has held the copy all along.
    status = temporary.rename(to, true);
    if (status >= 0) return Placement::ByHandle;
    if (status != kStatusNotImplemented) {
      if (unlocked) SetFileAttributesW(to.c_str(), oldAttributes);
      SetLastError(ERROR_ACCESS_DENIED);
      return Placement::Failed;
    }
  }
  // The steps below go by name.
  temporary.close();
  DWORD newAttributes = GetFileAttributesW(path.c_str());
  Replaced replaced = replaceExisting(path, to);
  if (replaced != Replaced::Yes) {
    error = GetLastError();
    if (unlocked) SetFileAttributesW(to.c_str(), oldAttributes);
    if (replaced == Replaced::NoKeepCopy) temporary.release();
    SetLastError(error);
    return Placement::Failed;
  }
  temporary.release();
  // The platform's replace keeps the old file's attributes; the copy's win.
  if (newAttributes != INVALID_FILE_ATTRIBUTES && GetFileAttributesW(to.c_str()) != newAttributes)
    SetFileAttributesW(to.c_str(), newAttributes);
  return Placement::ByName;
}
