#include "engine/source_scan.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>

#include "base/handles.h"
#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "engine/file_ops.h"
#include "engine/native_file.h"
#include "engine/system_folder.h"
#include "engine/temporary_file.h"
#include "engine/work_pool.h"
#include "log/ordered_log.h"
#include "log/run_log.h"

namespace {

// The opens of a scan on several threads.  The scanning thread enumerates
// and records every copy in its node at once, in the order met, as with one
// thread; the opens that decide whether a copy counts go to the pool in
// batches.  Afterwards the copies whose open failed are taken out again:
// every copy has a name of its own in the tree's pool, so the name's address
// identifies it.  Each batch, and each error line of a folder, is one step of
// an ordered log, numbered in the order the scanning thread meets them, so
// the error lines come out exactly as one thread writes them.
class OpenChecks {
 public:
  explicit OpenChecks(unsigned workers)
      : log_(kWindowPerWorker * workers), pool_(workers, kQueuePerWorker * workers) {}
  bool parallel() const { return log_.ok() && pool_.threaded(); }

  void add(const ScannedFolder* folder, const FileEntry& copy) {
    batch_.push_back(Item{folder, copy.name, copy.nameLength});
    if (batch_.size() == kBatch) flush();
  }

  // An error line of a folder, from the scanning thread.  Written only when
  // no cancel came before every earlier batch had been taken: those taken
  // later are dropped, and the lines must stay those of a prefix.
  void folderError(const wchar_t* format, const std::wstring& path) {
    flush();
    pool_.waitUntilTaken();
    if (cancelled()) return;
    uint64_t step = log_.begin();
    StepLines lines;
    lines.write(texts::kCategoryError, formatText(format, path.c_str()));
    log_.finish(step, lines);
  }

  // Waits for every open and takes the copies that failed out of the tree.
  void finish(FolderTree& tree) {
    flush();
    pool_.finishAll();
    if (failed_.empty()) return;
    std::sort(failed_.begin(), failed_.end(), std::less<const wchar_t*>());
    auto failed = [this](const FileEntry& e) {
      return std::binary_search(failed_.begin(), failed_.end(), e.name,
                                std::less<const wchar_t*>());
    };
    std::vector<FolderNode*> pending{&tree.root()};
    while (!pending.empty()) {
      FolderNode* node = pending.back();
      pending.pop_back();
      node->files.erase(std::remove_if(node->files.begin(), node->files.end(), failed),
                        node->files.end());
      for (FolderNode& child : node->subfolders) pending.push_back(&child);
    }
  }

 private:
  static constexpr size_t kBatch = 32, kQueuePerWorker = 2, kWindowPerWorker = 8;

  struct Item {
    const ScannedFolder* folder;  // in the tree: its address stays
    const wchar_t* name;          // the copy's own name in the tree's pool
    uint32_t length;
  };

  void flush() {
    if (batch_.empty()) return;
    uint64_t step = log_.begin();
    std::vector<Item> batch;
    batch.swap(batch_);
    pool_.submit([this, step, batch = std::move(batch)](bool started) {
      StepLines lines;
      std::vector<const wchar_t*> failed;
      try {
        if (started) {
          for (const Item& item : batch) {
            std::wstring_view name(item.name, item.length);
            if (canOpenForRead(joinPath(item.folder->longPath, name))) continue;
            std::wstring path = item.folder->path + L"\\";
            path.append(name.data(), name.size());
            lines.write(texts::kCategoryError, formatText(texts::kErrOpenForRead, path.c_str()));
            failed.push_back(item.name);
          }
        }
        if (!failed.empty()) {
          ScopedLock hold(failedLock_);
          failed_.insert(failed_.end(), failed.begin(), failed.end());
        }
      } catch (...) {
        // Out of memory: the step still ends, so that the log moves on and
        // the scanning thread's waits end; the pool then ends the scan.
        lines.lines().clear();
        log_.finish(step, lines);
        throw;
      }
      log_.finish(step, lines);
    });
  }

