#pragma once
// The transfer phase: recreates the merged tree under the destination and
// copies or moves the selected winners into it.

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/run_options.h"
#include "base/run_state.h"
#include "engine/folder_tree.h"

// Whether an entry with this count is transferred under the target kind.
bool isSelected(TargetKind kind, int32_t sourceCount);

// Creates `targetPath` ("\\?\" + folder) and fills it from `node`,
// recursively.  Problems become error lines; polls cancelRequested before
// each file and each subfolder.  The per-file work runs on workersFor(options)
// threads; the destination, the log and errorLogged come out as with one.
// `scannedFolders` (FolderTree::scannedIdentities, sorted) are the folders
// the files come from: a target folder among them, however it is reached,
// holds sources as well, and from there on one file goes at a time.  One
// thread does all when the files may not fit the destination's free space.
void transferFolder(const RunOptions& options, const FolderNode& node,
                    const std::wstring& targetPath,
                    const std::vector<FolderIdentity>& scannedFolders = {});

// The "\\?\" path a run transfers into for a destination text, or "" once
// the error line that refuses the text is written: one that is no full path
// gets the folder-creation line with the text as typed, and so does an
// empty one; a folder out of this process's reach (engine/system_folder.h)
// gets a line of its own.
std::wstring transferTarget(const std::wstring& destination);

// The folded names (foldedPath) that two or more of `folders` share: the
// file system takes each for one folder.  Null when there are none, as
// nearly always.
std::shared_ptr<const std::set<std::wstring>> foldedTwins(const std::vector<FolderNode>& folders);

// Calls `visit(entry)` for every entry of the tree that the transfer
// handles under the target kind, in no particular order.
template <typename Visit>
void forEachSelected(const FolderNode& root, TargetKind kind, Visit visit) {
  std::vector<const FolderNode*> pending{&root};
  while (!pending.empty()) {
    const FolderNode* node = pending.back();
    pending.pop_back();
    for (const FileEntry& entry : node->files)
      if (isSelected(kind, entry.sourceCount)) visit(entry);
    for (const FolderNode& child : node->subfolders) pending.push_back(&child);
  }
}

// Walks `root` in transfer order, depth first: a folder, its selected files
// in name order, then each subfolder in order; polls for a cancel before
// each file and each subfolder.  The transfer and its preview both go this
// way, so the plan comes in the order the run works.
//  - enter(folder, target, parent, state): the folder at `target` ("\\?\"
//    form) is reached, `parent` the state of the folder above (null for the
//    root); false skips its files and whole subtree.
//  - file(entry, target, state): a selected file of the folder at `target`.
//  - beforeSubfolder(target): called before a subfolder is entered; false
//    ends the walk.
//  - leave(state): a folder that was entered is done with, its subtree too.
template <typename State, typename Enter, typename File, typename BeforeSubfolder, typename Leave>
void walkInTransferOrder(TargetKind kind, const FolderNode& root, std::wstring rootTarget,
                         Enter enter, File file, BeforeSubfolder beforeSubfolder, Leave leave) {
  struct Frame {
    const FolderNode* node;
    std::wstring target;
    State state;
    size_t nextChild;
  };
  std::vector<Frame> frames;
  auto visit = [&](const FolderNode& folder, std::wstring target, const State* parent) {
    State state{};
    if (!enter(folder, target, parent, state)) return;
    for (const FileEntry& entry : folder.files) {
      if (cancelled()) break;
      if (isSelected(kind, entry.sourceCount)) file(entry, target, state);
    }
    frames.push_back(Frame{&folder, std::move(target), state, 0});
  };
  visit(root, std::move(rootTarget), nullptr);
  while (!frames.empty()) {
    Frame& frame = frames.back();
    if (frame.nextChild == frame.node->subfolders.size() || cancelled()) {
      leave(frame.state);
      frames.pop_back();
      continue;
    }
    const FolderNode& child = frame.node->subfolders[frame.nextChild++];
    std::wstring target = frame.target + L"\\" + child.name;
    if (!beforeSubfolder(target)) {
      while (!frames.empty()) {
        leave(frames.back().state);
        frames.pop_back();
      }
      break;
    }
    State parent = frame.state;  // `frame` moves when the vector grows
    visit(child, std::move(target), &parent);
  }
}
