#include "publisher/release_pack.h"

#include "common/file_bytes.h"
#include "common/paths.h"
#include "common/scoped_handle.h"
#include "common/text.h"
#include "diagnostics/error_text.h"
#include "diagnostics/fatal_report.h"
#include "manifest/manifest_signature.h"
#include "manifest/update_manifest.h"
#include "publisher/compressed_copy.h"
#include "publisher/launcher_guard.h"
#include "publisher/release_deltas.h"
#include "publisher/publish_files.h"
#include "publisher/release_rules.h"
#include "publisher/release_signing.h"
#include "transfer/sha256_file.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

namespace ovan {

namespace {

const wchar_t* const kManifestFileName = L"manifest.json";

// Collects problems as "what: why" lines; the pack fails when any was found.
class Problems {
public:
    void add(const std::wstring& what, const std::vector<std::wstring>& reasons)
    {
        for (const std::wstring& reason : reasons) {
            writeStandardError(what + L": " + reason);
            found_ = true;
        }
    }
    void add(const std::wstring& what, const std::wstring& reason) { add(what, std::vector<std::wstring>{reason}); }
    bool any() const { return found_; }

private:
    bool found_ = false;
};

bool listReleaseFiles(const std::wstring& folder, std::vector<std::wstring>& names, Problems& problems)
{
    WIN32_FIND_DATAW found = {};
    FindHandle search(FindFirstFileW(joinPath(folder, L"*").c_str(), &found));
    if (!search) {
        problems.add(folder, L"nie można odczytać folderu wydania");
        return false;
    }
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            problems.add(name, L"to folder; launcher instaluje tylko pliki leżące bezpośrednio w folderze aplikacji");
        } else {
            names.push_back(name);
        }
    } while (FindNextFileW(search.get(), &found));
    std::sort(names.begin(), names.end());
    return true;
}

void checkNames(const std::vector<std::wstring>& names, Problems& problems)
{
    for (size_t i = 0; i < names.size(); ++i) {
        problems.add(names[i], fileNameProblems(names[i]));
        for (size_t j = 0; j < i; ++j) {
            if (fileNamesClash(names[j], names[i])) {
                problems.add(names[i], L"koliduje z plikiem " + names[j] +
                                           L" (ta sama nazwa bez względu na wielkość liter albo jego kopia .old)");
            }
        }
    }
}

std::wstring compressedMembers(const ManifestFileEntry& entry)
{
    if (entry.zlibUrl.empty()) {
        return std::wstring();
    }
    return L", \"zlib_url\": \"" + entry.zlibUrl + L"\", \"zlib_size\": \"" + std::to_wstring(entry.zlibSize) + L"\"";
}

// After the file list, so that every launcher's scanner has read the files before it; none without patches.
std::wstring deltaList(const std::vector<ManifestFileEntry>& entries)
{
    std::wstring objects;
    for (const ManifestFileEntry& entry : entries) {
        for (const ManifestDelta& delta : entry.deltas) {
            objects += std::wstring(objects.empty() ? L"" : L",\n") + L"    {\"name\": \"" + entry.name +
                       L"\", \"source_sha256\": \"" + delta.sourceSha256 + L"\", \"url\": \"" + delta.url +
                       L"\", \"sha256\": \"" + delta.sha256 + L"\", \"size\": \"" + std::to_wstring(delta.size) + L"\"}";
        }
    }
    return objects.empty() ? std::wstring() : L",\n  \"deltas\": [\n" + objects + L"\n  ]";
}

std::wstring manifestText(const std::wstring& version, const std::vector<ManifestFileEntry>& entries)
{
    std::wstring text = L"{\n  \"version\": \"" + version + L"\",\n  \"files\": [\n";
    for (size_t i = 0; i < entries.size(); ++i) {
        const ManifestFileEntry& entry = entries[i];
        text += L"    {\"name\": \"" + entry.name + L"\", \"url\": \"" + entry.url + L"\", \"sha256\": \"" +
                entry.sha256 + L"\", \"size\": \"" + std::to_wstring(entry.size) + L"\"" + compressedMembers(entry) + L"}" +
                (i + 1 < entries.size() ? L",\n" : L"\n");
    }
    return text + L"  ]" + deltaList(entries) + L"\n}\n";
}

bool sameDeltas(const std::vector<ManifestDelta>& a, const std::vector<ManifestDelta>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const ManifestDelta& x, const ManifestDelta& y) {
        return x.sourceSha256 == y.sourceSha256 && x.url == y.url && x.sha256 == y.sha256 && x.size == y.size;
    });
}

// The launcher's own scanner must read back exactly what was meant.
bool readsBackAs(const std::wstring& text, const std::wstring& version, const std::vector<ManifestFileEntry>& entries)
{
    UpdateManifest parsed;
    if (!parseManifest(text, parsed) || parsed.version != version || parsed.files.size() != entries.size()) {
        return false;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        const ManifestFileEntry& a = parsed.files[i];
        const ManifestFileEntry& b = entries[i];
        if (a.name != b.name || a.url != b.url || a.sha256 != b.sha256 || !a.hasSize || a.size != b.size ||
            a.zlibUrl != b.zlibUrl || a.zlibSize != b.zlibSize || !sameDeltas(a.deltas, b.deltas)) {
            return false;
        }
    }
    return true;
}

