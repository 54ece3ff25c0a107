#include "bench/measure.h"

#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "base/handles.h"
#include "base/text.h"

bool readWholeFile(const std::wstring& path, std::string& text) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  text.clear();
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
    text.append(buffer, got);
  return true;
}

double nowSeconds() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / frequency;
}

double threadCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  auto ticks = [](FILETIME t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

MemoryCounters readMemoryCounters() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  MemoryCounters out;
  if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    out.workingSet = counters.WorkingSetSize;
    out.peakWorkingSet = counters.PeakWorkingSetSize;
    out.privateBytes = counters.PagefileUsage;
  }
  return out;
}

namespace {

// Dirty plus Writeback of /proc/meminfo in kB, or -1 when not readable.
long long pendingWriteKb() {
  std::string text;
  if (!readWholeFile(L"Z:\\proc\\meminfo", text)) return -1;
  long long total = -1;
  for (const char* key : {"\nDirty:", "\nWriteback:"}) {
    size_t at = text.find(key);
    if (at == std::string::npos) return -1;
    total = (total < 0 ? 0 : total) + std::strtoll(text.c_str() + at + strlen(key), nullptr, 10);
  }
  return total;
}

}  // namespace

double waitForWriteback(double limitSeconds) {
  double start = nowSeconds();
  while (nowSeconds() - start < limitSeconds) {
    long long pending = pendingWriteKb();
    if (pending < 32 * 1024) break;  // not readable, or little left
    Sleep(250);
  }
  return nowSeconds() - start;
}

std::wstring selfPath() {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring quoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
    } else if (c == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
      backslashes = 0;
    } else {
      out.append(backslashes, L'\\');
      backslashes = 0;
    }
    if (c != L'\\') out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

ChildResult runProcess(const std::wstring& commandLine, const std::wstring& outputFile) {
  ChildResult result;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  FileHandle output(CreateFileW(outputFile.empty() ? L"NUL" : outputFile.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  FileHandle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.get();
  startup.hStdOutput = output.get();
  startup.hStdError = output.get();
  PROCESS_INFORMATION process{};
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(L'\0');
  double start = nowSeconds();
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process))
    return result;
  KernelHandle processHandle(process.hProcess), threadHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  result.seconds = nowSeconds() - start;
  result.started = true;
  GetExitCodeProcess(process.hProcess, &result.exitCode);
  return result;
}

void ResultFile::set(const std::string& key, double value) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%.17g", value);
  set(key, std::string(buffer));
}

void ResultFile::set(const std::string& key, const std::string& value) {
  for (auto& kv : values_) {
    if (kv.first == key) {
      kv.second = value;
      return;
    }
  }
  values_.emplace_back(key, value);
}

bool ResultFile::save(const std::wstring& path) const {
  std::string bytes;
  for (const auto& kv : values_) bytes += kv.first + " " + kv.second + "\n";
  FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool ResultFile::load(const std::wstring& path) {
  values_.clear();
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
    bytes.append(buffer, got);
  std::istringstream lines(bytes);
  std::string line;
  while (std::getline(lines, line)) {
    size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    values_.emplace_back(line.substr(0, space), line.substr(space + 1));
  }
  return true;
}

double ResultFile::number(const std::string& key, double fallback) const {
  for (const auto& kv : values_)
    if (kv.first == key) return std::strtod(kv.second.c_str(), nullptr);
  return fallback;
}

std::string ResultFile::text(const std::string& key) const {
  for (const auto& kv : values_)
    if (kv.first == key) return kv.second;
  return {};
}
