#include "bench/xcopy_sequence.h"

#include <windows.h>

#include <cctype>
#include <string>

#include "base/handles.h"
#include "base/text.h"
#include "bench/measure.h"

namespace {

// The count in xcopy's closing line ("N File(s) copied"), or -1.
long long copiedCount(const std::wstring& outputPath) {
  std::string text;
  if (!readWholeFile(outputPath, text)) return -1;
  long long count = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) continue;
    count = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
      count = count * 10 + (text[i++] - '0');
  }
  return count;
}

}  // namespace

XcopySequenceResult runXcopySequence(const std::vector<std::wstring>& sources,
                                     const std::wstring& destination, const std::wstring& scratch) {
  XcopySequenceResult result;
  std::wstring output = scratch + L"\\xcopy-output.txt";
  for (const auto& source : sources) {
    std::wstring line = L"xcopy.exe " + quoteArgument(source) + L" " + quoteArgument(destination) +
                        L" /S /E /D /Y /I /Q";
    ChildResult child = runProcess(line, output);
    result.seconds += child.seconds;
    result.perSource.push_back(child.seconds);
    if (!child.started || child.exitCode != 0) {
      result.ok = false;
      result.problem = formatText(L"xcopy of %s: %s %lu", source.c_str(),
                                  child.started ? L"exit code" : L"could not start",
                                  child.started ? child.exitCode : GetLastError());
    }
    long long n = copiedCount(output);
    if (n >= 0) result.filesCopied += n;
  }
  DeleteFileW(output.c_str());
  return result;
}
