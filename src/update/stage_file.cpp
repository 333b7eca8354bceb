#include "update/stage_file.h"

#include "diagnostics/update_log.h"
#include "transfer/http_get.h"
#include "transfer/sha256_file.h"
#include "update/compressed_download.h"
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

}  // namespace

bool stageFile(HttpSession& session, const ManifestFileEntry& entry, const std::wstring& stagingPath,
               const AppFolder& appFolder, std::wstring& errorText, const StageOptions& options)
{
    appendLogLine(appFolder, L"Pobieranie pliku: " + entry.name);
    bool downloaded =
        options.compressed && usesCompressedCopy(entry)
            ? downloadCompressed(session, entry, stagingPath, appFolder, options.durable, options.resume, errorText)
            : downloadEntry(session, entry, stagingPath, appFolder, options.durable, options.resume, errorText);
    if (!downloaded) {
        return false;
    }
    std::wstring digest;
    if (!sha256FileHex(stagingPath, digest)) {
        errorText = L"Nie udało się policzyć SHA-256 dla: " + stagingPath;
        return false;
    }
    if (upperCased(digest) != upperCased(entry.sha256)) {
        errorText = L"Błędny SHA-256 dla pliku: " + entry.name;
        return false;
    }
    appendLogLine(appFolder, L"SHA-256 poprawny dla: " + entry.name);
    return true;
}

}  // namespace ovan
