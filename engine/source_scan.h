#pragma once
// The scan: every source folder walked and merged into one folder tree.

#include <string>

#include "base/run_options.h"
#include "engine/folder_tree.h"

// Merges the folder's contents into `node` as the options say; every problem
// becomes an error line of the run log.  Returns at once when cancelled.
void scanFolder(const RunOptions& options, FolderTree& tree, FolderNode& node,
                const std::wstring& folderPath);

// scanFolder for every source in order, then finishScan.  The opens of the
// files run on workersFor(options) threads; the tree and the error lines come
// out as with one.
void scanSources(const RunOptions& options, FolderTree& tree);
