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

bool parseSizeText(const std::wstring& text, uint64_t& size)
{
    if (text.empty()) {
        return false;
    }
    size = 0;
    for (wchar_t c : text) {
        uint64_t digit = static_cast<uint64_t>(c - L'0');
        if (c < L'0' || c > L'9' || size > (UINT64_MAX - digit) / 10) {
            return false;
        }
        size = size * 10 + digit;
    }
    return true;
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
    if (entry.name.empty() || entry.url.empty() || entry.sha256.empty()) {
        return ManifestDefect::EmptyField;
    }
    if (!isPlainFileName(entry.name)) {
        return ManifestDefect::NotPlainName;
    }
    std::wstring sizeText;
    entry.hasSize = findStringValue(objectText, L"size", sizeText);
    if (entry.hasSize && !parseSizeText(sizeText, entry.size)) {
        return ManifestDefect::BadSize;
    }
    // Optional, and used only whole: a launcher that finds no usable copy fetches url.
    std::wstring zlibSizeText;
    if (findStringValue(objectText, L"zlib_url", entry.zlibUrl) &&
        findStringValue(objectText, L"zlib_size", zlibSizeText) && parseSizeText(zlibSizeText, entry.zlibSize)) {
        entry.zlibUrl = trimWhitespace(entry.zlibUrl);
    } else {
        entry.zlibUrl.clear();
    }
    return clashingWorkingName(entry.name) == nullptr ? ManifestDefect::None : ManifestDefect::WorkingName;
}

// One object of the "deltas" list; false for one that cannot be used whole, which is then left out.
bool parseDeltaObject(const std::wstring& objectText, std::wstring& name, ManifestDelta& delta)
{
    std::wstring sizeText;
    if (!findStringValue(objectText, L"name", name) || !findStringValue(objectText, L"source_sha256", delta.sourceSha256) ||
        !findStringValue(objectText, L"url", delta.url) || !findStringValue(objectText, L"sha256", delta.sha256) ||
        !findStringValue(objectText, L"size", sizeText) || !parseSizeText(sizeText, delta.size)) {
        return false;
    }
    name = trimWhitespace(name);
    delta.sourceSha256 = toUpperAscii(trimWhitespace(delta.sourceSha256));
    delta.url = trimWhitespace(delta.url);
    delta.sha256 = toUpperAscii(trimWhitespace(delta.sha256));
    return !delta.url.empty() && !delta.sha256.empty() && !delta.sourceSha256.empty();
}

// The list of patches stands after the file list, beside it rather than inside the files' objects: a scanner
// that ends the file list at its first ] and an object at its first } reads every file right past it.
void scanDeltas(const std::wstring& text, size_t filesEnd, std::vector<ManifestFileEntry>& files)
{
    size_t key = text.find(L"\"deltas\"", filesEnd);
    size_t listBegin = key == std::wstring::npos ? std::wstring::npos : text.find(L'[', key);
    size_t listEnd = listBegin == std::wstring::npos ? std::wstring::npos : text.find(L']', listBegin);
    if (listEnd == std::wstring::npos) {
        return;
    }
    size_t cursor = listBegin + 1;
    for (;;) {
        size_t objectBegin = text.find(L'{', cursor);
        size_t objectEnd = objectBegin == std::wstring::npos ? std::wstring::npos : text.find(L'}', objectBegin);
        if (objectEnd == std::wstring::npos || objectEnd > listEnd) {
            return;
        }
        std::wstring name;
        ManifestDelta delta;
        if (parseDeltaObject(text.substr(objectBegin, objectEnd - objectBegin + 1), name, delta)) {
            for (ManifestFileEntry& entry : files) {
                if (entry.name == name) {
                    entry.deltas.push_back(delta);
                }
            }
        }
        cursor = objectEnd + 1;
    }
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
    scanDeltas(text, listEnd, manifest.files);
    return manifest.files.empty() ? ManifestDefect::NoFiles : ManifestDefect::None;
}

bool parseManifest(const std::wstring& text, UpdateManifest& manifest)
{
    return scanManifest(text, manifest) == ManifestDefect::None;
}

}  // namespace ovan
