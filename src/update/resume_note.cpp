#include "update/resume_note.h"

#include "common/file_bytes.h"
#include "common/file_removal.h"
#include "common/paths.h"
#include "common/scoped_handle.h"
#include "update/compressed_download.h"
#include "update/delta_download.h"

#include <windows.h>

#include <cwchar>
#include <vector>

namespace ovan {

namespace {

const size_t kNoteLines = 4;

std::vector<std::wstring> splitLines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end = text.find(L'\n'); end != std::wstring::npos; end = text.find(L'\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace

std::wstring resumeNotePath(const std::wstring& stagingPath)
{
    return stagingPath + L".note";
}

bool writeResumeNote(const std::wstring& stagingPath, const ResumeNote& note)
{
    std::string bytes = encodeUtf8(note.url + L"\n" + note.validator + L"\n" + std::to_wstring(note.total) + L"\n" +
                                   note.sha256 + L"\n");
    FileHandle file(CreateFileW(resumeNotePath(stagingPath).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && writeBytes(file.get(), bytes.data(), bytes.size(), false);
}

bool readResumeNote(const std::wstring& stagingPath, ResumeNote& note)
{
    FileHandle file(CreateFileW(resumeNotePath(stagingPath).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ByteBuffer bytes;
    std::wstring text;
    if (!file || readWholeFile(file.get(), bytes) != ReadOutcome::Read ||
        !decodeUtf8(bytes.data(), bytes.size(), text)) {
        return false;
    }
    std::vector<std::wstring> lines = splitLines(text);
    if (lines.size() != kNoteLines || !parseSizeText(lines[2], note.total)) {
        return false;
    }
    note.url = lines[0];
    note.validator = lines[1];
    note.sha256 = lines[3];
    return !note.validator.empty();
}

namespace {

bool keptFor(const std::wstring& stagingFolder, const std::wstring& fileName, const std::wstring& stagingName,
             const ManifestFileEntry& entry)
{
    ResumeNote note;
    return (fileName == stagingName || fileName == stagingName + L".note") &&
           readResumeNote(joinPath(stagingFolder, stagingName), note) && noteFits(note, entry);
}

bool keptForPatch(const std::wstring& stagingFolder, const std::wstring& fileName, const ManifestFileEntry& entry)
{
    std::wstring patchName = lastPathElement(patchStagingPath(stagingFolder, entry.name));
    for (const ManifestDelta& delta : entry.deltas) {
        if (keptFor(stagingFolder, fileName, patchName, patchDownloadOf(entry, delta))) {
            return true;
        }
    }
    return false;
}

// A partial file of an entry, of its compressed copy, or of one of its patches.
bool keptForEntry(const std::wstring& stagingFolder, const std::wstring& fileName, const UpdateManifest& manifest)
{
    for (const ManifestFileEntry& entry : manifest.files) {
        if (keptFor(stagingFolder, fileName, entry.name + L".new", entry) ||
            (usesCompressedCopy(entry) &&
             keptFor(stagingFolder, fileName, lastPathElement(compressedStagingPath(stagingFolder, entry.name)),
                     compressedCopyOf(entry))) ||
            keptForPatch(stagingFolder, fileName, entry)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool clearStagingKeepingResumable(const std::wstring& stagingFolder, const UpdateManifest& manifest)
{
    DWORD attributes = GetFileAttributesW(stagingFolder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    WIN32_FIND_DATAW found = {};
    FindHandle search(FindFirstFileW(joinPath(stagingFolder, L"*").c_str(), &found));
    if (!search) {
        return false;
    }
    do {
        std::wstring name = found.cFileName;
        bool plainFile = (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
        if (name != L"." && name != L".." && !(plainFile && keptForEntry(stagingFolder, name, manifest))) {
            removeTree(joinPath(stagingFolder, name));
        }
    } while (FindNextFileW(search.get(), &found));
    return true;
}

bool noteFits(const ResumeNote& note, const ManifestFileEntry& entry)
{
    return note.url == entry.url && note.sha256 == toUpperAscii(entry.sha256) &&
           (!entry.hasSize || note.total == entry.size);
}

}  // namespace ovan
