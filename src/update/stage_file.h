#pragma once

#include "common/paths.h"
#include "manifest/update_manifest.h"
#include "transfer/http_get.h"

#include <string>

namespace ovan {

// Downloads one entry to stagingPath, flushed to the disk when durable, and verifies it against the
// manifest's digest. With resume, a broken transfer is continued (see downloadEntry).
bool stageFile(HttpSession& session, const ManifestFileEntry& entry, const std::wstring& stagingPath,
               const AppFolder& appFolder, std::wstring& errorText, bool durable = true, bool resume = false);

}  // namespace ovan
