#include "publisher/release_deltas.h"

#include "common/file_bytes.h"
#include "common/paths.h"
#include "common/scoped_handle.h"
#include "diagnostics/fatal_report.h"
#include "publisher/compressed_copy.h"
#include "publisher/delta_create.h"
#include "publisher/publish_files.h"
#include "publisher/release_rules.h"
#include "transfer/sha256_file.h"
#include "update/delta_files.h"
#include "versions/local_version.h"
#include "versions/version_compare.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace ovan {

namespace {

const wchar_t* const kReleaseCopies = L"releases";

void say(const std::wstring& text)
{
    writeStandardLine(STD_OUTPUT_HANDLE, text);
}

bool readRelease(const std::wstring& path, UpdateManifest& manifest)
{
    std::wstring text;
    return readUtf8TextFile(path, text) && parseManifest(text, manifest);
}

// Hashes what it is given, as a launcher's check of the staged file would.
class HashingSink : public BodySink {
public:
    bool open() { return hash_.open(); }
    bool write(const unsigned char* data, size_t size, std::wstring& errorText) override
    {
        if (!hash_.add(data, size)) {
            errorText = L"nie udało się policzyć SHA-256";
            return false;
        }
        return true;
    }
    bool finishHex(std::wstring& hex) { return hash_.finishHex(hex); }

private:
    Sha256 hash_;
};

bool loadFile(const std::wstring& path, ByteBuffer& bytes)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    return file && readWholeFile(file.get(), bytes) == ReadOutcome::Read;
}

struct Source {
    std::wstring sha256;
    std::wstring path;
};

// Every other version the file had in those releases, once each.
std::vector<Source> sourcesOf(const std::wstring& outputFolder, const std::vector<UpdateManifest>& releases,
                              const ManifestFileEntry& entry)
{
    std::vector<Source> sources;
    for (const UpdateManifest& release : releases) {
        for (const ManifestFileEntry& earlier : release.files) {
            bool known = std::any_of(sources.begin(), sources.end(),
                                     [&earlier](const Source& source) { return source.sha256 == earlier.sha256; });
            if (sameFileName(earlier.name, entry.name) && earlier.sha256 != entry.sha256 && !known) {
                sources.push_back({earlier.sha256, joinPath(layoutFolder(outputFolder, earlier.sha256), earlier.name)});
            }
        }
    }
    return sources;
}

bool changedSince(const std::vector<UpdateManifest>& releases, const ManifestFileEntry& entry)
{
    if (releases.empty()) {
        return false;
    }
    const std::vector<ManifestFileEntry>& files = releases.front().files;
    return std::none_of(files.begin(), files.end(), [&entry](const ManifestFileEntry& earlier) {
        return sameFileName(earlier.name, entry.name) && earlier.sha256 == entry.sha256;
    });
}

std::wstring shortDigest(const std::wstring& sha256)
{
    return sha256.substr(0, 12);
}

// A sound patch an earlier pack left at the address stays what the address serves.
bool presentDelta(const std::wstring& path, const std::wstring& sourcePath, const ManifestFileEntry& entry,
                  ManifestDelta& delta)
{
    std::wstring errorText;
    if (!fileLength(path, delta.size) || !sha256FileHex(path, delta.sha256)) {
        return false;
    }
    return verifyDelta(path, sourcePath, delta, entry.sha256, errorText);
}

bool sha256Of(const ByteBuffer& bytes, std::wstring& hex)
{
    Sha256 hash;
    return hash.open() && hash.add(bytes.data(), bytes.size()) && hash.finishHex(hex);
}

void planOne(const std::wstring& outputFolder, const std::wstring& baseAddress, const ByteBuffer& newBytes,
             const Source& source, ManifestFileEntry& entry, std::vector<PlannedDelta>& planned)
{
    std::wstring label = entry.name + L" z " + shortDigest(source.sha256);
    std::wstring folder = deltaFolder(entry.sha256, source.sha256);
    PlannedDelta plan;
    plan.path = joinPath(layoutFolder(outputFolder, folder), entry.name);
    plan.delta.sourceSha256 = source.sha256;
    plan.delta.url = contentAddress(baseAddress, folder, entry.name);
    if (!presentDelta(plan.path, source.path, entry, plan.delta)) {
        ByteBuffer oldBytes;
        std::wstring oldSha256;
        if (!loadFile(source.path, oldBytes) || !sha256Of(oldBytes, oldSha256) || oldSha256 != source.sha256) {
            say(L"UWAGA: poprawka " + label + L": w folderze wyjściowym nie ma tej wersji pliku: " + source.path);
            return;
        }
        std::wstring errorText;
        if (!createDeltaPatch(oldBytes, newBytes, plan.bytes, errorText) || !sha256Of(plan.bytes, plan.delta.sha256)) {
            say(L"UWAGA: poprawka " + label + L": nie powstała. " + errorText);
            return;
        }
        plan.delta.size = plan.bytes.size();
    }
    uint64_t otherwise = entry.zlibUrl.empty() ? entry.size : entry.zlibSize;
    if (!isClearlySmaller(plan.delta.size, otherwise)) {
        say(L"Poprawka " + label + L" pominięta: " + std::to_wstring(plan.delta.size) + L" B wobec " +
            std::to_wstring(otherwise) + L" B bez niej");
        return;
    }
    say(L"Poprawka " + label + L": " + std::to_wstring(plan.delta.size) + L" B wobec " + std::to_wstring(otherwise) +
        L" B bez niej");
    entry.deltas.push_back(plan.delta);
    planned.push_back(std::move(plan));
}

}  // namespace

