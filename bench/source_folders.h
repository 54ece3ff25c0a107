#pragma once
// A data set's source folders on disk: written once and reused by later runs
// while the stamp beside them names the same parameters.  A part that
// changes files in the sources takes the stamp away first and puts it back
// once they are as planned again, so an interrupted run leaves sources that
// the next one rewrites.

#include <string>
#include <vector>

#include "bench/data_set.h"

// Writes the sources under `folder` (s1..sN) unless an earlier run left the
// same ones; prints which.  False when they cannot be written.
bool prepareSources(const DataSetPlan& plan, const std::wstring& folder, bool fresh);
// The source folders below `folder`, in list order.
std::vector<std::wstring> sourceFolders(const DataSetPlan& plan, const std::wstring& folder);
// Prints the plan's counts of copies and names.
void describePlan(const DataSetPlan& plan);

// Around a change of files in the sources: the stamp goes before the first
// file changes and comes back once every file is as `plan` says.
void markSourcesChanging(const std::wstring& folder);
void markSourcesComplete(const DataSetPlan& plan, const std::wstring& folder);
