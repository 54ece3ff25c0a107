#pragma once
// The Windows system folder as a 32-bit program on 64-bit Windows sees it.
// There every access to %windir%\System32 is redirected to SysWOW64, so a
// source or destination under System32 would silently name another folder.
// Such a path is taken through %windir%\Sysnative instead, the name under
// which Windows Vista and later show such programs the real System32; where
// that name is missing (64-bit Windows XP) the folder cannot be reached and
// the path is refused.

#include <optional>
#include <string>

struct SystemFolderView {
  std::wstring windowsFolder;    // "C:\Windows", no trailing backslash
  bool redirected = false;       // a 32-bit process on 64-bit Windows
  bool sysnativeExists = false;  // Windows Vista or later
};

// This process's view, looked up on first use: IsWow64Process (found at
// run time, since not every system has it), the Windows version and the
// system's Windows folder.
const SystemFolderView& systemFolderView();

// The path by which `path` (full, plain or "\\?\" form, backslashes)
// reaches the folder or file it names.  Unchanged unless `view` is
// redirected and the path is the Windows folder's System32 or lies in it;
// then the same path through Sysnative, or nothing when that does not
// exist.  Letter case does not matter.
std::optional<std::wstring> unredirectedPath(const std::wstring& path,
                                             const SystemFolderView& view);
