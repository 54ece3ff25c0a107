#pragma once
// The options of one extraction run, as the main window's controls hold them.

#include <string>
#include <vector>

enum class TargetKind { NewestAndUnique = 0, NewestOnly = 1, UniqueOnly = 2 };
enum class TimeCriterion { Modified = 0, Created = 1, Both = 2 };
enum class TransferMethod { Move = 0, Copy = 1 };

struct RunOptions {
  std::wstring destination;           // destination box text, unchanged
  std::vector<std::wstring> sources;  // source list entries, in list order
  bool includeSubfolders = false;
  bool ignoreHierarchy = false;  // meaningful only with includeSubfolders
  TargetKind targetKind = TargetKind::NewestAndUnique;
  TimeCriterion criterion = TimeCriterion::Both;
  TransferMethod method = TransferMethod::Copy;
  bool keepTimeStamps = true;
  // "出力先と同じファイルはコピーしない": a copy leaves out a target that has
  // the winner's size and last-write time already.  Counts only in copy mode.
  bool skipSame = false;
  bool logTransfers = false;  // the log menu's switch, not a control
  // Threads for the per-file work of a run; 0: chosen from the processor
  // count.  Not a control: the settings file may set it.
  unsigned workers = 0;

  bool copies() const { return method == TransferMethod::Copy; }
  bool skipsSame() const { return skipSame && copies(); }
  // Ignore hierarchy counts only while subfolders are included.
  bool flattens() const { return includeSubfolders && ignoreHierarchy; }
};