  std::vector<Item> batch_;
  CriticalSection failedLock_;
  std::vector<const wchar_t*> failed_;
  OrderedLog log_;
  WorkPool pool_;  // last: it goes first, and its jobs use the members above
};

// The scan keeps its own stack of open folders rather than recursing, so a
// source tree as deep as long paths allow cannot exhaust the thread's stack.
class Scanner {
 public:
  // With `checks` the opens go to its pool; without, they happen here and
  // the lines go to `sink` (the run log when none is given).
  Scanner(const RunOptions& options, FolderTree& tree, OpenChecks* checks = nullptr,
          LogSink* sink = nullptr)
      : options_(options), tree_(tree), checks_(checks), sink_(sink ? sink : &direct_) {}

  void scan(FolderNode& node, const std::wstring& folderPath) {
    // The source is read where it really is, also under the system
    // folder's redirection; its lines keep the path as the user gave it.
    std::optional<std::wstring> longPath =
        unredirectedPath(longPathOf(folderPath), systemFolderView());
    if (!longPath) {
      if (!cancelled()) folderError(texts::kErrSystemFolderOutOfReach, folderPath);
      return;
    }
    if (!enter(node, folderPath, std::move(*longPath))) return;
    // True while data_ holds an entry of the innermost folder not yet handled:
    // the first entry of a folder comes with opening it.
    bool entryWaiting = true;
    while (!frames_.empty()) {
      Frame& frame = frames_.back();
      if (!entryWaiting && (cancelled() || !FindNextFileW(frame.find.get(), &data_))) {
        frames_.pop_back();
        continue;
      }
      entryWaiting = handleEntry(frame);
    }
  }

 private:
  struct Frame {
    FolderNode* node;
    const ScannedFolder* folder;  // both forms of its path, kept in the tree
    FindHandle find;
    FolderIdentity identity;
  };

  // Opens a folder for enumeration; true when data_ holds its first entry.
  bool enter(FolderNode& node, std::wstring path, std::wstring longPath) {
    if (cancelled()) return false;
    FolderIdentity identity;
    if (!canEnterFolder(longPath, &identity)) {
      folderError(texts::kErrSetCurrentFolder, path);
      return false;
    }
    // A link back to a folder on the path being scanned would be entered
    // without end.  Links to other places are followed.
    for (const Frame& open : frames_) {
      if (open.identity == identity) {
        folderError(texts::kErrFolderLoop, path);
        return false;
      }
    }
    bool empty = false;
    FindHandle find = startEnumeration(longPath, data_, empty);
    if (!find) {
      // A drive root with nothing on it has no entry at all; that is no error.
      if (!empty) folderError(texts::kErrFindHandle, path);
      return false;
    }
    frames_.push_back(Frame{&node,
                            tree_.storeFolder(std::move(path), std::move(longPath), identity),
                            std::move(find), identity});
    return true;
  }

