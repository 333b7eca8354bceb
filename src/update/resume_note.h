#pragma once

#include "manifest/update_manifest.h"

#include <cstdint>
#include <string>

namespace ovan {

// What a partly downloaded staging file was fetched as, kept beside it so that a later run can
// continue it: the address, the server's validator (ETag or Last-Modified), the whole length and
// the digest the manifest expected.
struct ResumeNote {
    std::wstring url;
    std::wstring validator;
    uint64_t total = 0;
    std::wstring sha256;
};

// The note's path for a staging file.
std::wstring resumeNotePath(const std::wstring& stagingPath);

bool writeResumeNote(const std::wstring& stagingPath, const ResumeNote& note);

bool readResumeNote(const std::wstring& stagingPath, ResumeNote& note);

// Whether a note was written for this very entry: the same address and the same digest.
bool noteFits(const ResumeNote& note, const ManifestFileEntry& entry);

// Empties the staging folder except the partial files (with their notes) that an entry of this manifest
// continues: same name, address and digest. False, with nothing touched, when the staging folder is not
// a plain folder (missing, a file, a link).
bool clearStagingKeepingResumable(const std::wstring& stagingFolder, const UpdateManifest& manifest);

}  // namespace ovan
