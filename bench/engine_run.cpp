#include "bench/engine_run.h"

#include <cstdlib>
#include <cwctype>

#include "base/program_folder.h"
#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "bench/report.h"
#include "engine/extraction_run.h"
#include "log/run_log.h"

namespace {

// The host of a run without a window: hands out the options and records
// when the run reaches each step.
class BenchHost : public RunHost {
 public:
  explicit BenchHost(RunOptions options) : options_(std::move(options)) {}

  RunOptions readOptions() override {
    started = nowSeconds();
    return options_;
  }
  void setTitle(const std::wstring&) override {
    // The run sets the title once, between the scan and the transfer.
    if (scanned == 0) {
      scanned = nowSeconds();
      afterScan = readMemoryCounters();
    }
  }
  void enterIdleState() override { finished = nowSeconds(); }
  int showMessage(const std::wstring& text, const std::wstring&, UINT type) override {
    outcome = text;
    return (type & MB_YESNO) ? IDNO : IDOK;
  }
  void shellOpen(const std::wstring&) override {}

  double started = 0, scanned = 0, finished = 0;
  MemoryCounters afterScan;
  std::wstring outcome;

 private:
  RunOptions options_;
};

// The count of the log's line on files left out as the same as the
// destination's, 0 when there is none, -1 when the log cannot be read.
double skippedCount(const std::wstring& logPath) {
  std::string bytes;
  if (!readWholeFile(logPath, bytes)) return -1;
  std::wstring text = fromUtf8(bytes);
  std::wstring format = texts::kSkippedSame;
  size_t field = format.find(L"%u");
  std::wstring before = format.substr(0, field), after = format.substr(field + 2);
  for (size_t at = text.find(before); at != std::wstring::npos; at = text.find(before, at + 1)) {
    size_t digits = at + before.size(), end = digits;
    while (end < text.size() && iswdigit(text[end])) ++end;
    if (end > digits && text.compare(end, after.size(), after) == 0)
      return wcstod(text.substr(digits, end - digits).c_str(), nullptr);
  }
  return 0;
}

}  // namespace

int runEngineChild(const EngineRunRequest& request, const std::wstring& resultPath) {
  setProgramFolder(request.programFolder + L"\\");
  resetLogPaths();

  RunOptions options;  // the defaults: newest and unique, later time, copy, keep stamps
  options.sources = request.sources;
  options.destination = request.destination;
  options.includeSubfolders = true;
  options.ignoreHierarchy = request.ignoreHierarchy;
  options.workers = request.workers;
  options.skipSame = request.skipSame;
  options.logTransfers = request.logTransfers;
  BenchHost host(options);

  MemoryCounters before = readMemoryCounters();
  runState.cancelRequested = false;
  runState.errorLogged = false;
  runState.running = true;
  double start = nowSeconds();
  runExtractionWith(host);
  double end = nowSeconds();
  MemoryCounters after = readMemoryCounters();

  ResultFile result;
  result.set("whole_s", end - start);
  result.set("scan_s", host.scanned > 0 ? host.scanned - host.started : 0);
  result.set("transfer_s", host.scanned > 0 ? host.finished - host.scanned : 0);
  result.set("base_ws", static_cast<double>(before.workingSet));
  result.set("base_private", static_cast<double>(before.privateBytes));
  result.set("peak_ws", static_cast<double>(after.peakWorkingSet));
  result.set("scan_ws", static_cast<double>(host.afterScan.workingSet));
  result.set("scan_private", static_cast<double>(host.afterScan.privateBytes));
  result.set("errors", runState.errorLogged ? 1 : 0);
  result.set("done", host.outcome == texts::kOutcomeDone ? 1 : 0);
  result.set("log", toUtf8(lastLogPath()));
  result.set("workers", request.workers);
  result.set("skipped", skippedCount(lastLogPath()));
  return result.save(resultPath) ? 0 : 2;
}

std::wstring engineChildCommand(const EngineRunRequest& request, const std::wstring& resultPath) {
  std::wstring line = quoteArgument(selfPath()) + L" --engine-child " + quoteArgument(resultPath) +
                      L" " + quoteArgument(request.destination) + L" " +
                      (request.ignoreHierarchy ? L"1" : L"0") + L" " +
                      quoteArgument(request.programFolder) +
                      formatText(L" %u %d %d", request.workers, request.skipSame ? 1 : 0,
                                 request.logTransfers ? 1 : 0);
  for (const auto& s : request.sources) line += L" " + quoteArgument(s);
  return line;
}

EngineRunFigures runEngineProcess(const EngineRunRequest& request, const std::wstring& scratch,
                                  const std::string& what) {
  EngineRunFigures figures;
  std::wstring resultPath = scratch + L"\\engine-result.txt";
  DeleteFileW(resultPath.c_str());
  ChildResult child =
      runProcess(engineChildCommand(request, resultPath), scratch + L"\\engine-output.txt");
  figures.processSeconds = child.seconds;
  figures.ok = child.started && child.exitCode == 0 && figures.result.load(resultPath);
  if (!figures.ok)
    checkFailed(what + ": the engine run failed (exit code " + std::to_string(child.exitCode) +
                ")");
  else if (figures.result.number("errors") != 0 || figures.result.number("done") != 1)
    checkFailed(
        what + ": the run wrote error lines or did not finish; log: " + figures.result.text("log"));
  return figures;
}

bool parseEngineChild(const std::vector<std::wstring>& args, EngineRunRequest& request,
                      std::wstring& resultPath) {
  if (args.size() < 8) return false;
  resultPath = args[0];
  request.destination = args[1];
  request.ignoreHierarchy = args[2] == L"1";
  request.programFolder = args[3];
  request.workers = static_cast<unsigned>(wcstoul(args[4].c_str(), nullptr, 10));
  request.skipSame = args[5] == L"1";
  request.logTransfers = args[6] == L"1";
  request.sources.assign(args.begin() + 7, args.end());
  return true;
}
