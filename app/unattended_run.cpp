#include "app/unattended_run.h"

#include "base/texts.h"
#include "log/run_log.h"

int exitCodeOf(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::Completed:
      return kExitCompleted;
    case RunOutcome::CompletedWithErrors:
      return kExitWithErrors;
    case RunOutcome::Cancelled:
      return kExitCancelled;
    default:
      return kExitNotStarted;
  }
}

std::wstring logLineOf(const std::wstring& boxText) {
  std::wstring line;
  bool inBreak = false;
  for (wchar_t c : boxText) {
    if (c == L'\r' || c == L'\n') {
      inBreak = true;
      continue;
    }
    if (inBreak && !line.empty()) line += L' ';
    inBreak = false;
    line += c;
  }
  return line;
}

int UnattendedPrompt::showMessage(const std::wstring& text, const std::wstring&, UINT type) {
  if (logOpen_)
    writeLogLine(
        (type & MB_ICONMASK) == MB_ICONERROR ? texts::kCategoryError : texts::kCategoryNotice,
        logLineOf(text));
  switch (type & MB_TYPEMASK) {
    case MB_YESNO:
    case MB_YESNOCANCEL:
      return IDNO;
    case MB_OKCANCEL:
    case MB_RETRYCANCEL:
      return IDCANCEL;
    default:
      return IDOK;
  }
}

void UnattendedPrompt::logOpened() {
  logOpen_ = true;
  for (const std::wstring& text : held_) writeLogLine(texts::kCategoryError, logLineOf(text));
  held_.clear();
}

void UnattendedPrompt::runEnded(RunOutcome outcome) {
  logOpen_ = false;
  exitCode_ = exitCodeOf(outcome);
}
