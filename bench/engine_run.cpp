#include "bench/engine_run.h"

#include <cstdlib>

#include "base/program_folder.h"
#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
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
  return result.save(resultPath) ? 0 : 2;
}

std::wstring engineChildCommand(const EngineRunRequest& request, const std::wstring& resultPath) {
  std::wstring line = quoteArgument(selfPath()) + L" --engine-child " + quoteArgument(resultPath) +
                      L" " + quoteArgument(request.destination) + L" " +
                      (request.ignoreHierarchy ? L"1" : L"0") + L" " +
                      quoteArgument(request.programFolder) + formatText(L" %u", request.workers);
  for (const auto& s : request.sources) line += L" " + quoteArgument(s);
  return line;
}

bool parseEngineChild(const std::vector<std::wstring>& args, EngineRunRequest& request,
                      std::wstring& resultPath) {
  if (args.size() < 6) return false;
  resultPath = args[0];
  request.destination = args[1];
  request.ignoreHierarchy = args[2] == L"1";
  request.programFolder = args[3];
  request.workers = static_cast<unsigned>(wcstoul(args[4].c_str(), nullptr, 10));
  request.sources.assign(args.begin() + 5, args.end());
  return true;
}
