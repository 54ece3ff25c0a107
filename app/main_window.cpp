#include "app/main_window.h"

#include <objbase.h>

#include "app/about_box.h"
#include "app/folder_inputs.h"
#include "app/taskbar_progress.h"
#include "base/data_folders.h"
#include "base/handles.h"
#include "base/program_folder.h"
#include "base/run_state.h"
#include "base/system_function.h"
#include "base/texts.h"
#include "engine/extraction_run.h"
#include "log/log_menu.h"
#include "res/resource.h"

namespace {

HINSTANCE instance = nullptr;
RunThreadStarter runThreadStarter = nullptr;

// What the window keeps besides its controls.  The host outlives the window
// when the dialog ends while a run is still active (see onNcDestroy).
struct MainWindowState {
  explicit MainWindowState(HWND window) : host(window) {}
  MainWindowHost host;
  DestinationHistory history;
  TaskbarProgress taskbar;
  IconHandle bigIcon, smallIcon;  // the window's own, set in its title bar
  bool comInitialised = false;    // by the taskbar, on this thread
  unsigned workers = 0;           // from the settings file; no control shows it
  bool previewing = false;        // the active (or last) run is a preview
  CommandLine commandLine;        // as the program was started
};

// The taskbar button follows a run from a timer, a few times a second,
// whatever the number of files; the run's end is shown at once.
constexpr UINT_PTR kProgressTimer = 1;
constexpr UINT kProgressInterval = 250;  // milliseconds
constexpr UINT kShowProgress = WM_APP + 1;
// Posted while the window initialises when the command line asks for
// something once the window is up: a run, a preview or the usage.
constexpr UINT kStartFromCommandLine = WM_APP + 2;
// Posted by an unattended run's return to idle: the window closes.
constexpr UINT kEndUnattended = WM_APP + 3;

// The window moved to a screen of another DPI (WM_DPICHANGED, which the
// headers for XP do not name).  The platform's own handling gives the
// controls fonts for the new DPI; measuring waits for it, in a message
// posted behind it.
constexpr UINT kDpiChanged = 0x02E0;
constexpr UINT kRemeasureAfterDpiChange = WM_APP + 4;

// Disabled in this order while a run is active.  The source list, the run
// button, Readme and About stay enabled.
constexpr int kBusyControls[] = {IDC_DESTINATION,
                                 IDC_BROWSE_DESTINATION,
                                 IDC_ADD_SOURCE,
                                 IDC_REMOVE_SOURCE,
                                 IDC_SUBFOLDERS,
                                 IDC_IGNORE_HIERARCHY,
                                 IDC_TARGET_NEWEST_AND_UNIQUE,
                                 IDC_TARGET_NEWEST_ONLY,
                                 IDC_TARGET_UNIQUE_ONLY,
                                 IDC_CRITERION_MODIFIED,
                                 IDC_CRITERION_CREATED,
                                 IDC_CRITERION_BOTH,
                                 IDC_METHOD_COPY,
                                 IDC_METHOD_MOVE,
                                 IDC_KEEP_TIMESTAMPS,
                                 IDC_LOG_MENU,
                                 IDC_SKIP_SAME};

MainWindowState* stateOf(HWND window) {
  return reinterpret_cast<MainWindowState*>(GetWindowLongPtrW(window, DWLP_USER));
}

bool isChecked(HWND window, int id) { return IsDlgButtonChecked(window, id) == BST_CHECKED; }

void check(HWND window, int id, bool on) {
  CheckDlgButton(window, id, on ? BST_CHECKED : BST_UNCHECKED);
}

// Leaving out what the destination holds is for copies only: the box can be
// used while "コピー" is selected, and keeps its check while it cannot.
void enableSkipSame(HWND window) {
  EnableWindow(GetDlgItem(window, IDC_SKIP_SAME), isChecked(window, IDC_METHOD_COPY));
}

// The destination box's list becomes the history; its text is set after,
// because emptying the list also empties the text.
void showHistory(HWND window, const DestinationHistory& history, const std::wstring& text) {
  HWND box = GetDlgItem(window, IDC_DESTINATION);
  SendMessageW(box, CB_RESETCONTENT, 0, 0);
  for (const std::wstring& entry : history)
    SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
  SetWindowTextW(box, text.c_str());
}

HANDLE startRunThread(LPTHREAD_START_ROUTINE procedure, LPVOID parameter) {
  if (runThreadStarter) return runThreadStarter(procedure, parameter);
  return CreateThread(nullptr, 0, procedure, parameter, 0, nullptr);
}

// A system metric at `dpi` (0: the system's own): GetSystemMetricsForDpi
// where the system has it (Windows 10 1607), otherwise the system's value
// scaled from its DPI.
int metricAt(int metric, UINT dpi) {
  if (!dpi) return GetSystemMetrics(metric);
  using ForDpi = int(WINAPI*)(int, UINT);
  static const auto forDpi = systemFunction<ForDpi>(L"user32.dll", "GetSystemMetricsForDpi");
  if (forDpi) return forDpi(metric, dpi);
  ScopedGetDC screen(nullptr);
  int systemDpi = screen.get() ? GetDeviceCaps(screen.get(), LOGPIXELSX) : 96;
  return MulDiv(GetSystemMetrics(metric), static_cast<int>(dpi), systemDpi ? systemDpi : 96);
}

// The program's icon drawn at the size the system gives the metrics, which
// grows with the display's scaling, from the image made for that size.
HICON loadAppIcon(int widthMetric, int heightMetric, UINT dpi) {
  return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON,
                                       metricAt(widthMetric, dpi), metricAt(heightMetric, dpi), 0));
}

