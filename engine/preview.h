#pragma once
// A transfer planned instead of done.  The walk is the transfer's: depth
// first, a node's folder, then its files in name order, then its subfolders.
// Every folder a run would create and every file it would copy or move
// becomes a "予定" line; every failure that can be known without writing
// becomes the error line the run would write.  Nothing on the destination
// side is created, written or changed: paths are only looked up, and files
// opened to see whether the run's own opens would succeed.

#include <cstdint>
#include <string>

#include "base/run_options.h"
#include "engine/folder_tree.h"

// Plans the transfer of `root` into the destination text as typed.  A text
// the run refuses gives the run's error line (transferTarget), and nothing
// else.
void planTransfer(const RunOptions& options, const FolderNode& root,
                  const std::wstring& destination);

// Entries of the tree the transfer would handle under the target kind.
uint32_t countSelected(const FolderNode& root, TargetKind kind);
