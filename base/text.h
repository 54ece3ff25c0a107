#pragma once
// Text helpers shared by every part: UTF-8 <-> UTF-16, the program's name
// order, and printf-style formatting into std::wstring.

#include <cstdint>
#include <string>
#include <string_view>

// UTF-16 -> UTF-8 (unpaired surrogates become U+FFFD) and back.
std::string toUtf8(std::wstring_view text);
std::wstring fromUtf8(std::string_view text);

// The name order of folder names, file names and source paths: each unit in
// 'A'..'Z' maps to 'a'..'z', everything else compares as an unsigned 16-bit
// number; a prefix sorts first.  Returns <0, 0 or >0.
int compareNames(std::wstring_view a, std::wstring_view b);
inline bool sameName(std::wstring_view a, std::wstring_view b) { return compareNames(a, b) == 0; }

// swprintf into a std::wstring of whatever length the result needs.
std::wstring formatText(const wchar_t* format, ...);
