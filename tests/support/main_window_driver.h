#pragma once
// Runs the real main window on a UI thread of the test process, with the
// program's folder (settings file, logs) in a fresh temporary folder, and
// drives it with window messages.
//
//   MainWindowDriver app;                 // temp program folder, no window yet
//   app.writeSetting(L"OPTION", L"SUB_DIR", L"1");
//   ASSERT_TRUE(app.open());              // shows the window, waits for it
//   app.drop(IDC_SOURCE_LIST, {L"C:\\a", L"C:\\b"});
//   app.command(IDC_RUN);
//
// The program's folder is set before the window is created; the window keeps
// a folder that is set already, so the settings and logs of the test stay in
// its temporary folder.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "support/test_files.h"
#include "support/ui_thread.h"

class MainWindowDriver {
 public:
  MainWindowDriver();
  ~MainWindowDriver();
  MainWindowDriver(const MainWindowDriver&) = delete;
  MainWindowDriver& operator=(const MainWindowDriver&) = delete;

  const TempFolder& folder() const { return programFolder_; }
  // The settings file of this user in the temporary program folder.
  std::wstring settingsFile() const;
  // Writes one key through the platform's profile functions.
  void writeSetting(const wchar_t* section, const wchar_t* key, const std::wstring& value) const;

  // Shows the main window on the UI thread, started with `commandLine`;
  // false when it did not appear.
  bool open(const CommandLine& commandLine = CommandLine());
  HWND window() const { return window_; }
  HWND item(int id) const { return GetDlgItem(window_, id); }
  UiThread& ui() { return *ui_; }

  // WM_COMMAND sent (returns when handled) or posted (for commands that open
  // a modal box on the UI thread).
  void command(int id) const;
  void postCommand(int id) const;
  // BM_CLICK on a check box or radio button: the control toggles itself and
  // notifies the window, as a mouse click does.
  void click(int id) const;

  // Delivers a WM_DROPFILES of `paths` (wide DROPFILES) to a control, sent
  // so that it has been handled on return.
  void drop(int id, const std::vector<std::wstring>& paths) const;

  std::wstring text(int id) const;
  bool enabled(int id) const { return IsWindowEnabled(item(id)) != FALSE; }
  bool checked(int id) const;
  std::vector<std::wstring> sources() const;          // list entries in order
  std::vector<std::wstring> destinationList() const;  // the box's drop-down list
  int selectedSource() const;

  // Waits until no run is active (runState.running clear).
  bool waitForIdle(DWORD timeoutMs = kUiTimeoutMs) const;
  // A message box owned by the main window (the run's outcome, the thread
  // failure box...); null on timeout.
  HWND waitForOwnedMessageBox(DWORD timeoutMs = kUiTimeoutMs) const;
  // Waits for the dialog to end; false on timeout.
  bool waitClosed(DWORD timeoutMs = kUiTimeoutMs);

 private:
  TempFolder programFolder_;
  std::unique_ptr<UiThread> ui_;
  HWND window_ = nullptr;
};

// A dialog template (DLGTEMPLATEEX) as the resource holds it.
struct TemplateItem {
  DWORD style = 0, exStyle = 0;
  short x = 0, y = 0, width = 0, height = 0;
  int id = 0;
  std::wstring className;  // ordinals as their names: Button, Edit, Static...
  std::wstring text;
};
struct DialogTemplate {
  DWORD style = 0, exStyle = 0;
  short width = 0, height = 0;
  std::wstring title, font;
  WORD pointSize = 0;
  std::vector<TemplateItem> items;
};
// Reads dialog `id` from the executable's resources; empty when missing.
DialogTemplate readDialogTemplate(int id);
// Compares the template's items one by one with `expected` (id, class,
// text, style as child and visible, position and size).
void expectTemplateItems(const DialogTemplate& dialog, const std::vector<TemplateItem>& expected);

// A global allocation holding a DROPFILES with the wide, double-NUL ended
// list of `paths`, as the shell hands it over.
HGLOBAL makeDrop(const std::vector<std::wstring>& paths);

// How the main window's run threads start while an object of this class
// lives: at once, held until release(), or not at all (creation fails).
class RunThreads {
 public:
  // Failing: no thread; Throwing: memory runs out before the thread exists.
  enum class Mode { Immediate, Held, Failing, Throwing };
  explicit RunThreads(Mode mode);
  ~RunThreads();  // releases held runs and restores CreateThread
  RunThreads(const RunThreads&) = delete;
  RunThreads& operator=(const RunThreads&) = delete;

  // Lets held runs (and every later one) go.
  void release();
  // How many times the window asked for a run thread.
  int requested() const;
};
