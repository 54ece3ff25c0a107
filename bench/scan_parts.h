#pragma once
// What the scan's time is made of, on the same sources: the folder reads
// alone (a FindFirstFileW / FindNextFileW walk of every source), the same
// walk with the scan's open and close of each file, and the engine's own
// scan with one worker (scanSources, which ends with finishScan).  The
// differences give the opens, and the merge with everything else the scan
// does.  Alternating rounds; medians printed.

#include <cstdint>
#include <string>
#include <vector>

#include "bench/data_set.h"

void printScanParts(const std::vector<std::wstring>& sources, const DataSetPlan& plan,
                    uint32_t rounds);
