#include "update/stage_file.h"

#include "diagnostics/update_log.h"
#include "transfer/http_get.h"
#include "transfer/inflating_sink.h"
#include "transfer/sha256_file.h"
#include "update/console_progress.h"
#include "update/staging_file.h"

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

// The compressed copy is inflated on its way to the file, never past the file's size; without a size
// to hold it to, the file comes as it is.
bool fetchInto(HttpSession& session, const ManifestFileEntry& entry, const StageOptions& options, StagingFile& file,
               DownloadObserver& progress, std::wstring& errorText)
{
    if (!options.compressed || entry.zlibUrl.empty() || !entry.size) {
        return httpGet(session, entry.url, file, errorText, &progress);
    }
    InflatingSink inflater(file, *entry.size, entry.name);
    return httpGet(session, entry.zlibUrl, inflater, errorText, &progress) && inflater.finish(errorText);
}

// The body straight to the staging file, flushed when durable: a staged file is moved into the
// installation later and must be on the disk by then.
bool downloadToStagingFile(HttpSession& session, const ManifestFileEntry& entry, const std::wstring& stagingPath,
                           const StageOptions& options, std::wstring& errorText)
{
    StagingFile file(stagingPath);
    ConsoleProgress progress(entry.name);
    if (fetchInto(session, entry, options, file, progress, errorText) && file.finish(options.durable, errorText)) {
        return true;
    }
    file.discard();
    return false;
}

}  // namespace

bool stageFile(HttpSession& session, const ManifestFileEntry& entry, const std::wstring& stagingPath,
               const AppFolder& appFolder, std::wstring& errorText, const StageOptions& options)
{
    appendLogLine(appFolder, L"Pobieranie pliku: " + entry.name);
    if (!downloadToStagingFile(session, entry, stagingPath, options, errorText)) {
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
