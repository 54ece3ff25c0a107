#pragma once
// The transfer phase: recreates the merged tree under the destination and
// copies or moves the selected winners into it.

#include <string>

#include "base/run_options.h"
#include "engine/folder_tree.h"

// Whether an entry with this count is transferred under the target kind.
bool isSelected(TargetKind kind, int32_t sourceCount);

// Creates `targetPath` ("\\?\" + folder) and fills it from `node`,
// recursively.  Problems become error lines; polls cancelRequested before
// each file and each subfolder.  The per-file work runs on workersFor(options)
// threads; the destination, the log and errorLogged come out as with one.
void transferFolder(const RunOptions& options, const FolderNode& node,
                    const std::wstring& targetPath);