void say(const std::wstring& text)
{
    writeStandardLine(STD_OUTPUT_HANDLE, text);
}

std::vector<std::wstring> checkRelease(const PackRequest& request, Problems& problems)
{
    problems.add(L"wersja " + request.version, versionProblems(request.version));
    problems.add(L"adres " + request.baseAddress, addressProblems(request.baseAddress));
    std::vector<std::wstring> names;
    if (listReleaseFiles(request.releaseFolder, names, problems) && names.empty()) {
        problems.add(request.releaseFolder, L"folder wydania nie zawiera plików");
    }
    checkNames(names, problems);
    return names;
}

bool makeFolder(const std::wstring& folder)
{
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(folder), error);
    return !error;
}

// The layout offers a compressed copy of a file where it is clearly smaller; its size is counted here, before
// anything is written, and the copy written with the files.
void describeCompressedCopy(const PackRequest& request, ManifestFileEntry& entry, Problems& problems)
{
    uint64_t compressedSize = 0;
    std::wstring errorText;
    // A copy an earlier pack left at this address stays what the address serves.
    std::wstring present = joinPath(layoutFolder(request.destination, compressedFolder(entry.sha256)), entry.name);
    if (fileLength(present, compressedSize) && verifyCompressedCopy(present, entry.size, entry.sha256, errorText)) {
        entry.zlibUrl = compressedAddress(request.baseAddress, entry.sha256, entry.name);
        entry.zlibSize = compressedSize;
        return;
    }
    if (!deflateFile(joinPath(request.releaseFolder, entry.name), L"", compressedSize, errorText)) {
        problems.add(entry.name, errorText);
        return;
    }
    if (isClearlySmaller(compressedSize, entry.size)) {
        entry.zlibUrl = compressedAddress(request.baseAddress, entry.sha256, entry.name);
        entry.zlibSize = compressedSize;
    }
}

std::vector<ManifestFileEntry> describeFiles(const PackRequest& request, const std::vector<std::wstring>& names,
                                             std::vector<PlannedDelta>& deltas, Problems& problems)
{
    std::vector<UpdateManifest> releases;
    if (!request.flat) {
        releases = earlierReleases(request.destination, request.version, request.deltaReleases);
    }
    std::vector<ManifestFileEntry> entries;
    for (const std::wstring& name : names) {
        ManifestFileEntry entry{name, L"", L""};
        std::wstring path = joinPath(request.releaseFolder, name);
        if (!sha256FileHex(path, entry.sha256)) {
            problems.add(name, L"nie udało się policzyć SHA-256");
            continue;
        }
        entry.hasSize = fileLength(path, entry.size);
        if (!entry.hasSize) {
            problems.add(name, L"nie udało się odczytać rozmiaru pliku");
            continue;
        }
        entry.url = request.flat ? fileAddress(request.baseAddress, name)
                                 : contentAddress(request.baseAddress, entry.sha256, name);
        problems.add(name, addressProblems(entry.url));
        if (!request.flat) {
            describeCompressedCopy(request, entry, problems);
            planDeltas(request.destination, request.baseAddress, request.releaseFolder, releases, entry, deltas);
        }
        entries.push_back(entry);
    }
    return entries;
}

// A file already in place under its digest is the same file: it is left as it is, so copying
// a newer release over an older one never rewrites what the older one serves.
bool copyIntoLayout(const PackRequest& request, const ManifestFileEntry& entry, Problems& problems)
{
    std::wstring folder = layoutFolder(request.destination, entry.sha256);
    std::wstring target = joinPath(folder, entry.name);
    std::wstring present;
    if (sha256FileHex(target, present) && present == entry.sha256) {
        return true;
    }
    if (!makeFolder(folder)) {
        problems.add(folder, L"nie udało się utworzyć folderu w folderze wydania");
        return false;
    }
    if (!CopyFileW(joinPath(request.releaseFolder, entry.name).c_str(), target.c_str(), FALSE)) {
        problems.add(target, L"nie udało się skopiować pliku do folderu wydania. " + formatSystemError(GetLastError()));
        return false;
    }
    return true;
}

// A sound copy already in place is the one described and is left as it is.
bool writeCompressedCopy(const PackRequest& request, const ManifestFileEntry& entry, Problems& problems)
{
    std::wstring folder = layoutFolder(request.destination, compressedFolder(entry.sha256));
    std::wstring target = joinPath(folder, entry.name);
    uint64_t present = 0;
    std::wstring errorText;
    if (fileLength(target, present) && present == entry.zlibSize &&
        verifyCompressedCopy(target, entry.size, entry.sha256, errorText)) {
        return true;
    }
    uint64_t written = 0;
    if (!makeFolder(folder) || !deflateFile(joinPath(request.releaseFolder, entry.name), target, written, errorText) ||
        written != entry.zlibSize) {
        problems.add(target, L"nie udało się zapisać skompresowanej kopii pliku w folderze wydania");
        return false;
    }
    return true;
}

