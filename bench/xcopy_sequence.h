#pragma once
// The way to gather the newest copies without Ostrelle: copy each source in
// turn into the destination with "copy only newer".

#include <string>
#include <vector>

struct XcopySequenceResult {
  bool ok = true;      // every xcopy started and ended with exit code 0
  double seconds = 0;  // the whole sequence, process starts included
  std::vector<double> perSource;
  long long filesCopied = 0;  // as the xcopy processes reported it
  std::wstring problem;
};

// Runs "xcopy SRC DST /S /E /D /Y /I /Q" for every source in order.
// `scratch` is a folder for the processes' output.
XcopySequenceResult runXcopySequence(const std::vector<std::wstring>& sources,
                                     const std::wstring& destination, const std::wstring& scratch);
