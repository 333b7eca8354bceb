#pragma once

#include "common/paths.h"
#include "manifest/update_manifest.h"
#include "transfer/http_get.h"

#include <string>

namespace ovan {

struct StageOptions {
    // The staged file reaches the disk before it is relied on.
    bool durable = true;
    // A broken transfer is continued (see downloadEntry).
    bool resume = false;
    // Fetched through the entry's compressed copy where the manifest names one (see downloadCompressed).
    bool compressed = false;
    // Fetched as a patch where the manifest has one from the installed file (see downloadPatched), falling
    // back to the other ways when the patch cannot be used.
    bool deltas = false;
};

// Downloads one entry to stagingPath and verifies it against the manifest's digest.
bool stageFile(HttpSession& session, const ManifestFileEntry& entry, const std::wstring& stagingPath,
               const AppFolder& appFolder, std::wstring& errorText, const StageOptions& options = StageOptions());

}  // namespace ovan
