#pragma once
// The merged folder tree that the scan builds and the transfer walks.
//
// Every source is merged into one tree, name by name at every level.  For
// each file name a node keeps one winner (the newest copy under the run's
// time criterion; on equal times the copy met first) and the number of
// copies met in that node.
//
// Merging is deferred: while scanning (source_scan.h) every copy and every
// subfolder is appended to its node in the order met; finishScan then sorts
// each node stably by name and folds equal names, which gives exactly the
// result of inserting one copy at a time, in O(n log n) even when one node
// collects every file.  Until finishScan has run the arrays are unsorted.

#include <windows.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/run_options.h"
#include "engine/file_ops.h"

// A folder the scan read: the path as the user entered it plus the names
// below it (what log lines show), and the "\\?\" form it was opened by (what
// the calls are given; it keeps names that end in a dot or a space, which
// path parsing would strip).
struct ScannedFolder {
  std::wstring path;
  std::wstring longPath;    // empty: derive it from `path`
  FolderIdentity identity;  // as the scan found it (unknown when not read)
};

// One file name inside a node.  Texts live in the tree's pools, so an entry
// costs a few words besides its name.
struct FileEntry {
  const wchar_t* name = nullptr;          // the current winner's name (pool)
  const ScannedFolder* folder = nullptr;  // folder the winner was found in (pool)
  uint32_t nameLength = 0;
  int32_t sourceCount = 1;   // copies of this name met in this node
  uint64_t compareTime = 0;  // the winner's time under the criterion
  uint64_t size = 0;         // the winner's size and last-write time, as
  uint64_t written = 0;      // its folder's enumeration gave them

  std::wstring_view nameView() const { return {name, nameLength}; }
  // Full path of the winner: its folder's path, "\", the name.
  std::wstring sourcePath() const;
};

struct FolderNode {
  std::wstring name;  // as first met; empty for the root
  std::vector<FolderNode> subfolders;
  std::vector<FileEntry> files;
};

// The root node and the storage of all texts its entries point into.
class FolderTree {
 public:
  FolderTree();
  ~FolderTree();  // releases the nodes level by level, however deep
  FolderTree(const FolderTree&) = delete;
  FolderTree& operator=(const FolderTree&) = delete;

  FolderNode& root() { return root_; }
  const FolderNode& root() const { return root_; }

  // Stores a scanned folder's paths once; entries point at the stored copy.
  const ScannedFolder* storeFolder(std::wstring path, std::wstring longPath = {},
                                   FolderIdentity identity = {});
  // The known identities of every folder scanned into this tree (those of
  // adopted parts included), sorted.
  std::vector<FolderIdentity> scannedIdentities() const;
  // Copies a name into the pool and returns the stored, NUL-terminated text.
  const wchar_t* storeName(std::wstring_view name);

  // Releases the whole tree and its texts.
  void clear();
  // Keeps the texts of `part`, a tree scanned apart whose entries have been
  // moved into this one, for as long as this tree's own.
  void adopt(std::unique_ptr<FolderTree> part);

 private:
  void collectIdentities(std::vector<FolderIdentity>& identities) const;

  FolderNode root_;
  std::deque<ScannedFolder> folders_;
  std::vector<std::unique_ptr<wchar_t[]>> blocks_;
  size_t blockUsed_ = 0, blockSize_ = 0;
  std::vector<std::unique_ptr<FolderTree>> adopted_;
};

struct Lookup {
  bool found;
  size_t position;  // index of the equal element, or the insertion position
};

// Binary search over an array sorted in name order.
Lookup findByName(const std::vector<FolderNode>& array, std::wstring_view name);
Lookup findByName(const std::vector<FileEntry>& array, std::wstring_view name);

// A copy's time under the criterion: last write, creation, or the later.
uint64_t chooseCompareTime(TimeCriterion criterion, FILETIME created, FILETIME written);

// Records one copy of a file found in `folder` (appended; see above).
void addFileCopy(FolderTree& tree, FolderNode& node, const ScannedFolder* folder,
                 std::wstring_view name, uint64_t compareTime, uint64_t size = 0,
                 uint64_t written = 0);

// Sorts and folds every node: afterwards the arrays are in name order with
// unique names, winners chosen and counts summed.
void finishScan(FolderTree& tree);
