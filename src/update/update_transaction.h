#pragma once

#include "common/paths.h"
#include "manifest/update_manifest.h"

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

// Stages and verifies every file, then swaps them in with backups; rolls back a failed swap.
bool applyUpdate(const UpdateManifest& manifest, const AppFolder& appFolder, std::wstring& errorText);

// Puts back what the swap replaced, last record first; failures go to the log only.
void restoreBackups(std::vector<StagedFile>& stagedFiles, const AppFolder& appFolder);

// Deletes the executable the application no longer ships, if it lies in the AppFolder.
void deleteObsoleteExecutable(const AppFolder& appFolder);

}  // namespace ovan
