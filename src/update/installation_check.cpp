#include "update/installation_check.h"

#include "common/text.h"
#include "diagnostics/update_log.h"
#include "update/installed_files.h"

namespace ovan {

namespace {

const wchar_t* damageLine(InstalledState state)
{
    switch (state) {
    case InstalledState::Missing: return L"Brak pliku: ";
    case InstalledState::NotAFile: return L"W miejscu pliku jest katalog: ";
    case InstalledState::Unreadable: return L"Nie można odczytać pliku: ";
    case InstalledState::Read: break;
    }
    return L"Plik uszkodzony: ";
}

}  // namespace

InstallationCheck checkInstallation(const UpdateManifest& manifest, const AppFolder& appFolder,
                                    const InstalledRecord& record, bool logDamage)
{
    InstallationCheck check;
    for (const ManifestFileEntry& entry : manifest.files) {
        InstalledDigest installed = installedFileDigest(record, entry.name, joinPath(appFolder, entry.name));
        std::wstring expected = toUpperAscii(entry.sha256);
        bool intact = installed.state == InstalledState::Read && installed.sha256 == expected;
        check.intact.push_back(intact);
        check.hashed = check.hashed || installed.hashed;
        if (intact) {
            check.found[entry.name] = RecordedFile{installed.stamp, expected};
            continue;
        }
        check.complete = false;
        if (logDamage) {
            appendLogLine(appFolder, damageLine(installed.state) + entry.name);
        }
    }
    return check;
}

}  // namespace ovan
