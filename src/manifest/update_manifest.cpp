#include "manifest/update_manifest.h"

#include "common/text.h"
#include "transfer/http_get.h"

#include <windows.h>

#include <algorithm>

namespace ovan {

bool fetchManifestText(const std::wstring& address, std::wstring& text, std::wstring& errorText)
{
    ByteBuffer body;
    if (!httpGet(address, body, errorText)) {
        return false;
    }
    size_t offset = utf8ContentOffset(body.data(), body.size());
    if (!decodeUtf8(body.data() + offset, body.size() - offset, text)) {
        errorText = L"Manifest nie jest poprawnym UTF-8.";
        return false;
    }
    return true;
}

bool findStringValue(const std::wstring& source, const std::wstring& key, std::wstring& value)
{
    size_t keyAt = source.find(L"\"" + key + L"\"");
    if (keyAt == std::wstring::npos) {
        return false;
    }
    size_t colon = source.find(L':', keyAt);
    if (colon == std::wstring::npos) {
        return false;
    }
    size_t opening = colon + 1;
    while (opening < source.size() && isWhiteSpace(source[opening])) {
        ++opening;
    }
    if (opening >= source.size() || source[opening] != L'"') {
        return false;
    }
    size_t closing = opening + 1;
    while (closing < source.size() && !(source[closing] == L'"' && (closing == opening + 1 || source[closing - 1] != L'\\'))) {
        ++closing;
    }
    if (closing >= source.size()) {
        return false;
    }
    value = source.substr(opening + 1, closing - opening - 1);
    return true;
}

bool isPlainFileName(const std::wstring& name)
{
    if (name.empty() || name == L"." || name == L"..") {
        return false;
    }
    // Windows drops trailing dots and blanks, so such a name would address another file.
    if (name.back() == L'.' || name.back() == L' ') {
        return false;
    }
    return name.find_first_of(L"\\/:") == std::wstring::npos;
}

namespace {

bool sameFileName(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// Two entries clash when they name one file, or when one would land on the other's backup.
bool namesClash(const std::wstring& a, const std::wstring& b)
{
    return sameFileName(a, b) || sameFileName(a, b + L".old") || sameFileName(a + L".old", b);
}

bool nameTaken(const std::vector<ManifestFileEntry>& files, const std::wstring& name)
{
    return std::any_of(files.begin(), files.end(),
                       [&name](const ManifestFileEntry& entry) { return namesClash(entry.name, name); });
}

bool parseFileObject(const std::wstring& objectText, ManifestFileEntry& entry)
{
    if (!findStringValue(objectText, L"name", entry.name) || !findStringValue(objectText, L"url", entry.url) ||
        !findStringValue(objectText, L"sha256", entry.sha256)) {
        return false;
    }
    entry.name = trimWhitespace(entry.name);
    entry.url = trimWhitespace(entry.url);
    entry.sha256 = toUpperAscii(trimWhitespace(entry.sha256));
    return !entry.name.empty() && !entry.url.empty() && !entry.sha256.empty();
}

}  // namespace

bool parseManifest(const std::wstring& text, UpdateManifest& manifest)
{
    manifest.files.clear();
    if (!findStringValue(text, L"version", manifest.version)) {
        return false;
    }
    size_t filesKey = text.find(L"\"files\"");
    if (filesKey == std::wstring::npos) {
        return false;
    }
    size_t listBegin = text.find(L'[', filesKey);
    if (listBegin == std::wstring::npos) {
        return false;
    }
    size_t listEnd = text.find(L']', listBegin);
    if (listEnd == std::wstring::npos) {
        return false;
    }
    size_t cursor = listBegin + 1;
    while (cursor < listEnd) {
        size_t objectBegin = text.find(L'{', cursor);
        if (objectBegin == std::wstring::npos || objectBegin > listEnd) {
            break;
        }
        size_t objectEnd = text.find(L'}', objectBegin);
        if (objectEnd == std::wstring::npos || objectEnd > listEnd) {
            return false;
        }
        ManifestFileEntry entry;
        if (!parseFileObject(text.substr(objectBegin, objectEnd - objectBegin + 1), entry) ||
            !isPlainFileName(entry.name) || nameTaken(manifest.files, entry.name)) {
            return false;
        }
        manifest.files.push_back(std::move(entry));
        cursor = objectEnd + 1;
    }
    return !manifest.version.empty() && !manifest.files.empty();
}

}  // namespace ovan
