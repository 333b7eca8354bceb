#pragma once

#include <string>

namespace ovan {

// Reads a manifest as the launcher would and reports what it finds; 0 only when the launcher
// would accept it and could install what it lists. installedVersion may be empty.
int checkManifest(const std::wstring& manifestPath, const std::wstring& installedVersion);

}  // namespace ovan
