#pragma once

#include "common/paths.h"
#include "manifest/update_manifest.h"
#include "transfer/http_get.h"

#include <string>

namespace ovan {

// The entry's patch whose source is the file installed under its name; null when there is none.
const ManifestDelta* patchForInstalled(const ManifestFileEntry& entry, const AppFolder& appFolder);

// The patch as a download of its own: its address, length and digest under the file's name, so that a note
// left for it names the patch.
ManifestFileEntry patchDownloadOf(const ManifestFileEntry& entry, const ManifestDelta& delta);

// Where the patch is fetched to: beside the staging files, under a name no staging file, note or compressed
// copy can have.
std::wstring patchStagingPath(const std::wstring& stagingFolder, const std::wstring& name);

// Fetches the patch beside the staging file (continued like any file with resume), checks its SHA-256, and
// applies it to the installed file, which is only read, into stagingPath. On failure says why and leaves no
// staging file; the patch is kept only where resume keeps a cut transfer.
bool downloadPatched(HttpSession& session, const ManifestFileEntry& entry, const ManifestDelta& delta,
                     const std::wstring& stagingPath, const AppFolder& appFolder, bool durable, bool resume,
                     std::wstring& errorText);

}  // namespace ovan
