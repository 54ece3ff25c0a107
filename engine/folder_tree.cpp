#include "engine/folder_tree.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <tuple>

#include "base/text.h"
#include "engine/native_file.h"

namespace {

// Units per block of the name pool (64 KiB); a longer name gets a block of
// its own.
constexpr size_t kNameBlockUnits = 32768;

bool entryBefore(const FileEntry& a, const FileEntry& b) {
  return compareNames(a.nameView(), b.nameView()) < 0;
}

bool nodeBefore(const FolderNode& a, const FolderNode& b) {
  return compareNames(a.name, b.name) < 0;
}

template <typename T, typename NameOf>
Lookup binarySearch(const std::vector<T>& array, std::wstring_view name, NameOf nameOf) {
  size_t low = 0, high = array.size();
  while (low < high) {
    size_t middle = low + (high - low) / 2;
    int order = compareNames(nameOf(array[middle]), name);
    if (order == 0) return {true, middle};
    if (order < 0)
      low = middle + 1;
    else
      high = middle;
  }
  return {false, low};
}

template <typename T>
void appendAll(std::vector<T>& to, std::vector<T>& from) {
  if (to.empty()) {
    to.swap(from);
  } else {
    to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
  }
  std::vector<T>().swap(from);
}

// Gives back a large unused tail.  A small one is kept: shrinking copies the
// whole array, which for a big node costs more at that moment than it saves.
template <typename T>
void dropSlack(std::vector<T>& array) {
  if (array.capacity() - array.size() > array.capacity() / 8) array.shrink_to_fit();
}

// Folders of one node that share a name become the first of them; the
// others' files and subfolders follow its own, which keeps the order in
// which they were met.
void mergeSubfolders(FolderNode& node) {
  std::vector<FolderNode>& folders = node.subfolders;
  dropSlack(folders);
  if (folders.size() < 2) return;
  std::stable_sort(folders.begin(), folders.end(), nodeBefore);
  size_t kept = 0;
  for (size_t i = 0; i < folders.size();) {
    size_t j = i + 1;
    for (; j < folders.size() && sameName(folders[i].name, folders[j].name); ++j) {
      appendAll(folders[i].files, folders[j].files);
      appendAll(folders[i].subfolders, folders[j].subfolders);
    }
    if (kept != i) folders[kept] = std::move(folders[i]);
    ++kept;
    i = j;
  }
  folders.erase(folders.begin() + static_cast<ptrdiff_t>(kept), folders.end());
  dropSlack(folders);
}

// Sorts a node's copies by name, keeping the order met among equal names,
// and folds each run of equal names into one entry.  The result is the one
// that inserting the copies one at a time gives: the first copy stays the
// winner unless a later one is strictly newer, which then replaces it whole
// (name and folder too); the count is the number of copies.
void foldFiles(std::vector<FileEntry>& files) {
  // The tail that growing left unused is never touched, so it costs address
  // space but no memory; shrinking before the sort would hold the array
  // twice for a moment, more than the sort's own buffer of half of it.
  if (files.size() < 2) {
    dropSlack(files);
    return;
  }
  std::stable_sort(files.begin(), files.end(), entryBefore);
  size_t kept = 0;
  for (size_t i = 0; i < files.size();) {
    FileEntry winner = files[i];
    size_t j = i + 1;
    for (; j < files.size() && sameName(winner.nameView(), files[j].nameView()); ++j) {
      int32_t count = winner.sourceCount + files[j].sourceCount;
      if (files[j].compareTime > winner.compareTime) winner = files[j];
      winner.sourceCount = count;
    }
    files[kept++] = winner;
    i = j;
  }
  files.resize(kept);
  dropSlack(files);
}

}  // namespace

std::wstring FileEntry::sourcePath() const {
  std::wstring path;
  if (folder) {
    path.reserve(folder->path.size() + 1 + nameLength);
    path = folder->path;
    path += L'\\';
  }
  path.append(name, nameLength);
  return path;
}

FolderTree::FolderTree() = default;

FolderTree::~FolderTree() { clear(); }

