#pragma once
// The narrow interfaces through which the engine and the run log reach the
// user: message boxes owned by the main window, the shell's "open", and the
// few window operations a run needs.  The main window implements them with
// its HWND; tests implement them to run whole extractions without a window.

#include <windows.h>

#include <string>

#include "base/run_options.h"

class UserPrompt {
 public:
  virtual ~UserPrompt() = default;
  // A message box owned by the main window; returns the button pressed
  // (IDOK, IDYES, IDNO...).  `type` is the MB_* combination.
  virtual int showMessage(const std::wstring& text, const std::wstring& caption, UINT type) = 0;
  // ShellExecuteW with the verb "open", SW_SHOWNORMAL; result not examined.
  virtual void shellOpen(const std::wstring& path) = 0;
};

// What a run needs of its window.
class RunHost : public UserPrompt {
 public:
  // Options, sources (in list order) and destination text as the controls
  // hold them when the run starts.
  virtual RunOptions readOptions() = 0;
  virtual void setTitle(const std::wstring& title) = 0;
  // Inputs enabled, run button "抽出実行", title "Ostrelle".
  virtual void enterIdleState() = 0;
};

// UserPrompt on a real window: MessageBoxW and ShellExecuteW owned by `owner`.
class WindowPrompt : public UserPrompt {
 public:
  explicit WindowPrompt(HWND owner) : owner_(owner) {}
  int showMessage(const std::wstring& text, const std::wstring& caption, UINT type) override;
  void shellOpen(const std::wstring& path) override;
  HWND owner() const { return owner_; }

 private:
  HWND owner_;
};
