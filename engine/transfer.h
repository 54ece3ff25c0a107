#pragma once
// The transfer phase: recreates the merged tree under the destination and
// copies or moves the selected winners into it.

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
void transferFolder(const RunOptions& options, const FolderNode& node,
                    const std::wstring& targetPath);

// The "\\?\" path a run transfers into for a destination text, or "" once
// the error line that refuses the text is written: one that is no full path
// gets the folder-creation line with the text as typed, and so does an
// empty one; a folder out of this process's reach (engine/system_folder.h)
// gets a line of its own.
std::wstring transferTarget(const std::wstring& destination);

// A destination path as the file system compares names: every unit that has
// a capital becomes it (so "\u00e4" meets "\u00c4", full-width "\uff41"
// meets "\uff21"), not only ASCII as the tree does.
std::wstring foldedPath(std::wstring path);

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
template <typename State, typename Enter, typename File, typename BeforeSubfolder>
void walkInTransferOrder(TargetKind kind, const FolderNode& root, std::wstring rootTarget,
                         Enter enter, File file, BeforeSubfolder beforeSubfolder) {
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
      frames.pop_back();
      continue;
    }
    const FolderNode& child = frame.node->subfolders[frame.nextChild++];
    std::wstring target = frame.target + L"\\" + child.name;
    if (!beforeSubfolder(target)) break;
    State parent = frame.state;  // `frame` moves when the vector grows
    visit(child, std::move(target), &parent);
  }
}
