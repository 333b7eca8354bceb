#include "update/delta_download.h"

#include "common/file_removal.h"
#include "transfer/sha256_file.h"
#include "update/delta_files.h"
#include "update/entry_download.h"
#include "update/installed_files.h"
#include "update/resume_note.h"
#include "update/staging_file.h"

namespace ovan {

namespace {

void removePatch(const std::wstring& patchPath)
{
    unsigned long ignored = 0;
    removeFile(patchPath, ignored);
    removeFile(resumeNotePath(patchPath), ignored);
}

bool applyInto(const std::wstring& patchPath, const std::wstring& installedPath, const std::wstring& stagingPath,
               bool durable, std::wstring& errorText)
{
    StagingFile file(stagingPath);
    if (applyDeltaFile(patchPath, installedPath, file, errorText) && file.finish(durable, errorText)) {
        return true;
    }
    file.discard();
    return false;
}

}  // namespace

const ManifestDelta* patchForInstalled(const ManifestFileEntry& entry, const AppFolder& appFolder)
{
    if (entry.deltas.empty()) {
        return nullptr;
    }
    // Known from the record of the installed files while it holds for the file, else read from the file.
    InstalledDigest installed =
        installedFileDigest(readInstalledRecord(appFolder), entry.name, joinPath(appFolder, entry.name));
    if (installed.state != InstalledState::Read) {
        return nullptr;
    }
    for (const ManifestDelta& delta : entry.deltas) {
        if (delta.sourceSha256 == installed.sha256) {
            return &delta;
        }
    }
    return nullptr;
}

ManifestFileEntry patchDownloadOf(const ManifestFileEntry& entry, const ManifestDelta& delta)
{
    ManifestFileEntry patch{entry.name, delta.url, delta.sha256};
    patch.hasSize = true;
    patch.size = delta.size;
    return patch;
}

std::wstring patchStagingPath(const std::wstring& stagingFolder, const std::wstring& name)
{
    return joinPath(stagingFolder, name + L".patch");
}

bool downloadPatched(HttpSession& session, const ManifestFileEntry& entry, const ManifestDelta& delta,
                     const std::wstring& stagingPath, const AppFolder& appFolder, bool durable, bool resume,
                     std::wstring& errorText)
{
    // A note a plain download of this file left would name bytes this one does not write.
    unsigned long ignored = 0;
    removeFile(resumeNotePath(stagingPath), ignored);
    std::wstring patchPath = patchStagingPath(parentPath(stagingPath), entry.name);
    if (!downloadEntry(session, patchDownloadOf(entry, delta), patchPath, appFolder, false, resume, errorText)) {
        return false;
    }
    std::wstring sha256;
    bool applied = false;
    if (!sha256FileHex(patchPath, sha256) || sha256 != delta.sha256) {
        errorText = L"Poprawka ma inny SHA-256, niż podaje manifest.";
    } else {
        applied = applyInto(patchPath, joinPath(appFolder, entry.name), stagingPath, durable, errorText);
    }
    removePatch(patchPath);
    return applied;
}

}  // namespace ovan
