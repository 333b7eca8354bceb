#pragma once

#include <functional>

namespace ovan {

// Virus scanners, indexers and sync tools hold a fresh file for a moment. An attempt that fails (false, with
// its reason in GetLastError) for sharing, a lock or access is tried again after pauses of 20, 40, 80, 160 and
// then 250 ms, for up to 2 s in all; any other failure ends it at once. code holds the reason of the last try
// when false.
bool waitOutBriefHold(const std::function<bool()>& attempt, unsigned long& code);

}  // namespace ovan
