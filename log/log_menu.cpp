#include "log/log_menu.h"

#include <atomic>
#include <memory>
#include <type_traits>

#include "base/run_host.h"
#include "base/texts.h"
#include "log/run_log.h"
#include "res/resource.h"

namespace {

// Written on the user-interface thread between runs, read by the run.
std::atomic<bool> logTransfers{false};

struct MenuDeleter {
  void operator()(HMENU menu) const { DestroyMenu(menu); }
};
using Menu = std::unique_ptr<std::remove_pointer_t<HMENU>, MenuDeleter>;

}  // namespace

bool logTransfersEnabled() { return logTransfers.load(); }

void setLogTransfers(bool on) { logTransfers.store(on); }

void showLogMenu(HWND window) {
  POINT cursor = {};
  GetCursorPos(&cursor);
  Menu menu(CreatePopupMenu());
  if (!menu) return;
  AppendMenuW(menu.get(), MF_STRING, IDM_SHOW_LOG, texts::kMenuShowLog);
  AppendMenuW(menu.get(), MF_STRING, IDM_OPEN_LOG_FOLDER, texts::kMenuOpenLogFolder);
  AppendMenuW(menu.get(), MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu.get(), MF_STRING | (logTransfers ? MF_CHECKED : MF_UNCHECKED), IDM_LOG_TRANSFERS,
              texts::kMenuLogTransfers);
  // The preview is a run of its own kind; the main window handles it.
  AppendMenuW(menu.get(), MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu.get(), MF_STRING, IDM_PREVIEW, texts::kMenuPreview);
  SetForegroundWindow(window);
  // The chosen item arrives at `window` as a posted WM_COMMAND.
  TrackPopupMenu(menu.get(), TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, window, nullptr);
  // Deliver the one message waiting now, normally that command, before
  // the menu goes.
  MSG msg;
  if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

bool handleLogMenuCommand(HWND window, int id) {
  WindowPrompt prompt(window);
  switch (id) {
    case IDM_SHOW_LOG:
      showLatestLog(prompt);
      return true;
    case IDM_OPEN_LOG_FOLDER:
      if (ensureLogFolder(prompt)) prompt.shellOpen(logFolder());
      return true;
    case IDM_LOG_TRANSFERS:
      // Only this thread writes it; the next run stores it.
      logTransfers.store(!logTransfers.load());
      return true;
    default:
      return false;
  }
}
