#include "support/log_capture.h"

#include <gtest/gtest.h>

#include "base/program_folder.h"
#include "base/text.h"
#include "log/run_log.h"

int RecordingPrompt::showMessage(const std::wstring& text, const std::wstring& caption, UINT type) {
  messages.push_back({text, caption, type});
  return answer;
}

void RecordingPrompt::shellOpen(const std::wstring& path) { opened.push_back(path); }

LogCapture::LogCapture(const RunOptions& options) {
  setProgramFolder(programFolder_.path() + L"\\");
  resetLogPaths();
  open_ = openRunLog(prompt_, options);
  EXPECT_TRUE(open_) << "the run log could not be opened";
}

LogCapture::~LogCapture() {
  if (open_) closeRunLog();
  resetLogPaths();
  setProgramFolder(L"");
}

std::vector<LogLine> LogCapture::lines() {
  if (open_) {
    closeRunLog();
    open_ = false;
    bytes_ = readFile(lastLogPath());
  }
  std::vector<LogLine> all = parseEventLines(bytes_);
  // Drop the start line that every log begins with.
  if (!all.empty() && all.front().message == L"抽出処理開始。") all.erase(all.begin());
  return all;
}

std::vector<LogLine> parseEventLines(const std::string& fileBytes) {
  std::vector<LogLine> out;
  std::wstring text = fromUtf8(fileBytes);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(start, end - start);
    start = end + 2;
    // Event lines carry "ミリ秒【category】message"; header lines do not.
    size_t stamp = line.find(L"ミリ秒【");
    if (stamp == std::wstring::npos) continue;
    size_t open = stamp + 3, close = line.find(L'】', open);
    if (close == std::wstring::npos) continue;
    out.push_back({line.substr(open + 1, close - open - 1), line.substr(close + 1)});
  }
  return out;
}
