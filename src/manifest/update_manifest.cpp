#include "manifest/update_manifest.h"

#include "common/memory_guard.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/working_names.h"
#include "transfer/http_get.h"

#include <windows.h>

#include <algorithm>

namespace ovan {

bool fetchManifestText(HttpSession& session, const std::wstring& address, std::wstring& text,
                       std::wstring& errorText, ByteBuffer* servedBytes)
{
    ByteBuffer ownBody;
    ByteBuffer& body = servedBytes != nullptr ? *servedBytes : ownBody;
    if (!httpGet(session, address, body, errorText)) {
        return false;
    }
    size_t offset = utf8ContentOffset(body.data(), body.size());
    bool wellFormed = false;
    if (!withinMemory([&] { wellFormed = decodeUtf8(body.data() + offset, body.size() - offset, text); })) {
        errorText = L"Za mało pamięci, aby odczytać manifest aktualizacji.";
        return false;
    }
    if (!wellFormed) {
        errorText = L"Manifest nie jest poprawnym UTF-8.";
        return false;
    }
    return true;
}

namespace {

// Where the value of the first "key" starts, blanks after the colon skipped; npos when there is none.
size_t valueStart(const std::wstring& source, const std::wstring& key)
{
    size_t keyAt = source.find(L"\"" + key + L"\"");
    size_t colon = keyAt == std::wstring::npos ? std::wstring::npos : source.find(L':', keyAt);
    if (colon == std::wstring::npos) {
        return std::wstring::npos;
    }
    size_t start = colon + 1;
    while (start < source.size() && isWhiteSpace(source[start])) {
        ++start;
    }
    return start < source.size() ? start : std::wstring::npos;
}

}  // namespace

bool findNumberValue(const std::wstring& source, const std::wstring& key, uint64_t& value)
{
    size_t at = valueStart(source, key);
    uint64_t number = 0;
    size_t digits = 0;
    for (; at != std::wstring::npos && at < source.size() && source[at] >= L'0' && source[at] <= L'9'; ++at, ++digits) {
        if (number > (static_cast<uint64_t>(INT64_MAX) - 9) / 10) {
            return false;
        }
        number = number * 10 + static_cast<uint64_t>(source[at] - L'0');
    }
    if (digits == 0) {
        return false;
    }
    value = number;
    return true;
}

bool findStringValue(const std::wstring& source, const std::wstring& key, std::wstring& value)
{
    size_t opening = valueStart(source, key);
    if (opening == std::wstring::npos || source[opening] != L'"') {
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

namespace {

// The part of a name that Windows compares with the device names: up to the first dot, without the
// blanks that it drops there.
std::wstring deviceStem(const std::wstring& name)
{
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') {
        stem.pop_back();
    }
    return stem;
}

// COM and LPT take one digit; Windows counts the Latin-1 superscripts 1 to 3 as digits there too.
bool isPortNumber(wchar_t c)
{
    return (c >= L'0' && c <= L'9') || c == L'\x00B9' || c == L'\x00B2' || c == L'\x00B3';
}

}  // namespace

bool isDeviceName(const std::wstring& name)
{
    std::wstring stem = deviceStem(name);
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (sameFileName(stem, device)) {
            return true;
        }
    }
    return stem.size() == 4 && isPortNumber(stem[3]) &&
           (sameFileName(stem.substr(0, 3), L"COM") || sameFileName(stem.substr(0, 3), L"LPT"));
}

bool isPlainFileName(const std::wstring& name)
{
    if (name.empty() || name == L"." || name == L".." || isDeviceName(name)) {
        return false;
    }
    // Windows drops trailing dots and blanks, so such a name would address another file.
    if (name.back() == L'.' || name.back() == L' ') {
        return false;
    }
    return name.find_first_of(L"\\/:") == std::wstring::npos;
}

bool fileNamesClash(const std::wstring& a, const std::wstring& b)
{
    return sameFileName(a, b) || sameFileName(a, b + L".old") || sameFileName(a + L".old", b);
}

const wchar_t* clashingWorkingName(const std::wstring& name)
{
    for (const wchar_t* working : kWorkingNames) {
        if (fileNamesClash(name, working)) {
            return working;
        }
    }
    return nullptr;
}

namespace {

bool nameTaken(const std::vector<ManifestFileEntry>& files, const std::wstring& name)
{
    return std::any_of(files.begin(), files.end(),
                       [&name](const ManifestFileEntry& entry) { return fileNamesClash(entry.name, name); });
}

ManifestDefect parseFileObject(const std::wstring& objectText, ManifestFileEntry& entry)
{
    if (!findStringValue(objectText, L"name", entry.name) || !findStringValue(objectText, L"url", entry.url) ||
        !findStringValue(objectText, L"sha256", entry.sha256)) {
        return ManifestDefect::MissingField;
    }
    entry.name = trimWhitespace(entry.name);
    entry.url = trimWhitespace(entry.url);
    entry.sha256 = toUpperAscii(trimWhitespace(entry.sha256));
    uint64_t size = 0;
    if (findNumberValue(objectText, L"size", size)) {
        entry.size = size;
    }
    // Optional: a launcher that finds no usable copy fetches url.
    if (findStringValue(objectText, L"zlib_url", entry.zlibUrl)) {
        entry.zlibUrl = trimWhitespace(entry.zlibUrl);
    }
    findNumberValue(objectText, L"zlib_size", entry.zlibSize);
    if (entry.name.empty() || entry.url.empty() || entry.sha256.empty()) {
        return ManifestDefect::EmptyField;
    }
    if (!isPlainFileName(entry.name)) {
        return ManifestDefect::NotPlainName;
    }
    return clashingWorkingName(entry.name) == nullptr ? ManifestDefect::None : ManifestDefect::WorkingName;
}

}  // namespace

ManifestDefect scanManifest(const std::wstring& text, UpdateManifest& manifest)
{
    manifest.files.clear();
    if (!findStringValue(text, L"version", manifest.version)) {
        return ManifestDefect::NoVersion;
    }
    size_t filesKey = text.find(L"\"files\"");
    if (filesKey == std::wstring::npos) {
        return ManifestDefect::NoFilesKey;
    }
    size_t listBegin = text.find(L'[', filesKey);
    size_t listEnd = listBegin == std::wstring::npos ? std::wstring::npos : text.find(L']', listBegin);
    if (listEnd == std::wstring::npos) {
        return ManifestDefect::NoFileList;
    }
    size_t cursor = listBegin + 1;
    while (cursor < listEnd) {
        size_t objectBegin = text.find(L'{', cursor);
        if (objectBegin == std::wstring::npos || objectBegin > listEnd) {
            break;
        }
        size_t objectEnd = text.find(L'}', objectBegin);
        if (objectEnd == std::wstring::npos || objectEnd > listEnd) {
            return ManifestDefect::UnclosedObject;
        }
        ManifestFileEntry entry;
        ManifestDefect defect = parseFileObject(text.substr(objectBegin, objectEnd - objectBegin + 1), entry);
        if (defect != ManifestDefect::None) {
            return defect;
        }
        if (nameTaken(manifest.files, entry.name)) {
            return ManifestDefect::NameClash;
        }
        manifest.files.push_back(std::move(entry));
        cursor = objectEnd + 1;
    }
    if (manifest.version.empty()) {
        return ManifestDefect::EmptyVersion;
    }
    return manifest.files.empty() ? ManifestDefect::NoFiles : ManifestDefect::None;
}

bool parseManifest(const std::wstring& text, UpdateManifest& manifest)
{
    return scanManifest(text, manifest) == ManifestDefect::None;
}

}  // namespace ovan
