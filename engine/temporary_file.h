#pragma once
// Temporaries.  Every copy is written under a temporary name in its
// target's own folder, so that it inherits that folder's permissions,
// compression and encryption as a file made there does, and it takes its
// real name only when complete: a run that is killed, or a copy that fails,
// never leaves a partial file under a real name.
//
// Names: "~ostrelle-part-", three fields of exactly eight lowercase
// hexadecimal digits joined by "-" (the process id, the second the process
// started and a counter), then ".tmp".  Only a name of exactly that form is
// taken for a temporary: the scan leaves it out, and the cleanup looks at
// nothing else.
//
// Ownership is proven by the file system, not by process ids (another PC's
// ids mean nothing here): a live temporary is held open by its run without
// sharing, from its creation until it has its name or is removed, except
// while ReplaceFileW needs it closed (the moment between the close and the
// replace).  Removing a live one therefore fails, and only what a dead run
// left can go.

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

#include "base/handles.h"

class LogSink;

bool isTemporaryName(std::wstring_view name);

// A fresh temporary path in `folder` (a "\\?\" path); nothing is created.
std::wstring newTemporaryPath(const std::wstring& folder);

// A temporary file of this run, removed when the object goes unless it has
// taken its name or is kept.  Move-only.
class Temporary {
 public:
  Temporary() = default;
  Temporary(Temporary&& other) noexcept;
  Temporary& operator=(Temporary&& other) noexcept;
  ~Temporary();
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;

  // A new empty one in `folder`, hidden and not content-indexed while it is
  // written, open for writing, its attributes and renaming, with no sharing.
  static Temporary create(const std::wstring& folder);
  // A copy of `from` made by CopyFileW (which carries streams, extended
  // attributes, compression and encryption) in `folder`, then held open.
  static Temporary copyOf(const std::wstring& from, const std::wstring& folder);

  explicit operator bool() const { return !path_.empty(); }
  HANDLE handle() const { return file_.get(); }
  const std::wstring& path() const { return path_; }

  // Gives it the name `to` through its open handle, replacing a file of
  // that name only when asked.  Returns the status (negative on failure);
  // on success it is no temporary any more.
  LONG rename(const std::wstring& to, bool replace = false);
  // Closes the handle for a step that needs the file by name.
  void close() { file_.reset(); }
  // The file has its name, or must stay (it may be the only whole copy):
  // the object forgets it.
  void release();

 private:
  void remove();

  FileHandle file_;
  std::wstring path_;
};

// Removes every file in `folder` that has a temporary's name and that no
// live run holds, and writes one notice line for each to `log`.  Folders
// are never touched.  Returns how many went.  With `everyEntry`, the folder
// is read whole and each of its entries ("." and ".." too) handed to it, so
// that a caller who needs them all reads the folder once.
int removeDeadTemporaries(const std::wstring& folder, LogSink& log,
                          const std::function<void(const WIN32_FIND_DATAW&)>& everyEntry = {});
