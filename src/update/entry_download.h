#pragma once

#include "common/paths.h"
#include "manifest/update_manifest.h"
#include "transfer/http_get.h"

#include <string>

namespace ovan {

// Downloads one entry's body to stagingPath, checked against the manifest's size when it gives one and
// bounded by the free disk space when not. With resume, a transfer that breaks after new bytes arrived
// is continued where it stopped (also one a previous run left with its note), and a failed download
// keeps what arrived for the next run; without it, a failed download leaves nothing.
bool downloadEntry(HttpSession& session, const ManifestFileEntry& entry, const std::wstring& stagingPath,
                   const AppFolder& appFolder, bool durable, bool resume, std::wstring& errorText);

}  // namespace ovan