// Alt+Tab and the taskbar show the big icon, the title bar the small one;
// both at the sizes of `dpi` (0: the system's).  The window owns them.
void setWindowIcons(HWND window, MainWindowState& state, UINT dpi) {
  IconHandle big(loadAppIcon(SM_CXICON, SM_CYICON, dpi));
  IconHandle small(loadAppIcon(SM_CXSMICON, SM_CYSMICON, dpi));
  SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big.get()));
  SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small.get()));
  state.bigIcon = std::move(big);  // the ones replaced go only now
  state.smallIcon = std::move(small);
}

// The dialog's result: the run's exit code when it was started unattended,
// otherwise 0.
INT_PTR dialogResult(HWND window) {
  MainWindowState* state = stateOf(window);
  return state && state->host.unattended() ? state->host.unattendedPrompt().exitCode() : 0;
}

// The command line's folders go into the list as a drop puts them there,
// and its destination into the box; the history stays as loaded.
void applyCommandLine(HWND window, const CommandLine& line) {
  if (!line.sources.empty()) addSources(GetDlgItem(window, IDC_SOURCE_LIST), line.sources);
  if (line.hasDestination) SetDlgItemTextW(window, IDC_DESTINATION, line.destination.c_str());
  if (line.bad || line.unattended()) PostMessageW(window, kStartFromCommandLine, 0, 0);
}

void onInitDialog(HWND window, const CommandLine* commandLine) {
  auto* state = new MainWindowState(window);
  if (commandLine) state->commandLine = *commandLine;
  if (state->commandLine.unattended()) state->host.setUnattended();
  SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(state));
  setWindowIcons(window, *state, 0);
  allowTaskbarMessage(window);
  initMainWindow(window);
  applyCommandLine(window, state->commandLine);
}

// Shows the run's progress on the taskbar button; once no run is active the
// button is cleared and the timer stops.
void showProgress(HWND window) {
  MainWindowState* state = stateOf(window);
  if (!state) return;
  ProgressView view = currentProgressView();
  state->taskbar.show(view);
  if (view.mode == ProgressMode::None) KillTimer(window, kProgressTimer);
}

// The button exists now (or again, after the taskbar was restarted): its
// progress may be set from here on.
void onTaskbarButtonCreated(HWND window) {
  MainWindowState* state = stateOf(window);
  if (!state) return;
  if (!state->comInitialised) state->comInitialised = SUCCEEDED(CoInitialize(nullptr));
  state->taskbar.attach(createTaskbarDisplay(window));
  showProgress(window);
}

