#pragma once
// Gathering again: the hierarchy data set gathered into a fresh destination,
// then again with nothing changed, then again after newer copies of a tenth
// of the winners were written into the sources, by the engine (the box
// "出力先と同じファイルはコピーしない" checked) and by the xcopy sequence,
// each into a destination of its own.  Then a look at what the scan's time
// is made of.

#include "bench/bench_settings.h"

void runAgainPart(const Settings& settings);
