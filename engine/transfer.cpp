#include "engine/transfer.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "base/run_host.h"
#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "engine/file_copy.h"
#include "engine/file_ops.h"
#include "engine/same_file.h"
#include "engine/system_folder.h"
#include "engine/temporary_file.h"
#include "engine/work_pool.h"
#include "log/ordered_log.h"
#include "log/run_log.h"

namespace {

void logError(LogSink& log, const wchar_t* format, const std::wstring& path) {
  log.write(texts::kCategoryError, formatText(format, path.c_str()));
}

// Creates the target folder; false (with the error line) when it is not a
// folder afterwards.  An existing folder is fine, a file of that name is not.
// `made` tells whether this call made it, so it held nothing before.
bool makeTargetFolder(const std::wstring& targetPath, bool& made, LogSink& log) {
  made = createFolder(targetPath);
  std::wstring plain = plainPathOf(targetPath);
  // The test is given the "\\?\" form, as the creation was: a plain path
  // would lose a name's trailing dots and spaces.  A bare drive ("\\?\E:",
  // from the destination "E:\") is tested as its root.
  std::wstring probe = targetPath;
  if (!probe.empty() && probe.back() == L':') probe += L'\\';
  if (!isFolder(probe)) {
    logError(log, texts::kErrCreateTarget, plain);
    return false;
  }
  return true;
}

// What a folder of the walk knows for the skip of what the destination
// holds already: the precision of last-write times on its volume, and how
// to tell what it holds.
struct TargetFolder {
  uint64_t timePrecision = kExactTime;
  // Nothing: this run made it.  AsRead: its entries as read when the walk
  // came to it, which no step before a file's own can have changed.  ByName:
  // a step before may have put a file of a name that folds alike there (two
  // entries of the folder, or two folders of the tree, that the file system
  // takes for one), so each file is asked for at its turn.
  enum class Holds { Nothing, AsRead, ByName } holds = Holds::ByName;
  std::shared_ptr<const FolderSnapshot> read;
  std::shared_ptr<const std::set<std::wstring>> twins;  // of its subfolders, folded
};

// Whether two files of a folder have names that the file system takes for one.
bool namesFoldAlike(const std::vector<FileEntry>& files) {
  std::set<std::wstring> seen;
  for (const FileEntry& file : files)
    if (!seen.insert(foldedPath(std::wstring(file.nameView()))).second) return true;
  return false;
}

// The work for one file, on whichever thread runs it; its lines go to `log`.
// False when the target was left as it was because it holds the same file.
bool transferFile(const RunOptions& options, const FileEntry& entry, const std::wstring& targetPath,
                  const TargetFolder& folderInfo, LogSink& log) {
  std::wstring target = targetPath + L"\\";
  target.append(entry.name, entry.nameLength);
  // What a folder's entries tell is decided before the file is handed out
  // (TreeTransfer::handleFile); a file asked for by name, at its turn.
  if (options.skipsSame() && folderInfo.holds == TargetFolder::Holds::ByName &&
      holdsSameFile(target, entry.size, entry.written, folderInfo.timePrecision))
    return false;
  std::wstring source = entry.sourcePath();
  // The calls get the long form the scan opened the folder by, with the name
  // appended as it is: parsing the plain path again would strip a trailing
  // dot or space from a folder name and reach another folder's file.
  const ScannedFolder& folder = *entry.folder;
  std::wstring sourceLong = joinPath(
      folder.longPath.empty() ? longPathOf(folder.path) : folder.longPath, entry.nameView());
  FileTimes times;
  bool timesSet = false;
  if (options.copies()) {
    // One open of the source reads its times and copies it.  As in the
    // scan, times that cannot be read after the file opened count like a
    // file that cannot be opened.
    switch (copySourceFile(sourceLong, target, options.keepTimeStamps ? &times : nullptr, &timesSet,
                           entry.size)) {
      case CopyOutcome::Copied:
        break;
      case CopyOutcome::SourceNotOpened:
        logError(log, texts::kErrOpenForRead, source);
        return true;
      case CopyOutcome::Failed:
        logError(log, texts::kErrCopy, source);
        return true;
    }
  } else {
    if (options.keepTimeStamps && !readFileTimes(sourceLong, times)) {
      logError(log, texts::kErrOpenForRead, source);
      return true;
    }
    if (!moveFile(sourceLong, target)) {
      logError(log, texts::kErrMove, source);
      return true;
    }
  }
  if (options.logTransfers) {
    log.write(options.copies() ? texts::kCategoryCopied : texts::kCategoryMoved,
              formatText(options.copies() ? texts::kCopiedLine : texts::kMovedLine, source.c_str(),
                         plainPathOf(target).c_str()));
  }
  // Only a failed open is reported; the target then keeps the times the
  // copy or move gave it.
  if (options.keepTimeStamps && !timesSet && !writeFileTimes(target, times))
    logError(log, texts::kErrOpenForWrite, target);
  return true;
}

// Whether a step's copy or move failed because the volume was full; `error`
// is the last error as the step ended.
bool ranOutOfSpace(StepLines& lines, DWORD error) {
  if (error != ERROR_DISK_FULL && error != ERROR_HANDLE_DISK_FULL) return false;
  std::wstring_view copyFailed(texts::kErrCopy), moveFailed(texts::kErrMove);
  copyFailed = copyFailed.substr(0, copyFailed.find(L'%'));
  moveFailed = moveFailed.substr(0, moveFailed.find(L'%'));
  for (const StepLines::Line& line : lines.lines()) {
    std::wstring_view message(line.message);
    if (message.substr(0, copyFailed.size()) == copyFailed ||
        message.substr(0, moveFailed.size()) == moveFailed)
      return true;
  }
  return false;
}

// Walks the tree depth first, as one thread does: a node's folder, its files
// in name order, then each subfolder in order.  Polls for a cancel before
// each file and each subfolder.
//
// With one worker every step runs here, one after another, and writes its
// lines at once.  With more, this thread stays the only one that walks, and
// the steps keep the one-thread order by these rules:
//  - Every step (a folder made here, a file handed to the pool) takes the
//    next number of the ordered log, whose lines come out in number order.
//  - Folders are made here, so a folder exists before any of its files is
//    queued.
//  - Before making a folder this thread waits until every queued file has
//    been taken, and polls for a cancel after that wait: files are taken in
//    order and a file taken after a cancel is dropped, so the steps that
//    happened stay a prefix of the one-thread order.
//  - Targets that the file system takes for one name (case beyond ASCII,
//    full-width letters; the tree keeps such names apart, and two folders of
//    such names share one folder on disk) never meet in flight: before a
//    file is queued, and before a folder is made, this thread waits for the
//    file in flight whose target folds to the same path.  So a file that
//    blocks a folder is there before the folder is tried, and the folder's
//    whole subtree is skipped as with one thread.
//  - A target folder that the scan read as well (the same folder by another
//    path) may hold the sources of later files: before it is made, every
//    file in flight ends, and from there on every step runs here, one after
//    another.
//  - Whether a target holds the same file already is decided here, from
//    the folder's entries as read when the walk came to it, where no step
//    before can have changed them (a folder this run made holds nothing);
//    such a file is no step.  Where a step before may have put a file of a
//    name that folds alike, the step decides by name at its turn: files of
//    one folded target never meet in flight, so it sees what the steps
//    before it left.  The count of the files left out is written after
//    every step's lines.
class TreeTransfer {
 public:
  TreeTransfer(const RunOptions& options, unsigned workers,
               const std::vector<FolderIdentity>& scanned)
      : options_(options), scanned_(scanned), log_(workers > 1 ? kWindowPerWorker * workers : 1) {
    if (workers > 1 && log_.ok())
      pool_ = std::make_unique<WorkPool>(workers, kQueuePerWorker * workers);
  }

