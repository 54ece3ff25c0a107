#include "engine/transfer.h"

#include <vector>

#include "base/run_host.h"
#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "engine/file_ops.h"
#include "log/run_log.h"

namespace {

void logError(const wchar_t* format, const std::wstring& path) {
  writeLogLine(texts::kCategoryError, formatText(format, path.c_str()));
}

// Creates the target folder; false (with the error line) when it is not a
// folder afterwards.  An existing folder is fine, a file of that name is not.
// `made` tells whether this call made it, so it held nothing before.
bool makeTargetFolder(const std::wstring& targetPath, bool& made) {
  made = createFolder(targetPath);
  std::wstring plain = plainPathOf(targetPath);
  // The test is given the "\\?\" form, as the creation was: a plain path
  // would lose a name's trailing dots and spaces.  A bare drive ("\\?\E:",
  // from the destination "E:\") is tested as its root.
  std::wstring probe = targetPath;
  if (!probe.empty() && probe.back() == L':') probe += L'\\';
  if (!isFolder(probe)) {
    logError(texts::kErrCreateTarget, plain);
    return false;
  }
  return true;
}

void transferFile(const RunOptions& options, const FileEntry& entry, const std::wstring& targetPath,
                  StagingArea& staging) {
  std::wstring source = entry.sourcePath();
  // The calls get the long form the scan opened the folder by, with the name
  // appended as it is: parsing the plain path again would strip a trailing
  // dot or space from a folder name and reach another folder's file.
  const ScannedFolder& folder = *entry.folder;
  std::wstring sourceLong = joinPath(
      folder.longPath.empty() ? longPathOf(folder.path) : folder.longPath, entry.nameView());
  FileTimes times;
  // As in the scan, times that cannot be read after the file opened count
  // like a file that cannot be opened.
  if (options.keepTimeStamps && !readFileTimes(sourceLong, times)) {
    logError(texts::kErrOpenForRead, source);
    return;
  }
  std::wstring target = targetPath + L"\\";
  target.append(entry.name, entry.nameLength);
  bool timesSet = false;
  if (options.copies()) {
    if (!copyFileSafely(sourceLong, target, &staging, options.keepTimeStamps ? &times : nullptr,
                        &timesSet)) {
      logError(texts::kErrCopy, source);
      return;
    }
  } else if (!moveFile(sourceLong, target, &staging)) {
    logError(texts::kErrMove, source);
    return;
  }
  if (options.logTransfers) {
    writeLogLine(options.copies() ? texts::kCategoryCopied : texts::kCategoryMoved,
                 formatText(options.copies() ? texts::kCopiedLine : texts::kMovedLine,
                            source.c_str(), plainPathOf(target).c_str()));
  }
  // Only a failed open is reported; the target then keeps the times the
  // copy or move gave it.
  if (options.keepTimeStamps && !timesSet && !writeFileTimes(target, times))
    logError(texts::kErrOpenForWrite, target);
}

void transferFiles(const RunOptions& options, const FolderNode& node,
                   const std::wstring& targetPath, StagingArea& staging) {
  for (const FileEntry& entry : node.files) {
    if (cancelled()) return;
    if (isSelected(options.targetKind, entry.sourceCount)) {
      transferFile(options, entry, targetPath, staging);
      runProgress.fileDone();
    }
  }
}

}  // namespace

bool isSelected(TargetKind kind, int32_t sourceCount) {
  switch (kind) {
    case TargetKind::NewestAndUnique:
      return true;
    case TargetKind::NewestOnly:
      return sourceCount > 1;
    case TargetKind::UniqueOnly:
      return sourceCount == 1;
  }
  return false;
}

void transferFolder(const RunOptions& options, const FolderNode& node,
                    const std::wstring& targetPath) {
  // Depth first with a stack of its own: a node's files, then each of its
  // subfolders in order, however deep the tree.
  struct Frame {
    const FolderNode* node;
    std::wstring targetPath;
    size_t nextChild;
  };
  std::vector<Frame> frames;
  // Copies are made in a folder of the run's own at the top of the
  // destination and then take their names; it goes when the transfer ends.
  StagingArea staging(targetPath);
  auto enter = [&](const FolderNode& folder, std::wstring target) {
    bool made = false;
    if (!makeTargetFolder(target, made)) return;  // its files and whole subtree are skipped
    // What a killed run left in a folder that was there before goes now.
    if (!made) removeDeadTemporaries(target);
    transferFiles(options, folder, target, staging);
    frames.push_back(Frame{&folder, std::move(target), 0});
  };
  enter(node, targetPath);
  while (!frames.empty()) {
    Frame& frame = frames.back();
    if (frame.nextChild == frame.node->subfolders.size() || cancelled()) {
      frames.pop_back();
      continue;
    }
    const FolderNode& child = frame.node->subfolders[frame.nextChild++];
    enter(child, frame.targetPath + L"\\" + child.name);
  }
}
