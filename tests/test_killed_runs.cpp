// Runs killed at random moments, as by a power loss or Task Manager.  This
// program starts itself as a child (--gtest_filter=KilledRuns.Child, with
// OSTRELLE_KILL_CHILD naming its case), lets it run one extraction,
// terminates it after a seeded delay and checks what the dead run left:
//   (a) every file under its real name in the destination is whole: its old
//       content or its winner's;
//   (b) the run's temporary files and folders ("~ostrelle-*.tmp") are gone
//       after the next run into that destination, and a run that uses the
//       killed destination as a source never gathers one;
//   (c) in move mode every file is whole in its source or at its target;
//   (d) the log on disk holds the header and its lines up to about a second
//       before the kill, each line whole; error, copy and move lines reach
//       it at once, so every file placed before the kill has its line once
//       its turn in the log's order had come, but for at most one per worker
//       caught between placing the file and writing the line.
// Every other copy case runs beside a companion: another process that runs
// into the same destination at the same time, with names of its own, is not
// killed and must finish as if it were alone.
// A normal run over the same destination then leaves exactly what an uncut
// run leaves.  The child runs at a fraction of its speed (its threads are
// held for most of every 240 ms), so that a run of modest data lasts a few
// seconds, as a large one on a slow disk does.
//
// OSTRELLE_SEED picks the seed, OSTRELLE_KILLS the number of kills (default
// 14, half copy and half move), OSTRELLE_KILL_SLOWDOWN the child's slowdown
// (default 30; 1 runs it at full speed).  Every other move crosses volumes when
// OSTRELLE_OTHER_VOLUME names a second file system (scripts/test.sh mounts
// one as root).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/handles.h"
#include "base/program_folder.h"
#include "base/run_state.h"
#include "base/text.h"
#include "base/texts.h"
#include "engine/extraction_run.h"
#include "engine/work_pool.h"
#include "log/run_log.h"
#include "support/log_capture.h"
#include "support/test_files.h"

namespace {

const wchar_t kChildVariable[] = L"OSTRELLE_KILL_CHILD";

double seconds(int64_t ticks) { return ticks / 1e7; }

bool isTemporaryName(const std::wstring& name) {
  return name.rfind(L"~ostrelle-", 0) == 0 && name.size() >= 14 &&
         name.compare(name.size() - 4, 4, L".tmp") == 0;
}

// Relative paths of every temporary file or folder below `root`.
void findTemporaries(const std::wstring& root, const std::wstring& rel,
                     std::vector<std::wstring>& out) {
  for (const std::wstring& name : listFolder(rel.empty() ? root : root + L"\\" + rel)) {
    std::wstring path = rel.empty() ? name : rel + L"\\" + name;
    if (isTemporaryName(name))
      out.push_back(path);
    else if (folderExists(root + L"\\" + path))
      findTemporaries(root, path, out);
  }
}

std::vector<std::wstring> temporariesUnder(const std::wstring& root) {
  std::vector<std::wstring> out;
  findTemporaries(root, L"", out);
  return out;
}

// Files of the cases.  Every 8 bytes carry the file's id and their offset, so
// a truncated, mixed or half-written file never passes for a whole one.
struct FileCopy {
  int source = 0;
  std::wstring rel;
  uint32_t id = 0, size = 0;
  uint64_t time = 0;

  // The content, in a buffer reused from call to call: fresh allocations of
  // megabytes are slow under Wine.
  const std::string& bytes() const {
    static std::string buffer;
    buffer.resize(size);
    for (uint32_t at = 0; at < size; at += 8) {
      uint64_t word = (uint64_t(id) << 32 | at) ^ 0x2d2d2d2d00000000ULL;
      std::memcpy(&buffer[at], &word, std::min<uint32_t>(8, size - at));
    }
    return buffer;
  }
  bool wholeAt(const std::wstring& path) const { return fileHolds(path, bytes()); }
};

struct Case {
  uint64_t seed = 0;
  int index = 0;
  bool move = false, crossVolume = false, keepTimes = false, logTransfers = false;
  bool companion = false;  // runs beside another case, into its destination
  std::wstring folder, other, destination;
  std::vector<FileCopy> copies;                 // every source file but the locked one
  FileCopy locked;                              // held open by the parent during the runs
  std::map<std::wstring, FileCopy> oldTargets;  // in the destination before the run
  std::map<std::wstring, FileCopy> winners;     // newest copy of each name
  std::map<std::wstring, FileCopy> expected;    // the destination after an uncut run
  uint64_t bytes = 0;

