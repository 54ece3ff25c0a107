#include "bench/xcopy_sequence.h"

#include <windows.h>

#include <cctype>
#include <string>

#include "bench/measure.h"
#include "engine/handles.h"
#include "engine/text.h"

namespace {

// The count in xcopy's closing line ("N File(s) copied"), or -1.
long long copiedCount(const std::wstring& outputPath) {
  FileHandle file(CreateFileW(outputPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return -1;
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
    text.append(buffer, got);
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