  void run(const FolderNode& node, const std::wstring& targetPath) {
    walkInTransferOrder<TargetFolder>(
        options_.targetKind, node, targetPath,
        [this](const FolderNode& node, const std::wstring& target, const TargetFolder* parent,
               TargetFolder& folder) { return enterFolder(node, target, parent, folder); },
        [this](const FileEntry& entry, const std::wstring& target, TargetFolder& folder) {
          handleFile(entry, target, folder);
        },
        [this](const std::wstring& target) {
          if (!parallel()) return true;
          pool_->waitUntilTaken();
          waitForTarget(foldedPath(target));
          // The poll before this subfolder, once everything before it has
          // started or been dropped.
          return !cancelled();
        },
        [](TargetFolder&) {});
    if (pool_) pool_->finishAll();
    // Every step's lines are out: the count goes last, as with one thread.
    if (uint32_t skipped = skipped_.load())
      writeLogLine(texts::kCategoryNotice, formatText(texts::kSkippedSame, skipped));
  }

 private:
  // Queued files per worker, and steps per worker that may be begun but not
  // yet written (a large file holds back the lines of the small ones after
  // it until it is done).
  static constexpr size_t kQueuePerWorker = 8, kWindowPerWorker = 64;

  struct InFlight {
    std::wstring target;  // folded
    std::atomic<bool> done{false};
  };