const ScannedFolder* FolderTree::storeFolder(std::wstring path, std::wstring longPath,
                                             FolderIdentity identity) {
  folders_.push_back(ScannedFolder{std::move(path), std::move(longPath), identity});
  return &folders_.back();
}

std::vector<FolderIdentity> FolderTree::scannedIdentities() const {
  std::vector<FolderIdentity> identities;
  collectIdentities(identities);
  std::sort(identities.begin(), identities.end());
  return identities;
}

void FolderTree::collectIdentities(std::vector<FolderIdentity>& identities) const {
  for (const ScannedFolder& folder : folders_)
    if (folder.identity.known()) identities.push_back(folder.identity);
  for (const std::unique_ptr<FolderTree>& part : adopted_) part->collectIdentities(identities);
}

const wchar_t* FolderTree::storeName(std::wstring_view name) {
  size_t units = name.size() + 1;
  if (blocks_.empty() || blockSize_ - blockUsed_ < units) {
    blockSize_ = std::max(kNameBlockUnits, units);
    blocks_.emplace_back(new wchar_t[blockSize_]);
    blockUsed_ = 0;
  }
  wchar_t* stored = blocks_.back().get() + blockUsed_;
  std::copy(name.begin(), name.end(), stored);
  stored[name.size()] = L'\0';
  blockUsed_ += units;
  return stored;
}

void FolderTree::clear() {
  // Children are taken out of each node before it goes, so releasing never
  // recurses deeper than one level.  This also runs while an allocation
  // failure unwinds: where the list cannot grow, a subtree goes at once.
  std::vector<FolderNode> pending;
  pending.swap(root_.subfolders);
  while (!pending.empty()) {
    FolderNode node = std::move(pending.back());
    pending.pop_back();
    for (FolderNode& child : node.subfolders) {
      try {
        pending.push_back(std::move(child));
      } catch (...) {
        FolderNode subtree = std::move(child);
      }
    }
  }
  root_ = FolderNode();
  adopted_.clear();
  // An empty deque still holds a block, so none is made here: clearing it
  // keeps one, and giving that back is tried (it may need memory).
  folders_.clear();
  folders_.shrink_to_fit();
  std::vector<std::unique_ptr<wchar_t[]>>().swap(blocks_);
  blockUsed_ = blockSize_ = 0;
}

Lookup findByName(const std::vector<FolderNode>& array, std::wstring_view name) {
  return binarySearch(array, name, [](const FolderNode& n) { return std::wstring_view(n.name); });
}

Lookup findByName(const std::vector<FileEntry>& array, std::wstring_view name) {
  return binarySearch(array, name, [](const FileEntry& e) { return e.nameView(); });
}

uint64_t chooseCompareTime(TimeCriterion criterion, FILETIME created, FILETIME written) {
  uint64_t c = ticksOf(created), w = ticksOf(written);
  switch (criterion) {
    case TimeCriterion::Modified:
      return w;
    case TimeCriterion::Created:
      return c;
    case TimeCriterion::Both:
      break;
  }
  return std::max(c, w);
}

void addFileCopy(FolderTree& tree, FolderNode& node, const ScannedFolder* folder,
                 std::wstring_view name, uint64_t compareTime, uint64_t size, uint64_t written) {
  FileEntry entry;
  entry.name = tree.storeName(name);
  entry.nameLength = static_cast<uint32_t>(name.size());
  entry.folder = folder;
  entry.sourceCount = 1;
  entry.compareTime = compareTime;
  entry.size = size;
  entry.written = written;
  node.files.push_back(entry);
}

void finishScan(FolderTree& tree) {
  // A node's subfolders are merged before its children are visited, and a
  // child only ever changes its own arrays, so the pointers stay valid.
  std::vector<FolderNode*> pending{&tree.root()};
  while (!pending.empty()) {
    FolderNode* node = pending.back();
    pending.pop_back();
    mergeSubfolders(*node);
    foldFiles(node->files);
    for (FolderNode& child : node->subfolders) pending.push_back(&child);
  }
}

void FolderTree::adopt(std::unique_ptr<FolderTree> part) { adopted_.push_back(std::move(part)); }