std::wstring releaseCopyPath(const std::wstring& outputFolder, const std::wstring& version)
{
    return joinPath(joinPath(outputFolder, kReleaseCopies), version + L".json");
}

std::vector<UpdateManifest> earlierReleases(const std::wstring& outputFolder, const std::wstring& version,
                                            unsigned count)
{
    std::vector<UpdateManifest> releases;
    std::vector<std::wstring> paths = {joinPath(outputFolder, L"manifest.json")};
    std::error_code error;
    for (const auto& item : std::filesystem::directory_iterator(joinPath(outputFolder, kReleaseCopies), error)) {
        paths.push_back(item.path().wstring());
    }
    for (const std::wstring& path : paths) {
        UpdateManifest release;
        if (!readRelease(path, release) || release.version == version) {
            continue;
        }
        bool known = std::any_of(releases.begin(), releases.end(),
                                 [&release](const UpdateManifest& other) { return other.version == release.version; });
        if (!known) {
            releases.push_back(release);
        }
    }
    std::sort(releases.begin(), releases.end(), [](const UpdateManifest& a, const UpdateManifest& b) {
        return isNewerVersion(a.version, b.version);
    });
    releases.resize(std::min<size_t>(releases.size(), count));
    return releases;
}

std::wstring deltaFolder(const std::wstring& sha256, const std::wstring& sourceSha256)
{
    return sha256 + L".from." + sourceSha256;
}

void planDeltas(const std::wstring& outputFolder, const std::wstring& baseAddress, const std::wstring& releaseFolder,
                const std::vector<UpdateManifest>& releases, ManifestFileEntry& entry,
                std::vector<PlannedDelta>& planned)
{
    if (!changedSince(releases, entry)) {
        return;
    }
    std::vector<Source> sources = sourcesOf(outputFolder, releases, entry);
    ByteBuffer newBytes;
    if (sources.empty() || entry.size > kDeltaMostFileSize) {
        return;
    }
    if (!loadFile(joinPath(releaseFolder, entry.name), newBytes)) {
        say(L"UWAGA: " + entry.name + L": nie udało się odczytać pliku, aby utworzyć poprawki");
        return;
    }
    for (const Source& source : sources) {
        planOne(outputFolder, baseAddress, newBytes, source, entry, planned);
    }
}

bool writeDelta(const PlannedDelta& planned, std::wstring& errorText)
{
    if (planned.bytes.empty()) {
        return true;
    }
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(parentPath(planned.path)), error);
    if (error || !writeFileBytes(planned.path, std::string(planned.bytes.begin(), planned.bytes.end()), true)) {
        errorText = L"nie udało się zapisać poprawki w folderze wydania";
        return false;
    }
    return true;
}

bool verifyDelta(const std::wstring& patchPath, const std::wstring& sourcePath, const ManifestDelta& delta,
                 const std::wstring& sha256, std::wstring& errorText)
{
    uint64_t size = 0;
    std::wstring patchSha256;
    if (!fileLength(patchPath, size) || !sha256FileHex(patchPath, patchSha256)) {
        errorText = L"nie udało się odczytać poprawki";
        return false;
    }
    if (size != delta.size || patchSha256 != delta.sha256) {
        errorText = L"poprawka ma inny rozmiar albo SHA-256, niż podaje manifest";
        return false;
    }
    HashingSink result;
    std::wstring resultSha256;
    if (!result.open() || !applyDeltaFile(patchPath, sourcePath, result, errorText) || !result.finishHex(resultSha256)) {
        return false;
    }
    if (resultSha256 != sha256) {
        errorText = L"po zastosowaniu poprawki plik ma inny SHA-256, niż podaje manifest";
        return false;
    }
    return true;
}

}  // namespace ovan
