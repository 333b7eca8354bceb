#pragma once

#include "common/paths.h"
#include "manifest/update_manifest.h"
#include "transfer/http_get.h"

#include <string>

namespace ovan {

// Whether an entry can come through its compressed copy: the manifest names one and the file's size,
// which the inflated bytes are held to.
bool usesCompressedCopy(const ManifestFileEntry& entry);

// The compressed copy as a download of its own: its address and length, and the file's name and digest, so
// that a note left for it names the file it becomes.
ManifestFileEntry compressedCopyOf(const ManifestFileEntry& entry);

// Where a resumable download keeps the copy: beside the staging files, under a name that no staging file
// (ending in ".new") or note (ending in ".note") can have.
std::wstring compressedStagingPath(const std::wstring& stagingFolder, const std::wstring& name);

// Fetches an entry through its compressed copy into stagingPath, never past the file's size. Without resume
// the copy is inflated as it arrives and never lies on disk; with resume it is fetched whole beside the
// staging file (continued by range requests like any file, in the run and the next one), then inflated and
// removed. A copy that is not the file fails with its text and leaves no staging file.
bool downloadCompressed(HttpSession& session, const ManifestFileEntry& entry, const std::wstring& stagingPath,
                        const AppFolder& appFolder, bool durable, bool resume, std::wstring& errorText);

}  // namespace ovan
