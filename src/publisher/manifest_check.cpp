#include "publisher/manifest_check.h"

#include "diagnostics/fatal_report.h"
#include "manifest/update_manifest.h"
#include "common/paths.h"
#include "publisher/compressed_copy.h"
#include "publisher/launcher_guard.h"
#include "publisher/release_deltas.h"
#include "common/file_bytes.h"
#include "publisher/release_rules.h"
#include "publisher/release_signing.h"
#include "versions/local_version.h"
#include "versions/version_compare.h"

#include <windows.h>

namespace ovan {

namespace {

void say(const std::wstring& text)
{
    writeStandardLine(STD_OUTPUT_HANDLE, text);
}

std::wstring defectText(ManifestDefect defect, size_t entryNumber)
{
    std::wstring entry = L"wpis " + std::to_wstring(entryNumber) + L" listy plików: ";
    switch (defect) {
    case ManifestDefect::NoVersion:
        return L"brak wartości tekstowej klucza \"version\"";
    case ManifestDefect::EmptyVersion:
        return L"wartość \"version\" jest pusta";
    case ManifestDefect::NoFilesKey:
        return L"brak klucza \"files\"";
    case ManifestDefect::NoFileList:
        return L"po kluczu \"files\" brak listy zamkniętej znakiem ]";
    case ManifestDefect::UnclosedObject:
        return entry + L"obiekt nie kończy się znakiem } przed pierwszym ]";
    case ManifestDefect::MissingField:
        return entry + L"brak wartości tekstowej \"name\", \"url\" albo \"sha256\" przed pierwszym }";
    case ManifestDefect::EmptyField:
        return entry + L"\"name\", \"url\" albo \"sha256\" jest puste";
    case ManifestDefect::NotPlainName:
        return entry + L"nazwa nie jest zwykłą nazwą pliku w folderze aplikacji";
    case ManifestDefect::BadSize:
        return entry + L"\"size\" nie jest liczbą bajtów zapisaną cyframi dziesiętnymi";
    case ManifestDefect::NameClash:
        return entry + L"nazwa powtarza wcześniejszą (bez względu na wielkość liter) albo jej kopię .old";
    case ManifestDefect::WorkingName:
        return entry + L"to nazwa, której launcher używa sam w folderze aplikacji (albo jej kopia .old)";
    case ManifestDefect::NoFiles:
        return L"lista plików nie zawiera żadnego obiektu";
    case ManifestDefect::None:
        break;
    }
    return std::wstring();
}

// Problems that the launcher only meets later, while downloading and verifying.
bool reportEntries(const UpdateManifest& manifest)
{
    bool installable = true;
    for (const ManifestFileEntry& entry : manifest.files) {
        say(L"  " + entry.name + L"  " + entry.url + L"  " + entry.sha256 +
            (entry.hasSize ? L"  " + std::to_wstring(entry.size) + L" B" : std::wstring()));
        if (!isSha256Text(entry.sha256)) {
            say(L"BŁĄD: " + entry.name + L": sha256 nie ma 64 cyfr szesnastkowych; launcher odrzuci pobrany plik");
            installable = false;
        }
        for (const std::wstring& problem : addressProblems(entry.url)) {
            say(L"BŁĄD: " + entry.name + L": adres " + problem);
            installable = false;
        }
    }
    return installable;
}

// Each copy in the layout beside the manifest must inflate to the very file the entry names.
bool reportCompressedCopies(const std::wstring& manifestPath, const UpdateManifest& manifest)
{
    bool sound = true;
    for (const ManifestFileEntry& entry : manifest.files) {
        if (entry.zlibUrl.empty()) {
            continue;
        }
        std::wstring path = joinPath(layoutFolder(parentPath(manifestPath), compressedFolder(entry.sha256)), entry.name);
        std::wstring errorText;
        uint64_t copySize = 0;
        if (!fileLength(path, copySize)) {
            say(L"UWAGA: " + entry.name + L": obok manifestu nie ma skompresowanej kopii " + path + L"; nie sprawdzono jej");
        } else if (!entry.hasSize) {
            say(L"BŁĄD: " + entry.name + L": manifest nie podaje rozmiaru (\"size\"); launcher nie użyje kopii");
            sound = false;
        } else if (!verifyCompressedCopy(path, entry.size, entry.sha256, errorText)) {
            say(L"BŁĄD: " + entry.name + L": " + path + L": " + errorText);
            sound = false;
        } else if (copySize != entry.zlibSize) {
            say(L"BŁĄD: " + entry.name + L": skompresowana kopia ma inny rozmiar niż \"zlib_size\": " + path);
            sound = false;
        }
    }
    return sound;
}

// Each patch in the layout beside the manifest must be the one described and turn its source, when that lies
// there too, into the very file the entry names.
bool reportDeltas(const std::wstring& manifestPath, const UpdateManifest& manifest)
{
    bool sound = true;
    std::wstring root = parentPath(manifestPath);
    for (const ManifestFileEntry& entry : manifest.files) {
        for (const ManifestDelta& delta : entry.deltas) {
            std::wstring label = entry.name + L": poprawka z " + delta.sourceSha256;
            say(L"  " + label + L"  " + delta.url + L"  " + delta.sha256 + L"  " + std::to_wstring(delta.size) + L" B");
            std::wstring patchPath = joinPath(layoutFolder(root, deltaFolder(entry.sha256, delta.sourceSha256)), entry.name);
            std::wstring sourcePath = joinPath(layoutFolder(root, delta.sourceSha256), entry.name);
            uint64_t ignored = 0;
            std::wstring errorText;
            if (!fileLength(patchPath, ignored) || !fileLength(sourcePath, ignored)) {
                say(L"UWAGA: " + label + L": obok manifestu nie ma poprawki albo jej pliku źródłowego; nie sprawdzono jej");
            } else if (!verifyDelta(patchPath, sourcePath, delta, entry.sha256, errorText)) {
                say(L"BŁĄD: " + label + L": " + errorText);
                sound = false;
            }
            for (const std::wstring& problem : addressProblems(delta.url)) {
                say(L"BŁĄD: " + label + L": adres " + problem);
                sound = false;
            }
        }
    }
    return sound;
}

std::wstring verdict(bool installable, bool signatureAccepted)
{
    if (!signatureAccepted) {
        return L"Launcher z tymi kluczami odrzuci manifest (błąd podpisu powyżej).";
    }
    return installable ? L"Manifest jest poprawny." : L"Manifest zostanie przyjęty, ale nie nadaje się do wydania (błędy powyżej).";
}

}  // namespace

int checkManifest(const std::wstring& manifestPath, const std::wstring& installedVersion,
                  const std::optional<std::wstring>& publicKeys)
{
    bool signatureAccepted = !publicKeys || reportSignature(manifestPath, *publicKeys);
    std::wstring text;
    if (!readUtf8TextFile(manifestPath, text)) {
        say(L"BŁĄD: nie można odczytać pliku albo nie jest on poprawnym UTF-8: " + manifestPath);
        return 1;
    }
    UpdateManifest manifest;
    ManifestDefect defect = scanManifest(text, manifest);
    if (defect != ManifestDefect::None) {
        say(L"BŁĄD: launcher odrzuci manifest (\"Manifest aktualizacji jest niepoprawny.\"): " +
            defectText(defect, manifest.files.size() + 1));
        return 1;
    }
    say(L"Wersja: " + manifest.version);
    for (const std::wstring& problem : versionProblems(manifest.version)) {
        say(L"UWAGA: wersja " + problem);
    }
    say(L"Pliki (" + std::to_wstring(manifest.files.size()) + L"):");
    bool installable = reportEntries(manifest);
    installable = reportCompressedCopies(manifestPath, manifest) && installable;
    installable = reportDeltas(manifestPath, manifest) && installable;
    signatureAccepted = reportShippedLauncher(manifestPath, manifest) && signatureAccepted;
    if (!installedVersion.empty()) {
        say(isNewerVersion(manifest.version, installedVersion)
                ? L"Launcher z wersją " + installedVersion + L" zaktualizuje się do " + manifest.version
                : L"Launcher z wersją " + installedVersion + L" nie zaktualizuje się (wersja nie jest wyższa)");
    }
    say(verdict(installable, signatureAccepted));
    return installable && signatureAccepted ? 0 : 1;
}

}  // namespace ovan