  // Handles the entry in data_; true when it opened a subfolder, whose first
  // entry is then waiting.  `frame` is not used after a subfolder is opened.
  bool handleEntry(Frame& frame) {
    std::wstring_view name(data_.cFileName, wcsnlen(data_.cFileName, MAX_PATH));
    // What a run of this program was writing is never gathered; a name
    // that only looks like one is.
    if (isTemporaryName(name) && !(data_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    if (!(data_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      recordFile(frame, name);
      return false;
    }
    if (!options_.includeSubfolders || name == L"." || name == L"..") return false;
    std::wstring subPath = frame.folder->path + L"\\";
    subPath.append(name.data(), name.size());
    std::wstring subLongPath = joinPath(frame.folder->longPath, name);
    FolderNode* into = frame.node;
    if (!options_.flattens()) {
      // Added before it is entered, like a node found empty or unreadable:
      // the destination still gets the folder.
      into->subfolders.emplace_back();
      into = &into->subfolders.back();
      into->name.assign(name.data(), name.size());
    }
    return enter(*into, std::move(subPath), std::move(subLongPath));
  }

  void folderError(const wchar_t* format, const std::wstring& path) {
    if (checks_)
      checks_->folderError(format, path);
    else
      sink_->write(texts::kCategoryError, formatText(format, path.c_str()));
  }

  void recordFile(Frame& frame, std::wstring_view name) {
    if (checks_) {
      addCopy(frame, name);
      checks_->add(frame.folder, frame.node->files.back());
      return;
    }
    // The file is opened as before, so one that another program holds open
    // is left out with an error line; its times come with the directory
    // entry, which saves asking for them again on the open handle.
    if (!canOpenForRead(joinPath(frame.folder->longPath, name))) {
      std::wstring path = frame.folder->path + L"\\";
      path.append(name.data(), name.size());
      sink_->write(texts::kCategoryError, formatText(texts::kErrOpenForRead, path.c_str()));
      return;
    }
    addCopy(frame, name);
  }

  // The copy in data_, with the times and size its directory entry gives.
  void addCopy(Frame& frame, std::wstring_view name) {
    addFileCopy(tree_, *frame.node, frame.folder, name,
                chooseCompareTime(options_.criterion, data_.ftCreationTime, data_.ftLastWriteTime),
                joinedHalves(data_.nFileSizeHigh, data_.nFileSizeLow),
                ticksOf(data_.ftLastWriteTime));
  }

  const RunOptions& options_;
  FolderTree& tree_;
  OpenChecks* checks_;
  DirectLog direct_;
  LogSink* sink_;
  WIN32_FIND_DATAW data_{};
  std::vector<Frame> frames_;
};

}  // namespace

void scanFolder(const RunOptions& options, FolderTree& tree, FolderNode& node,
                const std::wstring& folderPath) {
  Scanner(options, tree).scan(node, folderPath);
}

namespace {

// Several sources are scanned at the same time, each into a tree of its own
// on a thread of the pool, its opens done on that thread.  The one-thread
// scan appends every copy and subfolder of a source to the nodes in the
// order met, source after source, and the fold is stable; so appending each
// source's top level to the root in source order gives the very same tree.
// The first source writes its lines at once; the others hold theirs, and
// they are written in source order once all have ended.  After a cancel,
// what a one-thread scan had written is a prefix: a source cut short is the
// last whose lines and copies count.
void scanSourcesTogether(const RunOptions& options, FolderTree& tree, unsigned workers) {
  struct Part {
    std::unique_ptr<FolderTree> tree = std::make_unique<FolderTree>();
    StepLines lines;
    bool complete = false;  // scanned to its end, not cut by a cancel
  };
  const size_t count = options.sources.size();
  std::vector<Part> parts(count);
  {
    WorkPool pool(static_cast<unsigned>(std::min<size_t>(workers, count)), count);
    for (size_t i = 0; i < count; ++i) {
      pool.submit([&options, &parts, i](bool started) {
        if (!started) return;
        Part& part = parts[i];
        Scanner(options, *part.tree, nullptr, i == 0 ? nullptr : &part.lines)
            .scan(part.tree->root(), options.sources[i]);
        part.complete = !cancelled();
      });
    }
    pool.finishAll();
  }
  for (size_t i = 0; i < count; ++i) {
    Part& part = parts[i];
    for (StepLines::Line& line : part.lines.lines())
      writeLogLine(line.category, std::move(line.message));
    FolderNode& from = part.tree->root();
    FolderNode& into = tree.root();
    into.files.insert(into.files.end(), from.files.begin(), from.files.end());
    std::move(from.subfolders.begin(), from.subfolders.end(), std::back_inserter(into.subfolders));
    from = FolderNode();
    tree.adopt(std::move(part.tree));
    if (!part.complete) break;
  }
}

}  // namespace

namespace {

// Whether two sources are one folder reached by different paths (an 8.3
// name, a subst or mapped drive, a link): their opens would meet on the
// same files.
bool sourcesShareAFolder(const std::vector<std::wstring>& sources) {
  std::vector<FolderIdentity> identities;
  for (const std::wstring& source : sources) {
    FolderIdentity identity;
    if (!canEnterFolder(source, &identity) || !identity.known()) continue;
    if (std::find(identities.begin(), identities.end(), identity) != identities.end()) return true;
    identities.push_back(identity);
  }
  return false;
}

}  // namespace

void scanSources(const RunOptions& options, FolderTree& tree) {
  unsigned workers = workersFor(options);
  if (workers > 1 && options.sources.size() > 1 && sourcesShareAFolder(options.sources))
    workers = 1;
  if (workers > 1 && options.sources.size() > 1) {
    scanSourcesTogether(options, tree, workers);
    finishScan(tree);
    return;
  }
  std::unique_ptr<OpenChecks> checks;
  if (workers > 1) {
    checks = std::make_unique<OpenChecks>(workers);
    if (!checks->parallel()) checks.reset();
  }
  for (const std::wstring& source : options.sources)
    Scanner(options, tree, checks.get()).scan(tree.root(), source);
  if (checks) checks->finish(tree);
  finishScan(tree);
}
