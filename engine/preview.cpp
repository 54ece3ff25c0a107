#include "engine/preview.h"

#include <algorithm>
#include <memory>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/run_host.h"
#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "engine/file_ops.h"
#include "engine/same_file.h"
#include "engine/transfer.h"
#include "log/run_log.h"

namespace {

void logLine(const wchar_t* category, const wchar_t* format, const std::wstring& path) {
  writeLogLine(category, formatText(format, path.c_str()));
}

// The run's folder test: a bare drive ("\\?\E:") stands for its root.
std::wstring probePath(const std::wstring& path) {
  if (!path.empty() && path.back() == L':') return path + L'\\';
  return path;
}

std::wstring parentOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// Whether a copy could replace this existing file: the replacement needs
// delete access, which a program holding the file open without sharing its
// deletion refuses.  The open asks for that access and changes nothing.
bool heldOpenElsewhere(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return false;
  }
  DWORD error = GetLastError();
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// What the plan has put where is kept only as long as a later step can
// meet it: a folder's entries go when the walk has left it, unless a later
// folder beside it is the same folder on disk (names that the file system
// folds together and the tree keeps apart).  So the memory follows the
// depth of the tree, not its size.
class Planner {
 public:
  explicit Planner(const RunOptions& options) : options_(options) {}

  void run(const FolderNode& root, const std::wstring& targetPath) {
    destination_ = foldedPath(targetPath) + L"\\";
    walkInTransferOrder<FolderState>(
        options_.targetKind, root, targetPath,
        [this](const FolderNode& folder, const std::wstring& target, const FolderState* parent,
               FolderState& state) { return enterFolder(folder, target, parent, state); },
        [this](const FileEntry& entry, const std::wstring& target, FolderState& state) {
          planFile(entry, target, state);
          runProgress.fileDone();
        },
        [](const std::wstring&) { return true; },
        [this](FolderState& state) { leaveFolder(state); });
    if (skipped_) writeLogLine(texts::kCategoryNotice, formatText(texts::kSkippedSame, skipped_));
  }

 private:
  struct FolderState {
    bool isNew = false;                   // the run would make it
    uint64_t timePrecision = kExactTime;  // of last-write times on its volume
    size_t mark = 0;                      // the entries planned from here on are this folder's
    bool keep = false;                    // a later folder beside it is the same on disk
    // Folded names of its subfolders that occur more than once (rarely any).
    std::shared_ptr<const std::set<std::wstring>> twins;
  };

  enum class Kind { Absent, File, Folder, NewFolder };
  // What the plan has put at a path so far: a file (of the winner's size
  // and last-write time) or a folder it makes.
  enum class Planned : unsigned char { File, NewFolder };
  struct PlannedItem {
    Planned kind;
    uint64_t size = 0, written = 0;
  };

