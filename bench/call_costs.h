#pragma once
// What single file-system calls cost on this machine: the pieces that the
// scan, the transfer and xcopy are made of, timed on small files of their
// own, interleaved so that a change of load hits them all alike.

#include <string>

// Prints the table; `scratch` is a folder it may fill and remove.
void printCallCosts(const std::wstring& scratch, const std::wstring& largeFolder);
