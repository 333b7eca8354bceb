#include "publisher/release_pack.h"

#include "common/paths.h"
#include "common/scoped_handle.h"
#include "common/text.h"
#include "diagnostics/fatal_report.h"
#include "manifest/update_manifest.h"
#include "publisher/release_rules.h"
#include "transfer/sha256_file.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace ovan {

namespace {

struct FindTraits {
    using Value = HANDLE;
    static Value empty() { return INVALID_HANDLE_VALUE; }
    static void release(Value value) { FindClose(value); }
};
using FindHandle = Scoped<FindTraits>;

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

std::wstring manifestText(const std::wstring& version, const std::vector<ManifestFileEntry>& entries)
{
    std::wstring text = L"{\n  \"version\": \"" + version + L"\",\n  \"files\": [\n";
    for (size_t i = 0; i < entries.size(); ++i) {
        const ManifestFileEntry& entry = entries[i];
        text += L"    {\"name\": \"" + entry.name + L"\", \"url\": \"" + entry.url + L"\", \"sha256\": \"" +
                entry.sha256 + L"\"}" + (i + 1 < entries.size() ? L",\n" : L"\n");
    }
    return text + L"  ]\n}\n";
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
        if (a.name != b.name || a.url != b.url || a.sha256 != b.sha256) {
            return false;
        }
    }
    return true;
}

bool writeFileBytes(const std::wstring& path, const std::string& bytes)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

}  // namespace

int packRelease(const std::wstring& releaseFolder, const std::wstring& version, const std::wstring& baseAddress,
                const std::wstring& manifestPath)
{
    Problems problems;
    problems.add(L"wersja " + version, versionProblems(version));
    problems.add(L"adres " + baseAddress, addressProblems(baseAddress));
    std::vector<std::wstring> names;
    if (listReleaseFiles(releaseFolder, names, problems) && names.empty()) {
        problems.add(releaseFolder, L"folder wydania nie zawiera plików");
    }
    checkNames(names, problems);
    if (problems.any()) {
        return 1;
    }
    std::vector<ManifestFileEntry> entries;
    for (const std::wstring& name : names) {
        ManifestFileEntry entry{name, fileAddress(baseAddress, name), L""};
        if (!sha256FileHex(joinPath(releaseFolder, name), entry.sha256)) {
            problems.add(name, L"nie udało się policzyć SHA-256");
        }
        problems.add(name, addressProblems(entry.url));
        entries.push_back(entry);
    }
    if (problems.any()) {
        return 1;
    }
    std::wstring text = manifestText(version, entries);
    if (!readsBackAs(text, version, entries)) {
        problems.add(manifestPath, L"launcher nie odczytałby manifestu tak, jak został zapisany");
        return 1;
    }
    if (!writeFileBytes(manifestPath, encodeUtf8(text))) {
        problems.add(manifestPath, L"nie udało się zapisać manifestu");
        return 1;
    }
    writeStandardLine(STD_OUTPUT_HANDLE, L"Zapisano manifest wersji " + version + L" (" +
                                             std::to_wstring(entries.size()) + L" plików): " + manifestPath);
    return 0;
}

}  // namespace ovan