// A run or a preview: busy state, the options of this moment, the thread.
// Only a run saves the settings and promotes its destination.
void startRunOfKind(HWND window, bool preview) {
  MainWindowState* state = stateOf(window);
  if (!state) return;
  runState.running = true;
  runState.cancelRequested = false;
  state->previewing = preview;
  HANDLE thread = nullptr;
  try {
    enterBusyState(window);

    // The run works on the options of this moment.  In particular it scans
    // the sources listed now: folders dropped onto the list while it runs
    // are kept for the next run and never shift the entries under the
    // running scan.
    RunOptions options = readRunOptions(window);
    options.workers = state->workers;
    // A preview is a look, not an act: the settings file and the history
    // stay as they are.
    if (!preview) {
      // Unattended, a failed save is told in the run's log instead of a box.
      std::wstring unshown;
      if (auto history =
              saveSettings(window, storedSettingsOf(options, state->history), options.destination,
                           state->host.unattended() ? &unshown : nullptr)) {
        state->history = *history;
        showHistory(window, *history, options.destination);
      }
      if (!unshown.empty()) state->host.unattendedPrompt().hold(unshown);
    }
    state->host.setOptions(std::move(options));

    runProgress.start();
    SetTimer(window, kProgressTimer, kProgressInterval, nullptr);
    showProgress(window);
    thread =
        startRunThread(preview ? runPreview : runExtraction, static_cast<RunHost*>(&state->host));
  } catch (...) {
    // Out of memory before the run's thread exists: no run will hand the
    // window back, so it comes back to idle here, as when the thread cannot
    // be made.
    thread = nullptr;
  }
  if (thread) {
    CloseHandle(thread);
    return;
  }
  runProgress.phase = RunPhase::Ended;
  showProgress(window);
  // Through the host: unattended, no box waits and the window then closes.
  state->host.showMessage(texts::kThreadFailed, texts::kAppName, MB_ICONERROR | MB_OK);
  state->host.enterIdleState();
  runState.running = false;
}

// A run or preview the command line asked for, as if its button had been
// pressed; or the usage, when the line is bad and a person started the
// program.
void startFromCommandLine(HWND window) {
  MainWindowState* state = stateOf(window);
  if (!state || runState.running.load()) return;
  const CommandLine& line = state->commandLine;
  if (line.bad && !line.unattended()) {
    MessageBoxW(window, usageMessage(line).c_str(), texts::kAppName, MB_ICONERROR | MB_OK);
    return;
  }
  // Nothing to gather, or nowhere to put it: the run cannot start.
  if (line.bad || SendMessageW(GetDlgItem(window, IDC_SOURCE_LIST), LB_GETCOUNT, 0, 0) <= 0 ||
      GetWindowTextLengthW(GetDlgItem(window, IDC_DESTINATION)) <= 0) {
    EndDialog(window, kExitNotStarted);
    return;
  }
  startRunOfKind(window, line.action == StartAction::Preview);
}

// An unattended run has handed the window back: it closes once `running`
// is clear, as after a close request during a run.
void endUnattended(HWND window) {
  if (runState.running.load()) {
    HANDLE waiter = CreateThread(nullptr, 0, closeWaiter, window, 0, nullptr);
    if (waiter) {
      CloseHandle(waiter);
      return;
    }
  }
  EndDialog(window, dialogResult(window));
}

void onClose(HWND window) {
  if (runState.running.load()) {
    runState.cancelRequested = true;
    HANDLE waiter = CreateThread(nullptr, 0, closeWaiter, window, 0, nullptr);
    if (waiter) {
      CloseHandle(waiter);
      return;  // the waiter closes the window once the run has ended
    }
  }
  EndDialog(window, dialogResult(window));
}

// Returns whether the command counts as handled.  `running` is read once, so
// swallowing and the run button's meaning come from the same reading.
bool onCommand(HWND window, int id) {
  const bool running = runState.running.load();
  switch (id) {
    case IDC_README:
      openReadme(window);
      return true;
    case IDC_ABOUT:
      showAboutBox(window);
      return true;
    case IDC_RUN:
      if (running)
        runState.cancelRequested = true;
      else
        startRun(window);
      return true;
  }
  if (running) return true;  // everything else waits until the run has ended
  switch (id) {
    case IDC_BROWSE_DESTINATION:
      browseDestination(window);
      return true;
    case IDC_ADD_SOURCE:
      showAddSourceDialog(window);
      return true;
    case IDC_REMOVE_SOURCE:
      removeSelectedSource(window);
      return true;
    case IDC_SUBFOLDERS:
      EnableWindow(GetDlgItem(window, IDC_IGNORE_HIERARCHY), isChecked(window, IDC_SUBFOLDERS));
      return true;
    case IDC_METHOD_COPY:
    case IDC_METHOD_MOVE:
      enableSkipSame(window);
      return true;
    case IDC_LOG_MENU:
      showLogMenu(window);
      return true;
    case IDM_PREVIEW:
      startPreview(window);
      return true;
    default:
      return handleLogMenuCommand(window, id);
  }
}

void onNcDestroy(HWND window) {
  MainWindowState* state = stateOf(window);
  SetWindowLongPtrW(window, DWLP_USER, 0);
  if (!state) return;
  // The taskbar object goes before COM does, on the thread that made both.
  state->taskbar.attach(nullptr);
  if (state->comInitialised) CoUninitialize();
  state->comInitialised = false;
  // A run that outlives the window (its close-waiter could not start) still
  // uses the host; the process ends right after, so it is left allocated.
  if (!runState.running.load()) delete state;
}

}  // namespace

