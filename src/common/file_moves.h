#pragma once

#include <string>

namespace ovan {

// MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH. Virus scanners, indexers and sync
// tools hold a fresh file for a moment, so a move refused for sharing, a lock or access is tried again
// after short pauses, for up to 2 s in all; code holds the reason of the last try when false.
bool moveReplacing(const std::wstring& from, const std::wstring& to, unsigned long& code);

}  // namespace ovan
