#pragma once
// The merge at scale: one node (ignore hierarchy) filled with synthetic
// names through the engine's addFileCopy and finishScan, as a scan of three
// sources would fill it, timed per name and measured in bytes per entry.

#include <cstdint>
#include <string>

struct ScaleRequest {
  uint32_t names = 1000000;
  double sharedShare = 0.5;  // share of names met in two or three sources
  uint32_t seed = 1;
  uint32_t repeats = 1;
  bool randomOrder = false;  // names of a folder in made order, not name order
};

int runScaleChild(const ScaleRequest& request, const std::wstring& resultPath);
std::wstring scaleChildCommand(const ScaleRequest& request, const std::wstring& resultPath);
