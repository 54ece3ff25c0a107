#pragma once
// The program's arguments, as Explorer (folders dropped on the icon, "送る")
// and the Task Scheduler give them: folders for the source list,
// "/dest:<folder>", "/run" and "/preview".  Switches begin with "/" or "-"
// and are read without regard to letter case; every other argument is a
// source folder.

#include <string>
#include <vector>

enum class StartAction { None, Run, Preview };

struct CommandLine {
  std::vector<std::wstring> sources;  // in the order given
  bool hasDestination = false;
  std::wstring destination;  // "/dest:<folder>", when hasDestination
  StartAction action = StartAction::None;
  // An unknown switch, "/dest" without a folder (or given twice), or "/run"
  // with "/preview".  A bad command line holds no folders and no
  // destination; `badArgument` is the first argument that made it bad.
  bool bad = false;
  std::wstring badArgument;

  // Started with "/run" or "/preview" (also when the line is bad): nobody
  // is there to answer a message box.
  bool unattended() const { return action != StartAction::None; }
};

// The arguments after the program's name, split as CommandLineToArgvW
// splits them (quotes, spaces and backslashes as Windows reads them).
std::vector<std::wstring> splitCommandLine(const wchar_t* commandLine);
CommandLine parseArguments(const std::vector<std::wstring>& arguments);
// Both, on a whole command line such as GetCommandLineW gives.
CommandLine parseCommandLine(const wchar_t* commandLine);

// The usage message for a bad command line.
std::wstring usageMessage(const CommandLine& commandLine);
