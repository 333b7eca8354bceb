#pragma once

#include <string>

namespace ovan {

// Removes a file, a link itself, or a folder with everything in it. Nothing is removed that, opened
// without following links, turns out to lie somewhere else than its path says: a link is never
// followed, and where the platform cannot remove a link by itself the link stays. True when nothing
// is left at the path.
bool removeTree(const std::wstring& path);

// The same for a file, a link or an empty folder, never descending; code holds the system's reason when false.
bool removeFile(const std::wstring& path, unsigned long& code);

}  // namespace ovan
