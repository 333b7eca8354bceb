#include "update/stage_file.h"

#include "common/file_bytes.h"
#include "common/scoped_handle.h"
#include "diagnostics/update_log.h"
#include "transfer/http_get.h"
#include "transfer/sha256_file.h"
#include "update/console_progress.h"

#include <windows.h>

#include <cwctype>

namespace ovan {

namespace {

// Flushed when durable: a staged file is moved into the installation later and must be on the disk by then.
bool writeStagingFile(const std::wstring& stagingPath, const ByteBuffer& body, bool durable)
{
    FileHandle file(CreateFileW(stagingPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    return writeBytes(file.get(), body.data(), body.size(), durable);
}

std::wstring upperCased(std::wstring text)
{
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    return text;
}

}  // namespace

bool stageFile(HttpSession& session, const ManifestFileEntry& entry, const std::wstring& stagingPath,
               const AppFolder& appFolder, std::wstring& errorText, bool durable)
{
    appendLogLine(appFolder, L"Pobieranie pliku: " + entry.name);
    std::wstring digest;
    {
        ByteBuffer body;
        ConsoleProgress progress(entry.name);
        if (!httpGet(session, entry.url, body, errorText, &progress)) {
            return false;
        }
        if (!writeStagingFile(stagingPath, body, durable)) {
            errorText = L"Nie udało się zapisać pliku: " + stagingPath;
            return false;
        }
    }
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