  bool parallel() const { return pool_ && pool_->threaded() && !alone_; }

  // Makes the target folder; in a folder that was there before, what a run
  // that was cut short left behind goes now.  For the skip, the folder learns
  // what it holds: reading its entries here is one pass over the folder, the
  // one that finds the leftovers, where asking for each file by name costs a
  // request each.
  void prepareFolder(const FolderNode& node, const std::wstring& target, const TargetFolder* parent,
                     TargetFolder& folder, bool& ok, LogSink& log) {
    bool made = false;
    ok = makeTargetFolder(target, made, log);
    if (!ok) return;
    if (!options_.skipsSame()) {
      if (!made) removeDeadTemporaries(target, log);
      return;
    }
    // A folder made here lies on its parent's volume; one that was there
    // may be another volume mounted below it.
    folder.timePrecision = made && parent ? parent->timePrecision : timePrecisionAt(target);
    folder.twins = foldedTwins(node.subfolders);
    bool twin = parent && parent->twins && parent->twins->count(foldedPath(node.name));
    bool alike = namesFoldAlike(node.files);
    if (made) {
      folder.holds = alike ? TargetFolder::Holds::ByName : TargetFolder::Holds::Nothing;
    } else if (twin || alike) {
      folder.holds = TargetFolder::Holds::ByName;
      removeDeadTemporaries(target, log);
    } else {
      auto read = std::make_shared<FolderSnapshot>();
      removeDeadTemporaries(target, log, [&read](const WIN32_FIND_DATAW& e) { read->add(e); });
      folder.read = std::move(read);
      folder.holds = TargetFolder::Holds::AsRead;
    }
  }

  bool enterFolder(const FolderNode& node, const std::wstring& target, const TargetFolder* parent,
                   TargetFolder& folder) {
    // A folder that was scanned as well may hold sources of later files:
    // from here on one file at a time, after all in flight have ended.
    if (parallel() && !scanned_.empty() && isScannedFolder(target)) {
      pool_->finishAll();
      alone_ = true;
    }
    bool ok = false;
    if (!parallel()) {
      DirectLog direct;
      prepareFolder(node, target, parent, folder, ok, direct);
    } else {
      uint64_t step = log_.begin();
      StepLines lines;
      prepareFolder(node, target, parent, folder, ok, lines);
      log_.finish(step, lines);
    }
    return ok;
  }

  bool isScannedFolder(const std::wstring& target) const {
    FolderIdentity identity;
    if (!canEnterFolder(target, &identity) || !identity.known()) return false;
    return std::binary_search(scanned_.begin(), scanned_.end(), identity);
  }

  void handleFile(const FileEntry& entry, const std::wstring& folderTarget,
                  const TargetFolder& folder) {
    // A file the folder's entries show as there already is no step at all:
    // no job, no line.  Nothing before it can have changed what they show.
    if (options_.skipsSame() && folder.holds == TargetFolder::Holds::AsRead &&
        folder.read->holdsSame(entry.nameView(), entry.size, entry.written, folder.timePrecision)) {
      ++skipped_;
      runProgress.fileDone();
      return;
    }
    if (!parallel()) {
      DirectLog direct;
      if (!transferFile(options_, entry, folderTarget, folder, direct)) ++skipped_;
      runProgress.fileDone();
      return;
    }
    std::wstring target = folderTarget + L"\\";
    target.append(entry.name, entry.nameLength);
    auto flight = std::make_shared<InFlight>();
    flight->target = foldedPath(std::move(target));
    waitForTarget(flight->target);
    inFlight_.push_back(flight);
    uint64_t step = log_.begin();
    const RunOptions& options = options_;
    OrderedLog& log = log_;
    WorkPool& pool = *pool_;
    std::atomic<uint32_t>& skipped = skipped_;
    pool_->submit([&options, &log, &pool, &skipped, &entry, folderTarget, folder, step,
                   flight](bool started) {
      StepLines lines;
      try {
        if (started) {
          if (!transferFile(options, entry, folderTarget, folder, lines)) ++skipped;
          // Files copied at the same time share the space left.  One that
          // did not fit is tried again alone, as with one thread, once the
          // others have ended and before any further file starts.
          if (ranOutOfSpace(lines, GetLastError())) {
            lines.lines().clear();
            pool.runAlone([&] { transferFile(options, entry, folderTarget, folder, lines); });
          }
          runProgress.fileDone();
        }
      } catch (...) {
        // Out of memory: the step still ends, so that the log moves on and
        // this thread's waits end; the pool then ends the phase.
        lines.lines().clear();
        flight->done = true;
        log.finish(step, lines);
        throw;
      }
      flight->done = true;
      log.finish(step, lines);
    });
  }

