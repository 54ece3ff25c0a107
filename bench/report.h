#pragma once
// Pieces of the printed report shared by the parts, and the record of the
// checks that failed: the program ends with a non-zero exit code when any
// did.

#include <string>
#include <vector>

std::string utf8(const std::wstring& text);
// 1234567 -> "1,234,567"
std::string grouped(double value);
double median(std::vector<double> values);
// "automatic" for 0, else the count.
std::string workersLabel(unsigned workers);
// Lines of a comparison, indented under the line that names it.
void printDifferences(const std::vector<std::wstring>& lines);

// Prints "CHECK FAILED: <what>" into the report and counts it.
void checkFailed(const std::string& what);
// The number of checks failed so far.
int failedChecks();