HINSTANCE appInstance() { return instance; }

void setRunThreadStarter(RunThreadStarter starter) { runThreadStarter = starter; }

INT_PTR showMainWindow(HINSTANCE module, const CommandLine& commandLine) {
  instance = module;
  return DialogBoxParamW(module, MAKEINTRESOURCEW(IDD_MAIN), nullptr, mainWindowProc,
                         reinterpret_cast<LPARAM>(&commandLine));
}

int runProgram(HINSTANCE module, const wchar_t* commandLineText) {
  CommandLine commandLine = parseCommandLine(commandLineText);
  // Nobody would read the usage: the run cannot start.
  if (commandLine.bad && commandLine.unattended()) return kExitNotStarted;
  INT_PTR result = showMainWindow(module, commandLine);
  if (!commandLine.unattended()) return 0;
  return result >= kExitCompleted && result <= kExitNotStarted ? static_cast<int>(result)
                                                               : kExitNotStarted;
}

INT_PTR CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    if (message == taskbarButtonCreatedMessage() && message != 0) {
      onTaskbarButtonCreated(window);
      return TRUE;
    }
    switch (message) {
      case WM_INITDIALOG:
        onInitDialog(window, reinterpret_cast<const CommandLine*>(lParam));
        return TRUE;  // focus goes to the first tab stop, the destination box
      case kStartFromCommandLine:
        startFromCommandLine(window);
        return TRUE;
      case kEndUnattended:
        endUnattended(window);
        return TRUE;
      case WM_CLOSE:
        onClose(window);
        return TRUE;
      case WM_COMMAND:
        return onCommand(window, LOWORD(wParam)) ? TRUE : FALSE;
      case WM_TIMER:
        if (wParam != kProgressTimer) return FALSE;
        showProgress(window);
        return TRUE;
      case kShowProgress:
        showProgress(window);
        return TRUE;
      case kDpiChanged:
        PostMessageW(window, kRemeasureAfterDpiChange, LOWORD(wParam), 0);
        return FALSE;
      case kRemeasureAfterDpiChange:
        updateHorizontalExtent(GetDlgItem(window, IDC_SOURCE_LIST));
        if (MainWindowState* state = stateOf(window))
          setWindowIcons(window, *state, static_cast<UINT>(wParam));
        return TRUE;
      case WM_NCDESTROY:
        onNcDestroy(window);
        return FALSE;
    }
  } catch (...) {
  }
  return FALSE;
}

void initMainWindow(HWND window) {
  // The program's folder is fixed once per process; tests set it beforehand
  // to a folder of their own, which is then kept.
  if (programFolder().empty()) computeProgramFolder();
  // Settings and logs stay beside the program only where it may write.
  decideDataFolders();

  StoredSettings settings = loadSettings();
  if (MainWindowState* state = stateOf(window)) {
    state->history = settings.history;
    state->workers = settings.workers;
  }
  showHistory(window, settings.history, settings.history[0]);

  check(window, IDC_SUBFOLDERS, settings.includeSubfolders);
  EnableWindow(GetDlgItem(window, IDC_IGNORE_HIERARCHY), settings.includeSubfolders);
  check(window, IDC_IGNORE_HIERARCHY, settings.ignoreHierarchy);
  switch (settings.targetKind) {
    case TargetKind::NewestOnly:
      check(window, IDC_TARGET_NEWEST_ONLY, true);
      break;
    case TargetKind::UniqueOnly:
      check(window, IDC_TARGET_UNIQUE_ONLY, true);
      break;
    default:
      check(window, IDC_TARGET_NEWEST_AND_UNIQUE, true);
  }
  switch (settings.criterion) {
    case TimeCriterion::Modified:
      check(window, IDC_CRITERION_MODIFIED, true);
      break;
    case TimeCriterion::Created:
      check(window, IDC_CRITERION_CREATED, true);
      break;
    default:
      check(window, IDC_CRITERION_BOTH, true);
  }
  check(window, settings.method == TransferMethod::Copy ? IDC_METHOD_COPY : IDC_METHOD_MOVE, true);
  check(window, IDC_KEEP_TIMESTAMPS, settings.keepTimeStamps);
  check(window, IDC_SKIP_SAME, settings.skipSame);
  enableSkipSame(window);
  setLogTransfers(settings.logTransfers);

  installDropTargets(window);
}

