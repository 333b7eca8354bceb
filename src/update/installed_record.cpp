#include "update/installed_record.h"

#include "common/file_bytes.h"
#include "common/file_moves.h"
#include "common/file_removal.h"
#include "common/record_text.h"
#include "common/scoped_handle.h"
#include "common/working_names.h"
#include "manifest/update_manifest.h"

#include <windows.h>

#include <vector>

namespace ovan {

namespace {

const wchar_t* const kHeader = L"OVAN installed files 1";
const wchar_t* const kLineEnd = L"\r\n";
const size_t kDigestLength = 64;

bool isUpperHexDigest(const std::wstring& text)
{
    return text.size() == kDigestLength && text.find_first_not_of(L"0123456789ABCDEF") == std::wstring::npos;
}

// "file<TAB>size<TAB>last write time<TAB>SHA-256<TAB>name"
bool readFileLine(const std::wstring& line, InstalledRecord& record)
{
    std::vector<std::wstring> parts = splitText(line, L"\t");
    std::wstring name;
    RecordedFile file;
    if (parts.size() != 5 || parts[0] != L"file" || !parseSizeText(parts[1], file.stamp.size) ||
        !parseSizeText(parts[2], file.stamp.lastWriteTime) || !isUpperHexDigest(parts[3]) ||
        !unescapeRecordValue(parts[4], name) || name.empty()) {
        return false;
    }
    file.sha256 = parts[3];
    return record.emplace(name, file).second;
}

std::wstring recordPath(const AppFolder& appFolder)
{
    return joinPath(appFolder, kInstalledRecordName);
}

std::wstring draftPath(const AppFolder& appFolder)
{
    return joinPath(appFolder, kInstalledRecordTempName);
}

}  // namespace

std::string installedRecordBytes(const InstalledRecord& record)
{
    std::wstring text = std::wstring(kHeader) + kLineEnd;
    for (const auto& file : record) {
        text += L"file\t" + std::to_wstring(file.second.stamp.size) + L"\t" +
                std::to_wstring(file.second.stamp.lastWriteTime) + L"\t" + file.second.sha256 + L"\t" +
                escapeRecordValue(file.first) + kLineEnd;
    }
    return encodeUtf8(text);
}

bool parseInstalledRecord(const ByteBuffer& bytes, InstalledRecord& record)
{
    record.clear();
    std::wstring text;
    if (!decodeUtf8(bytes.data(), bytes.size(), text)) {
        return false;
    }
    std::vector<std::wstring> lines = splitText(text, kLineEnd);
    // The text ends with a line end, so the last part is empty; a record cut short has none.
    if (lines.size() < 2 || lines.front() != kHeader || !lines.back().empty()) {
        return false;
    }
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        if (!readFileLine(lines[i], record)) {
            record.clear();
            return false;
        }
    }
    return true;
}

InstalledRecord readInstalledRecord(const AppFolder& appFolder)
{
    FileHandle file(CreateFileW(recordPath(appFolder).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    ByteBuffer bytes;
    InstalledRecord record;
    if (!file || readWholeFile(file.get(), bytes) != ReadOutcome::Read || !parseInstalledRecord(bytes, record)) {
        return InstalledRecord();
    }
    return record;
}

bool draftInstalledRecord(const AppFolder& appFolder, const InstalledRecord& record, bool durable)
{
    std::string bytes = installedRecordBytes(record);
    bool written = false;
    {
        FileHandle draft(CreateFileW(draftPath(appFolder).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        written = draft && writeBytes(draft.get(), bytes.data(), bytes.size(), durable);
    }
    if (!written) {
        discardInstalledRecordDraft(appFolder);
    }
    return written;
}

void placeInstalledRecord(const AppFolder& appFolder)
{
    unsigned long ignored = 0;
    if (!moveReplacing(draftPath(appFolder), recordPath(appFolder), ignored)) {
        discardInstalledRecordDraft(appFolder);
    }
}

void discardInstalledRecordDraft(const AppFolder& appFolder)
{
    unsigned long ignored = 0;
    removeFile(draftPath(appFolder), ignored);
}

void writeInstalledRecord(const AppFolder& appFolder, const InstalledRecord& record, bool durable)
{
    if (draftInstalledRecord(appFolder, record, durable)) {
        placeInstalledRecord(appFolder);
    }
}

}  // namespace ovan
