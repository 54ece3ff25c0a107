#include "bench/volume_requests.h"

#include <cstdio>

#include "bench/measure.h"
#include "bench/report.h"

namespace {

const char* const kRequestKinds[kRequestKindCount] = {"open",   "create", "write",  "release",
                                                      "rename", "mkdir",  "utimens"};

}  // namespace

Requests readRequests(const std::wstring& counterFile) {
  Requests r;
  ResultFile file;
  if (counterFile.empty() || !file.load(counterFile)) return r;
  r.known = true;
  for (size_t k = 0; k < kRequestKindCount; ++k) r.count[k] = file.number(kRequestKinds[k]);
  return r;
}

Requests requestsBetween(const Requests& before, const Requests& after) {
  Requests r;
  r.known = before.known && after.known;
  for (size_t k = 0; k < kRequestKindCount; ++k) r.count[k] = after.count[k] - before.count[k];
  return r;
}

void printRequests(const char* who, const Requests& r, double files) {
  if (!r.known) return;
  double total = 0;
  std::string line;
  for (size_t k = 0; k < kRequestKindCount; ++k) {
    total += r.count[k];
    line += std::string(k ? ", " : "") + kRequestKinds[k] + " " + grouped(r.count[k]);
  }
  printf("      %-29s %s = %s, %.1f per destination file\n", who, line.c_str(),
         grouped(total).c_str(), files > 0 ? total / files : 0.0);
}
