#pragma once

#include "common/paths.h"
#include "manifest/update_manifest.h"
#include "update/installed_record.h"

#include <vector>

namespace ovan {

struct InstallationCheck {
    // Per manifest entry: the installed file has the manifest's digest.
    std::vector<bool> intact;
    bool complete = true;
    // The intact files as found: a record that describes them, to be written when hashed is set.
    InstalledRecord found;
    // Some file had to be read, the record describing it no longer (or never).
    bool hashed = false;
};

// Compares each file the manifest lists with the installed one, taking the record's digest for a file it still
// describes. With logDamage, each file that differs gets a line saying how.
InstallationCheck checkInstallation(const UpdateManifest& manifest, const AppFolder& appFolder,
                                    const InstalledRecord& record, bool logDamage);

}  // namespace ovan
