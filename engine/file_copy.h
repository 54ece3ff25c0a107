#pragma once
// Copies and moves that never leave a target truncated or destroyed: the
// copy is made under a temporary name beside its target (temporary_file.h)
// and takes the target's name only when complete (file_placement.h).  On
// failure the copy goes and the old target stays as it was.

#include <cstdint>
#include <string>

#include "engine/file_ops.h"

// Copies `source` to `target` (a "\\?\" path).  An existing target is
// replaced like any other file, also a read-only one; the result carries the
// source's attributes.  With `times`, a copy that arrives under a new name
// gets them as it takes the name (`timesSet` then says so); otherwise the
// caller sets them.  Without, the copy keeps the source's last-write time.
bool copyFileSafely(const std::wstring& source, const std::wstring& target,
                    const FileTimes* times = nullptr, bool* timesSet = nullptr);

// The copy of a transfer, through one open of the source that serves as the
// test that it can be read, the reading of its times and the copy itself.
// With `times`, the open allows no sharing, as readFileTimes', and the copy
// gets all three times (read into `times`; `timesSet` says whether it has
// them already); a source of `expectedSize` above kSharedCopyAbove bytes is
// then copied through a second open that lets others read it meanwhile.
// Without, the copy keeps the last-write time as copyFileSafely's.
// SourceNotOpened: the open or the reading of the times failed, and nothing
// was copied.
enum class CopyOutcome { Copied, SourceNotOpened, Failed };
constexpr uint64_t kSharedCopyAbove = 1024 * 1024;
CopyOutcome copySourceFile(const std::wstring& source, const std::wstring& target, FileTimes* times,
                           bool* timesSet, uint64_t expectedSize = 0);

// Moves; fails when the target exists.  To another volume the file is copied
// under a temporary name first and the source removed only after the copy
// has its name.
bool moveFile(const std::wstring& source, const std::wstring& target);
