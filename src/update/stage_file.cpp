#include "update/stage_file.h"

#include "diagnostics/update_log.h"
#include "transfer/http_get.h"
#include "transfer/sha256_file.h"
#include "common/file_removal.h"
#include "update/compressed_download.h"
#include "update/delta_download.h"
#include "update/entry_download.h"

#include <cwctype>

namespace ovan {

namespace {

std::wstring upperCased(std::wstring text)
{
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    return text;
}

// The staged file must have the manifest's digest, whichever way it came.
bool stagedAsListed(const ManifestFileEntry& entry, const std::wstring& stagingPath, std::wstring& errorText)
{
    std::wstring digest;
    if (!sha256FileHex(stagingPath, digest)) {
        errorText = L"Nie udało się policzyć SHA-256 dla: " + stagingPath;
        return false;
    }
    if (upperCased(digest) != upperCased(entry.sha256)) {
        errorText = L"Błędny SHA-256 dla pliku: " + entry.name;
        return false;
    }
    return true;
}

// A patch that cannot be used costs only its own bytes: the file then comes the other way in the same run.
bool stagedThroughPatch(HttpSession& session, const ManifestFileEntry& entry, const std::wstring& stagingPath,
                        const AppFolder& appFolder, const StageOptions& options)
{
    const ManifestDelta* delta = options.deltas ? patchForInstalled(entry, appFolder) : nullptr;
    if (delta == nullptr) {
        return false;
    }
    appendLogLine(appFolder, L"Pobieranie poprawki: " + entry.name);
    std::wstring why;
    if (downloadPatched(session, entry, *delta, stagingPath, appFolder, options.durable, options.resume, why) &&
        stagedAsListed(entry, stagingPath, why)) {
        return true;
    }
    unsigned long ignored = 0;
    removeFile(stagingPath, ignored);
    appendLogLine(appFolder, L"Nie użyto poprawki pliku " + entry.name + L", pobieranie całego pliku. Powód: " + why);
    return false;
}

}  // namespace

bool stageFile(HttpSession& session, const ManifestFileEntry& entry, const std::wstring& stagingPath,
               const AppFolder& appFolder, std::wstring& errorText, const StageOptions& options)
{
    if (stagedThroughPatch(session, entry, stagingPath, appFolder, options)) {
        appendLogLine(appFolder, L"SHA-256 poprawny dla: " + entry.name);
        return true;
    }
    appendLogLine(appFolder, L"Pobieranie pliku: " + entry.name);
    bool downloaded =
        options.compressed && usesCompressedCopy(entry)
            ? downloadCompressed(session, entry, stagingPath, appFolder, options.durable, options.resume, errorText)
            : downloadEntry(session, entry, stagingPath, appFolder, options.durable, options.resume, errorText);
    if (!downloaded || !stagedAsListed(entry, stagingPath, errorText)) {
        return false;
    }
    appendLogLine(appFolder, L"SHA-256 poprawny dla: " + entry.name);
    return true;
}

}  // namespace ovan
