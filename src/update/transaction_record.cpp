#include "update/transaction_record.h"

#include "common/file_bytes.h"
#include "common/file_moves.h"
#include "common/file_removal.h"
#include "common/record_text.h"
#include "common/text.h"
#include "common/working_names.h"

#include <windows.h>

#include <algorithm>
#include <iterator>

namespace ovan {

namespace {

const wchar_t* const kHeader = L"OVAN update record 1";
const wchar_t* const kLineEnd = L"\r\n";

std::wstring recordText(const RecordedTransaction& transaction)
{
    std::wstring text = std::wstring(kHeader) + kLineEnd;
    text += L"version\t" + escapeRecordValue(transaction.version) + kLineEnd;
    text += std::wstring(L"obsolete\t") + (transaction.deletesObsoleteExecutable ? L"1" : L"0") + kLineEnd;
    for (const RecordedEntry& entry : transaction.entries) {
        text += std::wstring(L"entry\t") + (entry.targetExisted ? L"1" : L"0") + L"\t" + escapeRecordValue(entry.name) +
                kLineEnd;
    }
    for (size_t index = 0; index < transaction.entries.size(); ++index) {
        if (transaction.entries[index].backupNoted) {
            text += L"backup\t" + std::to_wstring(index) + kLineEnd;
        }
        if (transaction.entries[index].replaceNoted) {
            text += L"replace\t" + std::to_wstring(index) + kLineEnd;
        }
    }
    return text;
}

bool writeText(HANDLE file, const std::wstring& text, bool durable)
{
    std::string bytes = encodeUtf8(text);
    return writeBytes(file, bytes.data(), bytes.size(), durable);
}

// The complete lines of the record; a last line without its line end was cut off while being noted.
bool recordLines(const ByteBuffer& bytes, std::vector<std::wstring>& lines)
{
    static const unsigned char lineEnd[] = {'\r', '\n'};
    auto complete = std::find_end(bytes.begin(), bytes.end(), std::begin(lineEnd), std::end(lineEnd));
    std::wstring text;
    if (complete == bytes.end() || !decodeUtf8(bytes.data(), static_cast<size_t>(complete - bytes.begin()), text)) {
        return false;
    }
    lines = splitText(text, kLineEnd);
    return true;
}

bool readFlag(const std::wstring& text, bool& flag)
{
    flag = text == L"1";
    return text == L"0" || text == L"1";
}

// A move line names its entry by its place in the record.
bool readMove(const std::vector<std::wstring>& parts, std::vector<RecordedEntry>& entries)
{
    if (parts.size() != 2 || parts[1].empty() || parts[1].size() > 9 ||
        parts[1].find_first_not_of(L"0123456789") != std::wstring::npos) {
        return false;
    }
    size_t index = std::stoul(parts[1]);
    if (index >= entries.size()) {
        return false;
    }
    (parts[0] == L"backup" ? entries[index].backupNoted : entries[index].replaceNoted) = true;
    return true;
}

bool readLine(const std::wstring& line, RecordedTransaction& transaction)
{
    std::vector<std::wstring> parts = splitText(line, L"\t");
    if (parts[0] == L"entry" && parts.size() == 3) {
        RecordedEntry entry;
        transaction.entries.push_back(entry);
        RecordedEntry& added = transaction.entries.back();
        return readFlag(parts[1], added.targetExisted) && unescapeRecordValue(parts[2], added.name) &&
               !added.name.empty();
    }
    if (parts[0] == L"backup" || parts[0] == L"replace") {
        return readMove(parts, transaction.entries);
    }
    return false;
}

bool parseRecord(const std::vector<std::wstring>& lines, RecordedTransaction& transaction)
{
    if (lines.size() < 3 || lines[0] != kHeader) {
        return false;
    }
    std::vector<std::wstring> version = splitText(lines[1], L"\t");
    std::vector<std::wstring> obsolete = splitText(lines[2], L"\t");
    if (version.size() != 2 || version[0] != L"version" || !unescapeRecordValue(version[1], transaction.version) ||
        obsolete.size() != 2 || obsolete[0] != L"obsolete" ||
        !readFlag(obsolete[1], transaction.deletesObsoleteExecutable)) {
        return false;
    }
    for (size_t i = 3; i < lines.size(); ++i) {
        if (!readLine(lines[i], transaction)) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::wstring transactionRecordPath(const AppFolder& appFolder)
{
    return joinPath(appFolder, kJournalName);
}

TransactionRecord::TransactionRecord(const AppFolder& appFolder, bool durable)
    : appFolder_(appFolder), durable_(durable)
{
}

bool TransactionRecord::create(const RecordedTransaction& transaction, const std::wstring& stagingFolder,
                               std::wstring& errorText)
{
    std::wstring path = transactionRecordPath(appFolder_);
    std::wstring draftPath = joinPath(stagingFolder, kJournalName);
    bool written = false;
    {
        FileHandle draft(CreateFileW(draftPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        written = draft && writeText(draft.get(), recordText(transaction), durable_);
    }
    unsigned long code = 0;
    if (written && moveReplacing(draftPath, path, code)) {
        file_.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file_) {
            return true;
        }
        remove();
    }
    errorText = L"Nie udało się zapisać pliku: " + path;
    return false;
}

bool TransactionRecord::append(const std::wstring& line, std::wstring& errorText)
{
    if (file_ && writeText(file_.get(), line + kLineEnd, durable_)) {
        return true;
    }
    errorText = L"Nie udało się zapisać pliku: " + transactionRecordPath(appFolder_);
    return false;
}

bool TransactionRecord::noteBackup(size_t index, std::wstring& errorText)
{
    return append(L"backup\t" + std::to_wstring(index), errorText);
}

bool TransactionRecord::noteReplace(size_t index, std::wstring& errorText)
{
    return append(L"replace\t" + std::to_wstring(index), errorText);
}

bool TransactionRecord::remove()
{
    file_.reset();
    return removeTransactionRecord(appFolder_);
}

bool removeTransactionRecord(const AppFolder& appFolder)
{
    return removeTree(transactionRecordPath(appFolder));
}

RecordState readTransactionRecord(const AppFolder& appFolder, RecordedTransaction& transaction)
{
    FileHandle file(CreateFileW(transactionRecordPath(appFolder).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? RecordState::Missing
                                                                           : RecordState::Unreadable;
    }
    ByteBuffer bytes;
    std::vector<std::wstring> lines;
    return readWholeFile(file.get(), bytes) == ReadOutcome::Read && recordLines(bytes, lines) &&
                   parseRecord(lines, transaction)
               ? RecordState::Read
               : RecordState::Unreadable;
}

}  // namespace ovan
