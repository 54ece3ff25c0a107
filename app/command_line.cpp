#include "app/command_line.h"

// clang-format off
#include <windows.h>
#include <shellapi.h>  // needs windows.h first
// clang-format on

#include <string_view>

#include "base/text.h"
#include "base/texts.h"

namespace {

// ASCII letters only, as every other name comparison of the program.
bool startsWithName(std::wstring_view text, std::wstring_view name) {
  return text.size() >= name.size() && sameName(text.substr(0, name.size()), name);
}

void markBad(CommandLine& line, const std::wstring& argument) {
  if (!line.bad) line.badArgument = argument;
  line.bad = true;
}

// Returns false for a switch it does not know.
bool readSwitch(CommandLine& line, const std::wstring& argument) {
  std::wstring_view name = std::wstring_view(argument).substr(1);
  if (sameName(name, L"run") || sameName(name, L"preview")) {
    StartAction action = sameName(name, L"run") ? StartAction::Run : StartAction::Preview;
    if (line.action != StartAction::None && line.action != action) markBad(line, argument);
    if (line.action == StartAction::None) line.action = action;
    return true;
  }
  if (startsWithName(name, L"dest:")) {
    std::wstring folder(name.substr(5));
    if (folder.empty() || line.hasDestination) markBad(line, argument);
    line.hasDestination = true;
    line.destination = folder;
    return true;
  }
  return false;
}

}  // namespace

std::vector<std::wstring> splitCommandLine(const wchar_t* commandLine) {
  std::vector<std::wstring> arguments;
  if (!commandLine) return arguments;
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(commandLine, &count);
  if (!argv) return arguments;
  for (int i = 1; i < count; ++i) arguments.emplace_back(argv[i]);
  LocalFree(argv);
  return arguments;
}

CommandLine parseArguments(const std::vector<std::wstring>& arguments) {
  CommandLine line;
  for (const std::wstring& argument : arguments) {
    // An empty argument ("") names nothing; a drop never holds one.
    if (argument.empty()) continue;
    if (argument[0] == L'/' || argument[0] == L'-') {
      if (!readSwitch(line, argument)) markBad(line, argument);
    } else {
      line.sources.push_back(argument);
    }
  }
  if (line.bad) {
    line.sources.clear();
    line.hasDestination = false;
    line.destination.clear();
  }
  return line;
}

CommandLine parseCommandLine(const wchar_t* commandLine) {
  return parseArguments(splitCommandLine(commandLine));
}

std::wstring usageMessage(const CommandLine& commandLine) {
  return formatText(texts::kBadArgument, commandLine.badArgument.c_str()) + texts::kUsage;
}
