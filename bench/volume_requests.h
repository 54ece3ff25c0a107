#pragma once
// The requests the slow volume (bench/slowfs) delays, counted by kind.  The
// mount serves its counts as an unlisted file at its root; a run's requests
// are the difference of two readings.

#include <string>

constexpr size_t kRequestKindCount = 7;  // open, create, write, release, rename, mkdir, utimens

struct Requests {
  bool known = false;
  double count[kRequestKindCount] = {};
};

// What the volume's counter file says now ("" or unreadable: unknown).
Requests readRequests(const std::wstring& counterFile);
Requests requestsBetween(const Requests& before, const Requests& after);
// One line: the counts by kind, their total and the total per destination
// file.  Prints nothing when the counts are unknown.
void printRequests(const char* who, const Requests& requests, double files);
