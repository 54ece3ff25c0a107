#include "engine/preview.h"

#include <unordered_map>
#include <vector>

#include "base/run_host.h"
#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "engine/file_ops.h"
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

class Planner {
 public:
  explicit Planner(const RunOptions& options) : options_(options) {}

  void run(const FolderNode& root, const std::wstring& targetPath) {
    walkInTransferOrder<bool>(
        options_.targetKind, root, targetPath,
        [this](const FolderNode&, const std::wstring& target, const bool* parentIsNew,
               bool& isNew) {
          return enterFolder(target, parentIsNew == nullptr, parentIsNew && *parentIsNew, isNew);
        },
        [this](const FileEntry& entry, const std::wstring& target, bool& isNew) {
          planFile(entry, target, isNew);
          runProgress.fileDone();
        },
        [](const std::wstring&) { return true; });
  }

 private:
  enum class Kind { Absent, File, Folder, NewFolder };
  // What the plan has put at a path so far: a file, a folder it makes, or
  // nothing any more (a file moved away).
  enum class Planned : unsigned char { File, NewFolder, Gone };

  // What is at `path` once the steps planned so far were done.  A folder
  // the run would make holds only what the plan puts into it.
  Kind kindOf(const std::wstring& path, bool parentIsNew) const {
    auto found = planned_.find(foldedPath(path));
    if (found != planned_.end()) {
      switch (found->second) {
        case Planned::File:
          return Kind::File;
        case Planned::NewFolder:
          return Kind::NewFolder;
        case Planned::Gone:
          return Kind::Absent;
      }
    }
    if (parentIsNew) return Kind::Absent;
    DWORD attributes = GetFileAttributesW(probePath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return Kind::Absent;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? Kind::Folder : Kind::File;
  }

  // The run creates the folder and goes on when it is a folder afterwards:
  // an existing folder is used, a missing one is made when its parent is a
  // folder, and a file of that name blocks it.  Inside a folder the walk
  // entered the parent is a folder; only the destination's own parent is
  // looked up.
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
    planned_[foldedPath(target)] = Planned::NewFolder;
    logLine(texts::kCategoryPlanned, texts::kPlannedFolder, plain);
    isNew = true;
    return true;
  }

  void planFile(const FileEntry& entry, const std::wstring& folderPath, bool folderIsNew) {
    std::wstring source = entry.sourcePath();
    const ScannedFolder& folder = *entry.folder;
    std::wstring sourceLong = joinPath(
        folder.longPath.empty() ? longPathOf(folder.path) : folder.longPath, entry.nameView());
    // The run opens the source with no sharing again before it copies; the
    // scan has just done the same for every file, so a preview does not:
    // what another program opens from now on it cannot foresee anyway.
    std::wstring target = folderPath + L"\\";
    target.append(entry.name, entry.nameLength);
    Kind kind = kindOf(target, folderIsNew);
    bool fails;
    if (options_.copies()) {
      // A copy replaces a file, also a read-only one, but not a folder, nor
      // a file another program holds open.
      fails =
          kind == Kind::Folder || kind == Kind::NewFolder ||
          (kind == Kind::File && !planned_.count(foldedPath(target)) && heldOpenElsewhere(target));
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
    planned_[foldedPath(target)] = Planned::File;
    if (!options_.copies()) planned_[foldedPath(sourceLong)] = Planned::Gone;
  }

  const RunOptions& options_;
  std::unordered_map<std::wstring, Planned> planned_;
};

}  // namespace

uint32_t countSelected(const FolderNode& root, TargetKind kind) {
  uint32_t count = 0;
  std::vector<const FolderNode*> pending{&root};
  while (!pending.empty()) {
    const FolderNode* node = pending.back();
    pending.pop_back();
    for (const FileEntry& entry : node->files)
      if (isSelected(kind, entry.sourceCount)) ++count;
    for (const FolderNode& child : node->subfolders) pending.push_back(&child);
  }
  return count;
}

void planTransfer(const RunOptions& options, const FolderNode& root,
                  const std::wstring& destination) {
  std::wstring target = transferTarget(destination);
  if (!target.empty()) Planner(options).run(root, target);
}