  // Waits until no file in flight has this folded target, and forgets the
  // files that have ended.
  void waitForTarget(const std::wstring& folded) {
    auto ended = [](const std::shared_ptr<InFlight>& f) { return f->done.load(); };
    inFlight_.erase(std::remove_if(inFlight_.begin(), inFlight_.end(), ended), inFlight_.end());
    for (const std::shared_ptr<InFlight>& f : inFlight_)
      if (f->target == folded) pool_->waitUntil([&f] { return f->done.load(); });
  }

  const RunOptions& options_;
  const std::vector<FolderIdentity>& scanned_;
  bool alone_ = false;                // a scanned folder was met: one file at a time from there on
  std::atomic<uint32_t> skipped_{0};  // files left out because the target holds them
  std::vector<std::shared_ptr<InFlight>> inFlight_;
  OrderedLog log_;
  std::unique_ptr<WorkPool> pool_;  // last: it goes first, and its jobs use the log
};

// Bytes the selected files take on a volume of `cluster`-byte clusters.
uint64_t bytesToTransfer(const FolderNode& root, TargetKind kind, uint64_t cluster) {
  uint64_t bytes = 0;
  forEachSelected(root, kind, [&bytes, cluster](const FileEntry& entry) {
    bytes += (entry.size + cluster - 1) / cluster * cluster;
  });
  return bytes;
}

}  // namespace

std::shared_ptr<const std::set<std::wstring>> foldedTwins(const std::vector<FolderNode>& folders) {
  std::set<std::wstring> seen, twice;
  for (const FolderNode& f : folders)
    if (!seen.insert(foldedPath(f.name)).second) twice.insert(foldedPath(f.name));
  if (twice.empty()) return nullptr;
  return std::make_shared<const std::set<std::wstring>>(std::move(twice));
}

bool isSelected(TargetKind kind, int32_t sourceCount) {
  switch (kind) {
    case TargetKind::NewestAndUnique:
      return true;
    case TargetKind::NewestOnly:
      return sourceCount > 1;
    case TargetKind::UniqueOnly:
      return sourceCount == 1;
  }
  return false;
}

void transferFolder(const RunOptions& options, const FolderNode& node,
                    const std::wstring& targetPath,
                    const std::vector<FolderIdentity>& scannedFolders) {
  unsigned workers = workersFor(options);
  // Files copied at the same time share the space left: where it may run
  // out, which files fit would depend on the order in which they end.  One
  // thread then copies them in the order of the walk.
  if (workers > 1) {
    uint64_t freeBytes = 0, cluster = 0;
    if (!freeSpaceAt(targetPath, freeBytes, cluster) ||
        bytesToTransfer(node, options.targetKind, cluster) > freeBytes)
      workers = 1;
  }
  TreeTransfer(options, workers, scannedFolders).run(node, targetPath);
}

std::wstring transferTarget(const std::wstring& destination) {
  // The long-path form takes a path exactly as it stands, so a text that is
  // no full path would otherwise be read against whatever the current
  // folder is.  A full one has its separators normalised first.
  if (!isFullDestination(destination)) {
    writeLogLine(texts::kCategoryError, formatText(texts::kErrCreateTarget, destination.c_str()));
    return {};
  }
  std::optional<std::wstring> target =
      unredirectedPath(L"\\\\?\\" + normaliseDestination(destination), systemFolderView());
  if (!target) {
    writeLogLine(texts::kCategoryError,
                 formatText(texts::kErrSystemFolderOutOfReach, destination.c_str()));
    return {};
  }
  return *target;
}
