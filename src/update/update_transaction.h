#pragma once

#include "common/paths.h"
#include "manifest/update_manifest.h"
#include "transfer/http_get.h"

#include <string>
#include <vector>

namespace ovan {

struct StagedFile {
    std::wstring stagingPath;
    std::wstring targetPath;
    std::wstring backupPath;
    bool targetExisted = false;
    bool backedUp = false;
    bool replaced = false;
};

// The paths of one entry, flags cleared: staged in the staging folder, backed up beside its target.
StagedFile stagedFileFor(const std::wstring& name, const AppFolder& appFolder);

// The maker's choices that change how an update is applied.
struct UpdateSettings {
    // An installed file that already has the manifest's digest is neither downloaded nor moved.
    bool skipUnchanged = false;
    // Staged files, the transaction record and current.txt reach the disk before they are relied on.
    bool durableWrites = true;
    // A broken transfer is continued where it stopped, within the run and in the next one.
    bool resumeDownloads = false;
    // Files with a compressed copy in the manifest are fetched through it.
    bool compressedDownloads = false;
};

// Stages and verifies every file, then swaps them in with backups; rolls back a failed swap.
// On false, previousReleaseIntact tells whether the installed release is still complete as it was.
bool applyUpdate(HttpSession& session, const UpdateManifest& manifest, const AppFolder& appFolder,
                 const UpdateSettings& settings, bool& previousReleaseIntact, std::wstring& errorText);

// Puts back what the swap replaced, last record first; each failure is logged and the rest goes on.
// True when every file is back; otherwise failureText names the first file that is not.
bool restoreBackups(std::vector<StagedFile>& stagedFiles, const AppFolder& appFolder, std::wstring& failureText);

// What a committed update leaves to tidy: every backup, the staging folder, and the obsolete executable
// when the release no longer ships it. Failures are not reported.
void cleanUpCommitted(const std::vector<StagedFile>& stagedFiles, const AppFolder& appFolder,
                      bool deletesObsoleteExecutable);

// Deletes the executable the application no longer ships, if it lies in the AppFolder.
void deleteObsoleteExecutable(const AppFolder& appFolder);

// Whether a release keeps the executable that older releases shipped and later ones drop.
bool listsObsoleteExecutable(const UpdateManifest& manifest);

}  // namespace ovan
