#pragma once

#include <optional>
#include <string>

namespace ovan {

// Reads a manifest as the launcher would and reports what it finds; 0 only when the launcher
// would accept it and could install what it lists. installedVersion may be empty; with publicKeys,
// the signature beside the manifest must be one that a launcher built with those keys accepts.
int checkManifest(const std::wstring& manifestPath, const std::wstring& installedVersion,
                  const std::optional<std::wstring>& publicKeys);

}  // namespace ovan