RunOptions readRunOptions(HWND window) {
  RunOptions options;
  options.destination = controlText(GetDlgItem(window, IDC_DESTINATION));
  options.sources = sourceEntries(GetDlgItem(window, IDC_SOURCE_LIST));
  options.includeSubfolders = isChecked(window, IDC_SUBFOLDERS);
  options.ignoreHierarchy = isChecked(window, IDC_IGNORE_HIERARCHY);
  if (isChecked(window, IDC_TARGET_NEWEST_ONLY))
    options.targetKind = TargetKind::NewestOnly;
  else if (isChecked(window, IDC_TARGET_UNIQUE_ONLY))
    options.targetKind = TargetKind::UniqueOnly;
  else
    options.targetKind = TargetKind::NewestAndUnique;
  if (isChecked(window, IDC_CRITERION_MODIFIED))
    options.criterion = TimeCriterion::Modified;
  else if (isChecked(window, IDC_CRITERION_CREATED))
    options.criterion = TimeCriterion::Created;
  else
    options.criterion = TimeCriterion::Both;
  options.method = isChecked(window, IDC_METHOD_COPY) ? TransferMethod::Copy : TransferMethod::Move;
  options.keepTimeStamps = isChecked(window, IDC_KEEP_TIMESTAMPS);
  options.skipSame = isChecked(window, IDC_SKIP_SAME);
  options.logTransfers = logTransfersEnabled();
  return options;
}

StoredSettings storedSettingsOf(const RunOptions& options, const DestinationHistory& history) {
  StoredSettings settings;
  settings.includeSubfolders = options.includeSubfolders;
  settings.ignoreHierarchy = options.ignoreHierarchy;
  settings.targetKind = options.targetKind;
  settings.criterion = options.criterion;
  settings.method = options.method;
  settings.keepTimeStamps = options.keepTimeStamps;
  settings.logTransfers = options.logTransfers;
  settings.skipSame = options.skipSame;
  settings.history = history;
  return settings;
}

void startRun(HWND window) { startRunOfKind(window, false); }

void startPreview(HWND window) { startRunOfKind(window, true); }

void enterBusyState(HWND window) {
  for (int id : kBusyControls) EnableWindow(GetDlgItem(window, id), FALSE);
  SetDlgItemTextW(window, IDC_RUN, texts::kRunButtonBusy);
  SetWindowTextW(window, texts::kTitleScanning);
}

void enterIdleState(HWND window) {
  for (int id : kBusyControls)
    if (id != IDC_IGNORE_HIERARCHY && id != IDC_SKIP_SAME)
      EnableWindow(GetDlgItem(window, id), TRUE);
  // The method buttons were disabled all along, so they still say what the
  // run was given.
  enableSkipSame(window);
  // The settings file decides, as saved when the run started; a preview
  // saves nothing, so after one the subfolders box does.
  MainWindowState* state = stateOf(window);
  bool subfolders =
      state && state->previewing ? isChecked(window, IDC_SUBFOLDERS) : readSubfolderSetting();
  EnableWindow(GetDlgItem(window, IDC_IGNORE_HIERARCHY), subfolders);
  SetDlgItemTextW(window, IDC_RUN, texts::kRunButtonIdle);
  SetWindowTextW(window, texts::kTitleIdle);
  // The run has ended: its progress goes from the button now, not at the
  // next tick.  Called from the run's thread, so the window is told.
  PostMessageW(window, kShowProgress, 0, 0);
}

DWORD WINAPI closeWaiter(LPVOID window) {
  while (runState.running.load()) Sleep(100);
  PostMessageW(static_cast<HWND>(window), WM_CLOSE, 0, 0);
  return 0;
}

void MainWindowHost::setTitle(const std::wstring& title) { SetWindowTextW(window_, title.c_str()); }

void MainWindowHost::enterIdleState() {
  ::enterIdleState(window_);
  if (unattended_) PostMessageW(window_, kEndUnattended, 0, 0);
}

UserPrompt& MainWindowHost::prompt() {
  if (unattended_) return quiet_;
  return prompt_;
}

int MainWindowHost::showMessage(const std::wstring& text, const std::wstring& caption, UINT type) {
  return prompt().showMessage(text, caption, type);
}

void MainWindowHost::shellOpen(const std::wstring& path) { prompt().shellOpen(path); }

void MainWindowHost::logOpened() {
  if (unattended_) quiet_.logOpened();
}

void MainWindowHost::runEnded(RunOutcome outcome) {
  if (unattended_) quiet_.runEnded(outcome);
}
