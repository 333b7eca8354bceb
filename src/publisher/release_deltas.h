#pragma once

#include "common/text.h"
#include "manifest/update_manifest.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ovan {

// Where pack keeps a copy of each manifest it writes, so that later packs know the releases before theirs.
std::wstring releaseCopyPath(const std::wstring& outputFolder, const std::wstring& version);

// The releases packed into the output folder before, newest first and at most count of them, leaving out
// the version being packed: the manifest there now and the copies pack kept.
std::vector<UpdateManifest> earlierReleases(const std::wstring& outputFolder, const std::wstring& version,
                                            unsigned count);

// The folder of the layout that holds the patch from one version of a file to another.
std::wstring deltaFolder(const std::wstring& sha256, const std::wstring& sourceSha256);

// A patch to be written at path in the layout: bytes empty when a sound one lies there already.
struct PlannedDelta {
    std::wstring path;
    ManifestDelta delta;
    ByteBuffer bytes;
};

// Adds to entry.deltas a patch from every other version the file had in the earlier releases, where the
// layout still holds that version and the patch is clearly smaller than what the file travels as otherwise;
// each is told on standard output, and what keeps one from being made with "UWAGA".
void planDeltas(const std::wstring& outputFolder, const std::wstring& baseAddress, const std::wstring& releaseFolder,
                const std::vector<UpdateManifest>& releases, ManifestFileEntry& entry,
                std::vector<PlannedDelta>& planned);

bool writeDelta(const PlannedDelta& planned, std::wstring& errorText);

// Whether the patch at patchPath has the given digest and size and turns the file at sourcePath into the
// file with sha256; says why not.
bool verifyDelta(const std::wstring& patchPath, const std::wstring& sourcePath, const ManifestDelta& delta,
                 const std::wstring& sha256, std::wstring& errorText);

}  // namespace ovan
