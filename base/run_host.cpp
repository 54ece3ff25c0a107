#include "base/run_host.h"

#include <shellapi.h>

int WindowPrompt::showMessage(const std::wstring& text, const std::wstring& caption, UINT type) {
  return MessageBoxW(owner_, text.c_str(), caption.c_str(), type);
}

void WindowPrompt::shellOpen(const std::wstring& path) {
  ShellExecuteW(owner_, L"open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}