  std::wstring source(int s) const { return folder + formatText(L"\\src%d", s + 1); }
  std::wstring program() const { return folder + L"\\program\\"; }
  RunOptions options() const {
    RunOptions o;
    o.destination = destination;
    for (int s = 0; s < 3; ++s) o.sources.push_back(source(s));
    o.includeSubfolders = true;
    o.criterion = TimeCriterion::Modified;
    o.method = move ? TransferMethod::Move : TransferMethod::Copy;
    o.keepTimeStamps = keepTimes;
    o.logTransfers = logTransfers;
    return o;
  }
};

// Three sources of 20-32 files of 0.2-6 MB from one pool of 40 names, with
// distinct last-write times; old targets for some names in the destination;
// "new\deep" exists only in the sources.
// A companion (`companionOf`) has names of its own with a "c-" prefix and
// runs into the destination of the case it accompanies.
Case makeCase(uint64_t seed, int index, const std::wstring& folder, const std::wstring& other,
              const std::wstring& destination = L"") {
  std::mt19937_64 rng(seed * 1000003 + index);
  const std::wstring prefix = destination.empty() ? L"" : L"c-";
  auto below = [&](uint64_t n) { return static_cast<uint32_t>(rng() % n); };
  Case c;
  c.seed = seed;
  c.index = index;
  c.companion = !destination.empty();
  c.folder = folder;
  c.other = other;
  c.move = index % 2 == 1;
  c.crossVolume = c.move && !other.empty() && index % 4 == 3;
  c.keepTimes = below(2) == 0;
  c.logTransfers = below(4) != 0;
  // Named after the case folder, which is unique, so parent and child agree.
  c.destination = !destination.empty() ? destination
                  : c.crossVolume      ? other + folder.substr(folder.find_last_of(L'\\')) + L"-out"
                                       : folder + L"\\out";
  const wchar_t* folders[] = {L"", L"docs\\", L"docs\\old\\", L"img\\", L"new\\deep\\"};
  std::vector<std::wstring> pool;
  for (int n = 0; n < 40; ++n)
    pool.push_back(formatText(L"%s%sf%02d.bin", folders[n % 5], prefix.c_str(), n));
  for (int s = 0; s < 3; ++s) {
    std::shuffle(pool.begin(), pool.end(), rng);
    for (uint32_t n = 20 + below(13); n-- > 0;) {
      double u = below(10001) / 10000.0;
      uint32_t size = 200 * 1024 + static_cast<uint32_t>(5.8 * 1024 * 1024 * u * u * u);
      c.copies.push_back({s, pool[n], static_cast<uint32_t>(c.copies.size() + 1), size, 0});
    }
  }
  std::vector<uint32_t> order(c.copies.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  for (uint32_t i = 0; i < order.size(); ++i) c.copies[order[i]].time = ticksAt(10000 + i * 60);
  for (const FileCopy& f : c.copies) {
    c.bytes += f.size;
    FileCopy& w = c.winners[f.rel];
    if (f.time > w.time) w = f;
  }
  for (const auto& [rel, w] : c.winners)
    if (rel.rfind(L"new\\", 0) != 0 && below(5) == 0)
      c.oldTargets[rel] = {-1, rel, 900000 + w.id, 50 * 1024 + below(400 * 1024), ticksAt(w.id)};
  c.locked = {1, L"img\\" + prefix + L"held.bin", 999999, 1024 * 1024, ticksAt(20000)};
  for (const auto& [rel, w] : c.winners)
    c.expected[rel] = c.move && c.oldTargets.count(rel) ? c.oldTargets[rel] : w;
  return c;
}

void writeCase(const Case& c) {
  for (const FileCopy& f : c.copies)
    writeFile(c.source(f.source) + L"\\" + f.rel, f.bytes(), f.time);
  writeFile(c.source(1) + L"\\" + c.locked.rel, c.locked.bytes(), c.locked.time);
  makeFolders(c.destination);
  for (const auto& [rel, f] : c.oldTargets)
    writeFile(c.destination + L"\\" + rel, f.bytes(), f.time);
  makeFolders(c.program());
}

class Host : public RunHost {
 public:
  RunOptions options;
  RunOptions readOptions() override { return options; }
  void setTitle(const std::wstring&) override {}
  void enterIdleState() override {}
  int showMessage(const std::wstring&, const std::wstring&, UINT) override { return IDNO; }
  void shellOpen(const std::wstring&) override {}
};

void runInProcess(const std::wstring& program, const RunOptions& options) {
  setProgramFolder(program);
  resetLogPaths();
  Host host;
  host.options = options;
  runState.cancelRequested = false;
  runState.running = true;
  runExtractionWith(host);
}

// Holds every other thread of the process for (slowdown - 1) of every
// `slowdown` periods of 8 ms.  Threads are listed (threads the run starts
// later included) only while all of them run, so a held one can never own a
// lock the lister needs.
void throttle(int slowdown, const std::atomic<bool>& done) {
  using NextThread = LONG(NTAPI*)(HANDLE, HANDLE, ACCESS_MASK, ULONG, ULONG, PHANDLE);
  auto next = reinterpret_cast<NextThread>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtGetNextThread")));
  ASSERT_TRUE(next) << "no NtGetNextThread to slow the child down with";
  while (slowdown > 1 && !done) {
    std::vector<KernelHandle> threads;
    HANDLE thread = nullptr;
    while (next(GetCurrentProcess(), thread, THREAD_SUSPEND_RESUME | THREAD_QUERY_INFORMATION, 0, 0,
                &thread) == 0)
      threads.emplace_back(thread);
    threads.erase(std::remove_if(threads.begin(), threads.end(),
                                 [](const KernelHandle& t) {
                                   return GetThreadId(t.get()) == GetCurrentThreadId();
                                 }),
                  threads.end());
    Sleep(8);
    for (const KernelHandle& t : threads) SuspendThread(t.get());
    Sleep(8 * (slowdown - 1));
    for (const KernelHandle& t : threads) ResumeThread(t.get());
  }
}

// Removes a destination on the other volume, which no TempFolder holds.
struct Cleanup {
  std::wstring path;
  ~Cleanup() {
    if (!path.empty()) removeTree(path);
  }
};

uint64_t utcNow() {
  FILETIME t;
  GetSystemTimeAsFileTime(&t);
  return toTicks(t);
}

uint64_t localNow() {
  SYSTEMTIME s;
  FILETIME t;
  GetLocalTime(&s);
  SystemTimeToFileTime(&s, &t);
  return toTicks(t);
}

// What a run log on disk holds: header, event lines with their local times,
// and whatever in it is not a whole, well-formed line.
struct LogFacts {
  size_t size = 0;
  bool exists = false, header = false;
  std::vector<LogLine> lines;
  std::vector<uint64_t> times;
  std::vector<std::string> damage;
  uint64_t timeOf(const std::wstring& message) const {
    for (size_t i = 0; i < lines.size(); ++i)
      if (lines[i].message == message) return times[i];
    return 0;
  }
  bool has(const std::wstring& message) const { return timeOf(message) != 0; }
};

LogFacts readNewestLog(const std::wstring& program, const RunOptions& options) {
  LogFacts log;
  std::vector<std::wstring> names = listFolder(program + L"logs");
  if (names.empty()) return log;
  std::string bytes = readFile(program + L"logs\\" + names.back());
  log.exists = true;
  log.size = bytes.size();
  std::string header = "\xEF\xBB\xBF" + encodeLogText(formatSettingsHeader(options) + L"\n" +
                                                      std::wstring(100, L'*') + L"\n\n");
  if (bytes.compare(0, header.size(), header, 0, std::min(header.size(), bytes.size())) != 0)
    log.damage.push_back("a damaged header");
  if (bytes.size() < header.size() || !log.damage.empty()) return log;
  log.header = true;
  static const std::wregex line(
      L"([ 0-9]{4})年([ 0-9]{2})月([ 0-9]{2})日([ 0-9]{2})時([ 0-9]{2})分([ 0-9]{2})秒"
      L"([ 0-9]{3})ミリ秒【(エラー|確認|コピー|移動)】(.+)");
  for (size_t at = header.size(), end; at < bytes.size(); at = end + 2) {
    end = bytes.find("\r\n", at);
    if (end == std::string::npos) {
      log.damage.push_back("a last line without CR LF: " + bytes.substr(at, 100));
      break;
    }
    std::wstring text = fromUtf8(bytes.substr(at, end - at));
    std::wsmatch m;
    if (!std::regex_match(text, m, line)) {
      log.damage.push_back("a malformed line: " + toUtf8(text.substr(0, 100)));
      continue;
    }
    SYSTEMTIME s = {};
    WORD* fields[] = {&s.wYear,   &s.wMonth,  &s.wDay,         &s.wHour,
                      &s.wMinute, &s.wSecond, &s.wMilliseconds};
    for (int i = 0; i < 7; ++i) *fields[i] = static_cast<WORD>(std::stoul(m.str(i + 1)));
    FILETIME t = {};
    SystemTimeToFileTime(&s, &t);
    log.lines.push_back({m.str(8), m.str(9)});
    log.times.push_back(toTicks(t));
  }
  return log;
}

// One child run, killed `killAfter` seconds after its run began (< 0: not).
struct ChildRun {
  bool started = false, endedByItself = false;
  uint64_t killUtc = 0, killLocal = 0, markerUtc = 0;
  double lived = -1;  // seconds from the start of the run to the kill
};

// Starts a child process that runs case `c` once; its output goes to
// "child-output.txt" in the case's folder.
KernelHandle startChild(const Case& c) {
  wchar_t exe[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(exe) + L"\" --gtest_filter=KilledRuns.Child";
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  FileHandle output(CreateFileW((c.folder + L"\\child-output.txt").c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = output.get();
  PROCESS_INFORMATION process = {};
  std::wstring name = std::to_wstring(c.seed) + L"|" + std::to_wstring(c.index) + L"|" + c.other +
                      L"|" + c.folder + L"|" + (c.companion ? c.destination : L"");
  SetEnvironmentVariableW(kChildVariable, name.c_str());
  bool started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                nullptr, nullptr, &startup, &process) != FALSE;
  SetEnvironmentVariableW(kChildVariable, nullptr);
  if (!started) return KernelHandle();
  CloseHandle(process.hThread);
  return KernelHandle(process.hProcess);
}

ChildRun runChild(const Case& c, double killAfter) {
  ChildRun r;
  KernelHandle child = startChild(c);
  r.started = static_cast<bool>(child);
  if (!r.started) return r;
  // The delay counts from the start of the run, not of the process, whose
  // start-up time varies a lot under Wine.
  std::wstring marker = c.folder + L"\\started";
  DWORD wait = INFINITE;
  if (killAfter >= 0) {
    for (int i = 0; i < 6000 && !fileExists(marker); ++i)
      if (WaitForSingleObject(child.get(), 5) == WAIT_OBJECT_0) break;
    wait = static_cast<DWORD>(killAfter * 1000);
  }
  r.endedByItself = WaitForSingleObject(child.get(), wait) == WAIT_OBJECT_0;
  r.killUtc = utcNow();
  r.killLocal = localNow();
  if (!r.endedByItself) TerminateProcess(child.get(), 9);
  WaitForSingleObject(child.get(), INFINITE);
  if (fileExists(marker)) {
    r.markerUtc = fileTimes(marker).written;
    r.lived = seconds(static_cast<int64_t>(r.killUtc - r.markerUtc));
  }
  return r;
}

// Sizes of the files of `root` under real names (outside temporaries).
std::map<std::wstring, uint64_t> realFiles(const std::wstring& root) {
  std::map<std::wstring, uint64_t> out;
  for (const std::wstring& rel : listTree(root)) {
    bool temporary = false;
    for (size_t at = 0, end; at <= rel.size(); at = end + 1) {
      end = std::min(rel.find(L'\\', at), rel.size());
      temporary = temporary || isTemporaryName(rel.substr(at, end - at));
    }
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!temporary &&
        GetFileAttributesExW((root + L"\\" + rel).c_str(), GetFileExInfoStandard, &data))
      out[rel] = uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
  }
  return out;
}

// How the destination differs from what an uncut run leaves ("" if not).
std::string differences(const Case& c) {
  std::map<std::wstring, uint64_t> files = realFiles(c.destination);
  std::string out;
  for (const auto& [rel, f] : c.expected)
    if (!files.count(rel) || !f.wholeAt(c.destination + L"\\" + rel))
      out += " " + toUtf8(rel) + (files.count(rel) ? " is not whole;" : " is missing;");
  for (const auto& [rel, size] : files)
    if (!c.expected.count(rel)) out += " unexpected " + toUtf8(rel) + ";";
  return out.substr(0, 300);
}

std::wstring lockedLine(const Case& c) {
  return formatText(texts::kErrOpenForRead, (c.source(1) + L"\\" + c.locked.rel).c_str());
}

// Durations of an uncut child run of one kind of case.
struct Timing {
  double open = 0, scan = 0, work = 0;  // open: from the run's start to its log
  uint64_t bytes = 1;
};

// An uncut child run of case `index`, whose result must be what the case
// plans; else the checks of the kills mean nothing.
Timing measureUncut(uint64_t seed, int index, const std::wstring& other) {
  TempFolder folder;
  Case c = makeCase(seed, index, folder.path(), other);
  Cleanup cleanup{c.crossVolume ? c.destination : L""};
  writeCase(c);
  Timing t;
  t.bytes = c.bytes;
  {
    LockedFile lock(c.source(1) + L"\\" + c.locked.rel);
    ChildRun r = runChild(c, -1);
    LogFacts log = readNewestLog(c.program(), c.options());
    EXPECT_TRUE(r.started && r.markerUtc) << "the child process did not run";
    EXPECT_TRUE(log.has(texts::kRunFinished) && log.damage.empty())
        << "an uncut log is not whole; the child wrote:\n"
        << readFile(c.folder + L"\\child-output.txt");
    EXPECT_TRUE(log.has(lockedLine(c))) << "an uncut run wrote no error line for the locked file";
    EXPECT_EQ(differences(c), "") << "an uncut run of case " << index;
    FILETIME marker = toFileTime(r.markerUtc), markerLocal;
    FileTimeToLocalFileTime(&marker, &markerLocal);
    t.open = seconds(static_cast<int64_t>(log.timeOf(texts::kRunStarted) - toTicks(markerLocal)));
    t.scan = seconds(
        static_cast<int64_t>(log.timeOf(c.move ? texts::kMoveStarted : texts::kCopyStarted) -
                             log.timeOf(texts::kRunStarted)));
    t.work = std::max(0.0, r.lived - t.open - t.scan);
    const char* kind = c.crossVolume ? "move across volumes" : c.move ? "move" : "copy";
    std::printf("uncut %s: log open %.2f s, scan %.2f s, transfer %.2f s, %.0f MB\n", kind, t.open,
                t.scan, t.work, c.bytes / 1048576.0);
  }
  return t;
}

uint64_t envNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

// Whether the transfer's walk reaches the file `a` before `b` (relative
// paths of ASCII names): folder by folder, a folder's files by name, then
// its subfolders by name.
bool walksBefore(const std::wstring& a, const std::wstring& b) {
  size_t at = 0;
  for (;;) {
    size_t endA = a.find(L'\\', at), endB = b.find(L'\\', at);
    bool fileA = endA == std::wstring::npos, fileB = endB == std::wstring::npos;
    if (fileA != fileB) return fileA;  // a folder's files come before its subfolders
    std::wstring nameA = a.substr(at, endA - at), nameB = b.substr(at, endB - at);
    for (std::wstring* name : {&nameA, &nameB})
      for (wchar_t& ch : *name) ch = static_cast<wchar_t>(towlower(ch));
    if (nameA != nameB || fileA) return nameA < nameB;
    at = endA + 1;
  }
}

const char* const kProperties[][2] = {
    {"a", "a file under its real name in the destination is not whole"},
    {"b-left", "temporaries stay in the destination after the next run"},
    {"b-gathered", "a run with the killed destination as a source gathered temporaries"},
    {"c", "a file of a move is whole neither in its source nor at its target"},
    {"d-log", "the log lacks its header or start line 1.5 s after the run opened it"},
    {"d-lines", "the log holds a damaged or incomplete line"},
    {"d-error", "the locked file's error line is missing once the transfer has begun"},
    {"d-fresh", "the newest log line is more than 1.5 s old at the kill"},
    {"d-targets", "a copy or move line names a target that is not whole"},
    {"d-placed", "more files placed whose turn in the log had come lack their line than workers"},
    {"companion", "a run beside the killed one, into the same destination, was disturbed"},
    {"rerun", "after a normal run the destination differs from an uncut run's"},
};

}  // namespace

// The child: one run of the case the parent names.
TEST(KilledRuns, Child) {
  wchar_t buffer[1024];
  DWORD n = GetEnvironmentVariableW(kChildVariable, buffer, 1024);
  if (n == 0 || n >= 1024) GTEST_SKIP() << "only the kill test starts this, as a child process";
  // "<seed>|<case index>|<other volume>|<case folder>|<a companion's destination>"
  std::vector<std::wstring> parts;
  std::wstring text(buffer, n);
  for (size_t at = 0, end; at <= text.size(); at = end + 1)
    parts.push_back(text.substr(at, (end = std::min(text.find(L'|', at), text.size())) - at));
  ASSERT_EQ(parts.size(), 5u);
  Case c = makeCase(std::stoull(parts[0]), std::stoi(parts[1]), parts[3], parts[2], parts[4]);
  std::atomic<bool> done{false};
  int slowdown = static_cast<int>(envNumber("OSTRELLE_KILL_SLOWDOWN", 30));
  std::thread slow(throttle, slowdown, std::cref(done));
  writeFile(c.folder + L"\\started", "");
  runInProcess(c.program(), c.options());
  done = true;
  slow.join();
}

TEST(KilledRuns, LeaveWholeFilesNoTemporariesAndTheirLog) {
  const uint64_t seed = envNumber("OSTRELLE_SEED", 20261207);
  const int kills = static_cast<int>(envNumber("OSTRELLE_KILLS", 14));
  std::wstring other = folderFromEnvironment("OSTRELLE_OTHER_VOLUME");
  if (!other.empty() && freeBytes(other) < 200 * 1024 * 1024) {
    std::printf("moves stay on one volume: %s has less than 200 MB free\n", toUtf8(other).c_str());
    other.clear();
  }
  auto began = std::chrono::steady_clock::now();
  std::map<int, Timing> timings;               // 0 copy, 1 move, 2 move across volumes
  std::map<std::string, int> count;            // kills that broke each property
  std::map<std::string, std::string> example;  // the first such kill
  int kinds[3] = {}, phases[4] = {}, leftTemporaries = 0;
  const char* phaseNames[] = {"start", "scan", "transfer", "end"};
  for (int k = 0; k < kills; ++k) {
    TempFolder folder;
    Case c = makeCase(seed, k, folder.path(), other);
    Cleanup cleanup{c.crossVolume ? c.destination : L""};
    int kind = c.crossVolume ? 2 : c.move ? 1 : 0;
    if (!timings.count(kind)) timings[kind] = measureUncut(seed, k, other);
    const Timing& t = timings[kind];
    writeCase(c);
    // Two kills in three land in the transfer, the others anywhere in the
    // run, counted from its start.
    std::mt19937_64 rng(seed ^ (k * 0x9E3779B97F4A7C15ULL));
    double span = t.open + t.scan + t.work * c.bytes / t.bytes;
    double from = k % 3 == 0 ? 0 : t.open + t.scan;
    double delay = from + (rng() % 10001) / 10000.0 * (span - from);
    // Every other copy case has a companion: another run into the same
    // destination, of names of its own, that is not killed and must finish
    // as if it were alone.
    const bool withCompanion = !c.move && k % 4 == 2;
    TempFolder companionFolder;
    Case companion;
    if (withCompanion) {
      companion = makeCase(seed, k, companionFolder.path(), other, c.destination);
      writeCase(companion);
    }
    const std::map<std::wstring, FileCopy> ownWinners = c.winners;
    LockedFile lock(c.source(1) + L"\\" + c.locked.rel);
    ASSERT_TRUE(lock.locked());
    LockedFile companionLock(companion.source(1) + L"\\" + companion.locked.rel);
    KernelHandle companionRun;
    if (withCompanion) companionRun = startChild(companion);
    ChildRun r = runChild(c, delay);
    ASSERT_TRUE(r.started) << "the child process could not be started";
    std::map<std::string, std::string> problems;
    if (withCompanion) {
      bool ended = companionRun && WaitForSingleObject(companionRun.get(), 300000) == WAIT_OBJECT_0;
      if (companionRun && !ended) TerminateProcess(companionRun.get(), 9);
      LogFacts companionLog = readNewestLog(companion.program(), companion.options());
      std::string trouble = ended ? "" : "it did not end";
      if (ended && (!companionLog.has(texts::kRunFinished) || !companionLog.damage.empty()))
        trouble = "its log is not whole";
      for (const LogLine& l : companionLog.lines)
        if (l.category == texts::kCategoryError && l.message != lockedLine(companion))
          trouble = toUtf8(l.message);
      for (const auto& [rel, w] : companion.winners)
        if (!w.wholeAt(c.destination + L"\\" + rel)) trouble = toUtf8(rel) + " is not whole";
      if (!trouble.empty()) problems["companion"] = trouble;
      // From here on its files are the case's own.
      c.winners.insert(companion.winners.begin(), companion.winners.end());
      c.expected.insert(companion.expected.begin(), companion.expected.end());
      c.oldTargets.insert(companion.oldTargets.begin(), companion.oldTargets.end());
    }
    std::map<std::wstring, uint64_t> files = realFiles(c.destination);
    std::vector<std::wstring> temporaries = temporariesUnder(c.destination);
    LogFacts log = readNewestLog(c.program(), c.options());
    auto whole = [&](const std::wstring& rel, const FileCopy& f) {
      return files.count(rel) && files[rel] == f.size && f.wholeAt(c.destination + L"\\" + rel);
    };

    // (a), and where the kill hit: before the run, in the scan (nothing
    // changed yet), in the transfer, or after it (everything in place).
    bool winnerSeen = false, changed = !temporaries.empty(), complete = true;
    for (const auto& [rel, size] : files) {
      bool isOld = c.oldTargets.count(rel) && whole(rel, c.oldTargets[rel]);
      bool isWinner = !isOld && c.winners.count(rel) && whole(rel, c.winners[rel]);
      // The companion's files tell nothing of where this run was killed.
      bool companions =
          withCompanion && (companion.winners.count(rel) || companion.oldTargets.count(rel));
      winnerSeen = winnerSeen || (isWinner && !companions);
      changed = changed || (!isOld && !companions);
      if (!isOld && !isWinner) problems["a"] = toUtf8(rel) + ": " + std::to_string(size) + " bytes";
    }
    for (const auto& [rel, f] : c.expected) complete = complete && whole(rel, f);
    int phase = r.endedByItself || complete ? 3 : !r.markerUtc ? 0 : changed ? 2 : 1;

    // (c); the locked file cannot have moved.
    for (const FileCopy& f : c.move ? c.copies : std::vector<FileCopy>()) {
      std::wstring path = c.source(f.source) + L"\\" + f.rel;
      if (!f.wholeAt(path) && !(c.winners[f.rel].id == f.id && whole(f.rel, f)))
        problems["c"] = toUtf8(path) + " is lost";
    }

    // (d)
    if (r.lived > t.open + 1.5 && (!log.header || !log.has(texts::kRunStarted)))
      problems["d-log"] = log.exists ? std::to_string(log.size) + " bytes" : "no log file";
    if (!log.damage.empty()) problems["d-lines"] = log.damage.front();
    if (winnerSeen && !log.has(lockedLine(c)))
      problems["d-error"] = "winners in the destination, no error line";
    if (c.logTransfers && !r.endedByItself && r.markerUtc && !log.has(texts::kRunFinished)) {
      uint64_t start = log.timeOf(c.move ? texts::kMoveStarted : texts::kCopyStarted);
      double transferring =
          start ? seconds(int64_t(r.killLocal - start)) : r.lived - t.open - t.scan;
      uint64_t newest = log.times.empty() ? 0 : *max_element(log.times.begin(), log.times.end());
      double age = newest ? seconds(int64_t(r.killLocal - newest)) : r.lived;
      if (transferring > 2 && age > 1.5)
        problems["d-fresh"] = toUtf8(
            formatText(L"newest line %.1f s old, transfer running %.1f s", age, transferring));
    }
    std::set<std::wstring> lined;  // files of the transfer with a line: transferred or failed
    for (const LogLine& l : log.lines) {
      if (l.category == texts::kCategoryError) {
        for (int s = 0; s < 3; ++s) {
          std::wstring source = c.source(s) + L"\\";
          size_t at = l.message.find(source);
          if (at != std::wstring::npos) lined.insert(l.message.substr(at + source.size()));
        }
      }
      if (l.category != texts::kCategoryCopied && l.category != texts::kCategoryMoved) continue;
      size_t from = l.message.find(L"」から「"), to = l.message.rfind(L"」へ");
      std::wstring target = from < to && to != std::wstring::npos
                                ? l.message.substr(from + 4, to - from - 4)
                                : std::wstring();
      std::wstring rel = target.substr(std::min(target.size(), c.destination.size() + 1));
      if (target.compare(0, c.destination.size() + 1, c.destination + L"\\") != 0 ||
          !c.winners.count(rel) || !whole(rel, c.winners[rel]))
        problems["d-targets"] = toUtf8(target) + " is not whole";
      lined.insert(rel);
    }
    // Every file placed has its line once its turn in the log's order has
    // come (each file before it in the walk has ended: placed or failed),
    // but for those between placing and writing, at most one per worker.
    if (c.logTransfers && !r.endedByItself) {
      std::vector<std::wstring> order;
      for (const auto& [rel, w] : ownWinners) order.push_back(rel);
      std::sort(order.begin(), order.end(), walksBefore);
      size_t unlogged = 0;
      std::wstring first;
      for (const std::wstring& rel : order) {
        bool placed = whole(rel, ownWinners.at(rel));
        if (!placed && !lined.count(rel)) break;  // not ended: the lines after it wait
        if (placed && !lined.count(rel) && unlogged++ == 0) first = rel;
      }
      if (unlogged > workersFor(c.options()))
        problems["d-placed"] = std::to_string(unlogged) + " files from " + toUtf8(first);
    }

    // (b): a run that scans the killed destination.  A newer one-byte file
    // for every known name beside it keeps that run cheap; only names the
    // case does not know (temporaries) are really copied.
    std::wstring shadow = folder / L"shadow", seen = folder / L"seen";
    for (const auto& [rel, w] : c.winners) writeFile(shadow + L"\\" + rel, "s", ticksAt(9000000));
    RunOptions scan;
    scan.sources = {c.destination, shadow};
    scan.destination = seen;
    scan.includeSubfolders = true;
    scan.criterion = TimeCriterion::Modified;
    scan.keepTimeStamps = false;
    runInProcess(c.program(), scan);
    std::vector<std::wstring> gathered = temporariesUnder(seen);
    if (!gathered.empty()) problems["b-gathered"] = toUtf8(gathered.front());

    // A normal run with the same options finishes the job and clears up.
    runInProcess(c.program(), c.options());
    std::vector<std::wstring> left = temporariesUnder(c.destination);
    if (!left.empty()) problems["b-left"] = toUtf8(left.front());
    std::string rerun = differences(c);
    if (!rerun.empty()) problems["rerun"] = rerun;

    ++kinds[kind];
    ++phases[phase];
    leftTemporaries += !temporaries.empty();
    std::string list;
    for (const auto& [property, what] : problems) {
      if (count[property]++ == 0) example[property] = "kill " + std::to_string(k) + ": " + what;
      list += " " + property;
    }
    std::printf(
        "kill %2d %-6s after %4.2f s (run %5.2f s), hit %-8s log %5zu bytes, %zu temporaries;"
        "%s\n",
        k,
        kind == 2 ? "across"
        : c.move  ? "move"
                  : "copy",
        delay, r.lived, r.endedByItself ? "no (done)" : phaseNames[phase], log.size,
        temporaries.size(), list.empty() ? " fine" : list.c_str());
  }
  std::string counts;
  for (const auto& property : kProperties)
    counts += std::string(" ") + property[0] + " " + std::to_string(count[property[0]]);
  std::printf(
      "killed runs: seed %llu, %d kills (%d copy, %d move, %d move across volumes), hit %d start, "
      "%d scan, %d transfer, %d end; %d left temporaries; violations:%s; %.0f s\n",
      static_cast<unsigned long long>(seed), kills, kinds[0], kinds[1], kinds[2], phases[0],
      phases[1], phases[2], phases[3], leftTemporaries, counts.c_str(),
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
  for (const auto& property : kProperties)
    EXPECT_EQ(count[property[0]], 0)
        << "(" << property[0] << ") " << property[1] << ": after " << count[property[0]] << " of "
        << kills << " kills; first " << example[property[0]];
}