// A signature left from an earlier pack would not match the new manifest.
bool placeSignature(const std::wstring& signaturePath, const std::string& signatureFile, Problems& problems)
{
    if (!signatureFile.empty()) {
        if (!writeFileBytes(signaturePath, signatureFile, true)) {
            problems.add(signaturePath, L"nie udało się zapisać podpisu");
            return false;
        }
        return true;
    }
    if (DeleteFileW(signaturePath.c_str())) {
        say(L"Usunięto podpis poprzedniego manifestu: " + signaturePath);
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
        problems.add(signaturePath, L"nie udało się usunąć podpisu poprzedniego manifestu");
        return false;
    }
    return true;
}

// The release's own launcher must keep finding and accepting the releases that follow it.
void checkShippedLauncher(const PackRequest& request, const std::vector<std::wstring>& names,
                          const ShippedLauncherRules& rules, Problems& problems)
{
    for (const std::wstring& name : names) {
        if (sameFileName(name, kLauncherFileName)) {
            problems.add(name, shippedLauncherProblems(joinPath(request.releaseFolder, name), rules));
        }
    }
}

// Later packs find this release's files from the copy.
bool keepReleaseCopy(const PackRequest& request, const std::string& bytes, Problems& problems)
{
    std::wstring path = releaseCopyPath(request.destination, request.version);
    if (!makeFolder(parentPath(path)) || !writeFileBytes(path, bytes, true)) {
        problems.add(path, L"nie udało się zapisać kopii manifestu");
        return false;
    }
    return true;
}

std::wstring publishedManifestAddress(const PackRequest& request, const std::wstring& manifestPath)
{
    return request.manifestAddress.empty() ? fileAddress(request.baseAddress, lastPathElement(manifestPath))
                                           : request.manifestAddress;
}

}  // namespace

int packRelease(const PackRequest& request)
{
    Problems problems;
    std::vector<std::wstring> names = checkRelease(request, problems);
    if (problems.any()) {
        return 1;
    }
    std::vector<PlannedDelta> deltas;
    std::vector<ManifestFileEntry> entries = describeFiles(request, names, deltas, problems);
    if (problems.any()) {
        return 1;
    }
    std::wstring manifestPath = request.flat ? request.destination : joinPath(request.destination, kManifestFileName);
    std::wstring text = manifestText(request.version, entries);
    if (!readsBackAs(text, request.version, entries)) {
        problems.add(manifestPath, L"launcher nie odczytałby manifestu tak, jak został zapisany");
        return 1;
    }
    std::string bytes = encodeUtf8(text);
    std::string signatureFile;
    std::wstring publicKey;
    std::wstring errorText;
    if (!request.privateKeyPath.empty() && !signManifest(bytes, request.privateKeyPath, signatureFile, publicKey, errorText)) {
        writeStandardError(errorText);
        return 1;
    }
    checkShippedLauncher(request, names,
                         {publishedManifestAddress(request, manifestPath), bytes, signatureFile, publicKey}, problems);
    if (problems.any()) {
        return 1;
    }
    for (const ManifestFileEntry& entry : entries) {
        if (!request.flat && !copyIntoLayout(request, entry, problems)) {
            return 1;
        }
        if (!entry.zlibUrl.empty() && !writeCompressedCopy(request, entry, problems)) {
            return 1;
        }
    }
    for (const PlannedDelta& delta : deltas) {
        if (!writeDelta(delta, errorText)) {
            problems.add(delta.path, errorText);
            return 1;
        }
    }
    if (!request.flat && !keepReleaseCopy(request, bytes, problems)) {
        return 1;
    }
    // The files come first and the manifest last, so a folder served while it is written never lists
    // a file that is not there yet.
    std::wstring signaturePath = signatureAddress(manifestPath);
    if (!placeSignature(signaturePath, signatureFile, problems)) {
        return 1;
    }
    if (!writeFileBytes(manifestPath, bytes, true)) {
        problems.add(manifestPath, L"nie udało się zapisać manifestu");
        return 1;
    }
    // "liczba plików: N" reads right for every N; "N plików" does not for 1 to 4.
    say(L"Zapisano manifest wersji " + request.version + L" (liczba plików: " + std::to_wstring(entries.size()) +
        L"): " + manifestPath);
    if (!publicKey.empty()) {
        say(L"Zapisano podpis: " + signaturePath + L" (klucz publiczny " + publicKey + L")");
    }
    if (!request.flat) {
        say(L"Skopiuj folder " + request.destination + L" na serwer tak, by manifest leżał pod adresem " +
            fileAddress(request.baseAddress, kManifestFileName));
    }
    return 0;
}

}  // namespace ovan
