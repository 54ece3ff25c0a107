#pragma once
// Runs engine code against a real run log in a temporary program folder and
// reads the event lines back from the file.

#include <string>
#include <vector>

#include "base/run_host.h"
#include "base/run_options.h"
#include "support/test_files.h"

struct LogLine {
  std::wstring category;
  std::wstring message;
};

// A UserPrompt that records what would have been shown and answers with a
// chosen button.
class RecordingPrompt : public UserPrompt {
 public:
  struct Message {
    std::wstring text, caption;
    UINT type;
  };
  int answer = IDOK;
  std::vector<Message> messages;
  std::vector<std::wstring> opened;

  int showMessage(const std::wstring& text, const std::wstring& caption, UINT type) override;
  void shellOpen(const std::wstring& path) override;
};

// Points the program folder at a fresh temporary folder and opens a run log
// there; lines() closes it and parses the event lines of the file.
class LogCapture {
 public:
  explicit LogCapture(const RunOptions& options = RunOptions());
  ~LogCapture();
  std::vector<LogLine> lines();                        // event lines after the start line
  const std::string& bytes() const { return bytes_; }  // whole file, after lines()
  const std::wstring& folder() const { return programFolder_.path(); }

 private:
  TempFolder programFolder_;
  RecordingPrompt prompt_;
  bool open_ = false;
  std::string bytes_;
};

// Parses every event line ("...【category】message") of a log file's bytes.
std::vector<LogLine> parseEventLines(const std::string& fileBytes);
