#pragma once

#include "common/paths.h"
#include "manifest/update_manifest.h"

#include <string>

namespace ovan {

// Downloads one entry to stagingPath and verifies it against the manifest's digest.
bool stageFile(const ManifestFileEntry& entry, const std::wstring& stagingPath, const AppFolder& appFolder,
               std::wstring& errorText);

}  // namespace ovan