  // What is at `path` once the steps planned so far were done.  A folder
  // the run would make holds only what the plan puts into it.
  Kind kindOf(const std::wstring& path, bool parentIsNew) const {
    std::wstring folded = foldedPath(path);
    auto found = planned_.find(folded);
    if (found != planned_.end())
      return found->second.kind == Planned::File ? Kind::File : Kind::NewFolder;
    if (parentIsNew || gone_.count(folded)) return Kind::Absent;
    DWORD attributes = GetFileAttributesW(probePath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return Kind::Absent;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? Kind::Folder : Kind::File;
  }

  // The run creates the folder and goes on when it is a folder afterwards:
  // an existing folder is used, a missing one is made when its parent is a
  // folder, and a file of that name blocks it.  Inside a folder the walk
  // entered the parent is a folder; only the destination's own parent is
  // looked up.
  bool enterFolder(const FolderNode& folder, const std::wstring& target, const FolderState* parent,
                   FolderState& state) {
    state.mark = order_.size();
    state.keep = parent && parent->twins && parent->twins->count(foldedPath(folder.name));
    state.twins = foldedTwins(folder.subfolders);
    if (!enterFolder(target, parent == nullptr, parent && parent->isNew, state.isNew)) return false;
    // As the run sees it: a folder it makes lies on its parent's volume.
    if (options_.skipsSame())
      state.timePrecision = state.isNew && parent ? parent->timePrecision : timePrecisionAt(target);
    return true;
  }

  void leaveFolder(const FolderState& state) {
    if (state.keep) return;
    for (size_t i = state.mark; i < order_.size(); ++i) planned_.erase(order_[i]);
    order_.resize(std::min(order_.size(), state.mark));
  }

  // Puts something at a (folded) path; a folder's leaving takes it away.
  void plan(const std::wstring& folded, PlannedItem what) {
    gone_.erase(folded);
    if (planned_.insert_or_assign(folded, what).second) order_.push_back(folded);
  }

  bool enterFolder(const std::wstring& target, bool isDestination, bool parentIsNew, bool& isNew) {
    Kind kind = kindOf(target, parentIsNew);
    if (kind == Kind::Folder || kind == Kind::NewFolder) {
      isNew = kind == Kind::NewFolder;
      return true;
    }
    std::wstring plain = plainPathOf(target);
    bool canMake = kind == Kind::Absent;
    if (canMake && isDestination) {
      // Asked with a trailing backslash, which the root of a share needs
      // and any folder takes.
      std::wstring parent = parentOf(target);
      DWORD attributes =
          parent.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW((parent + L"\\").c_str());
      canMake = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    if (!canMake) {
      logLine(texts::kCategoryError, texts::kErrCreateTarget, plain);
      return false;
    }
    plan(foldedPath(target), {Planned::NewFolder});
    logLine(texts::kCategoryPlanned, texts::kPlannedFolder, plain);
    isNew = true;
    return true;
  }

  // Whether the run would leave the file out: its target is a file of the
  // winner's size and last-write time, on disk or as the plan left it.
  // `folded` is the target's foldedPath.
  bool holdsSame(const FileEntry& entry, const std::wstring& target, const std::wstring& folded,
                 const FolderState& folder) {
    auto found = planned_.find(folded);
    if (found != planned_.end())
      return found->second.kind == Planned::File && found->second.size == entry.size &&
             sameTime(found->second.written, entry.written, folder.timePrecision);
    return !folder.isNew && !gone_.count(folded) &&
           holdsSameFile(target, entry.size, entry.written, folder.timePrecision);
  }

  void planFile(const FileEntry& entry, const std::wstring& folderPath, const FolderState& state) {
    const bool folderIsNew = state.isNew;
    std::wstring source = entry.sourcePath();
    const ScannedFolder& folder = *entry.folder;
    std::wstring sourceLong = joinPath(
        folder.longPath.empty() ? longPathOf(folder.path) : folder.longPath, entry.nameView());
    // The run opens the source with no sharing again before it copies; the
    // scan has just done the same for every file, so a preview does not:
    // what another program opens from now on it cannot foresee anyway.
    std::wstring target = folderPath + L"\\";
    target.append(entry.name, entry.nameLength);
    const std::wstring folded = foldedPath(target);
    Kind kind = kindOf(target, folderIsNew);
    if (options_.skipsSame() && kind == Kind::File && holdsSame(entry, target, folded, state)) {
      ++skipped_;
      return;
    }
    bool fails;
    if (options_.copies()) {
      // A copy replaces a file, also a read-only one, but not a folder, nor
      // a file another program holds open.
      fails = kind == Kind::Folder || kind == Kind::NewFolder ||
              (kind == Kind::File && !planned_.count(folded) && heldOpenElsewhere(target));
    } else {
      fails = kind != Kind::Absent;  // a move never replaces
    }
    if (fails) {
      logLine(texts::kCategoryError, options_.copies() ? texts::kErrCopy : texts::kErrMove, source);
      return;
    }
    writeLogLine(texts::kCategoryPlanned,
                 formatText(options_.copies() ? texts::kPlannedCopy : texts::kPlannedMove,
                            source.c_str(), plainPathOf(target).c_str()));
    plan(folded, {Planned::File, entry.size, entry.written});
    // A moved file leaves its place free.  Only a place inside the
    // destination can be a later target; it is kept to the end.
    std::wstring foldedSource = foldedPath(sourceLong);
    if (!options_.copies() && foldedSource.compare(0, destination_.size(), destination_) == 0) {
      planned_.erase(foldedSource);
      gone_.insert(std::move(foldedSource));
    }
  }

  const RunOptions& options_;
  std::wstring destination_;  // folded, with a closing backslash
  std::unordered_map<std::wstring, PlannedItem> planned_;
  uint32_t skipped_ = 0;                   // files left out because the target holds them already
  std::unordered_set<std::wstring> gone_;  // sources inside the destination moved away
  std::vector<std::wstring> order_;  // the paths a folder's leaving takes away, in planned order
};

}  // namespace

uint32_t countSelected(const FolderNode& root, TargetKind kind) {
  uint32_t count = 0;
  forEachSelected(root, kind, [&count](const FileEntry&) { ++count; });
  return count;
}

void planTransfer(const RunOptions& options, const FolderNode& root,
                  const std::wstring& destination) {
  std::wstring target = transferTarget(destination);
  if (!target.empty()) Planner(options).run(root, target);
}
