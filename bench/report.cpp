#include "bench/report.h"

#include <algorithm>
#include <cstdio>

#include "base/text.h"

namespace {

int failures = 0;

}  // namespace

std::string utf8(const std::wstring& text) { return toUtf8(text); }

std::string grouped(double value) {
  char digits[32];
  snprintf(digits, sizeof digits, "%.0f", value);
  std::string s = digits, out;
  int n = 0;
  for (size_t i = s.size(); i-- > 0;) {
    out.insert(out.begin(), s[i]);
    if (++n % 3 == 0 && i > 0 && s[i - 1] != '-') out.insert(out.begin(), ',');
  }
  return out;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t middle = v.size() / 2;
  return v.size() % 2 ? v[middle] : (v[middle - 1] + v[middle]) / 2;
}

std::string workersLabel(unsigned workers) {
  return workers == 0 ? "automatic" : std::to_string(workers);
}

void printDifferences(const std::vector<std::wstring>& lines) {
  for (const auto& line : lines) printf("      %s\n", utf8(line).c_str());
}

void checkFailed(const std::string& what) {
  ++failures;
  printf("  CHECK FAILED: %s\n", what.c_str());
  fflush(stdout);
}

int failedChecks() { return failures; }
