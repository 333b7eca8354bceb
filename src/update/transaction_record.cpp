#include "update/transaction_record.h"

#include "common/file_bytes.h"
#include "common/file_moves.h"
#include "common/file_removal.h"
#include "common/text.h"
#include "common/working_names.h"

#include <windows.h>

#include <algorithm>
#include <iterator>

namespace ovan {

namespace {

const wchar_t* const kHeader = L"OVAN update record 1";
const wchar_t* const kLineEnd = L"\r\n";

// Line ends and tabs inside a value are written as escapes, so that every record line is one value.
std::wstring escaped(const std::wstring& value)
{
    std::wstring text;
    for (wchar_t c : value) {
        switch (c) {
        case L'\\': text += L"\\\\"; break;
        case L'\t': text += L"\\t"; break;
        case L'\r': text += L"\\r"; break;
        case L'\n': text += L"\\n"; break;
        default: text += c;
        }
    }
    return text;
}

bool unescaped(const std::wstring& text, std::wstring& value)
{
    value.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\\') {
            value += text[i];
            continue;
        }
        if (++i == text.size()) {
            return false;
        }
        switch (text[i]) {
        case L'\\': value += L'\\'; break;
        case L't': value += L'\t'; break;
        case L'r': value += L'\r'; break;
        case L'n': value += L'\n'; break;
        default: return false;
        }
    }
    return true;
}

std::wstring recordText(const RecordedTransaction& transaction)
{
    std::wstring text = std::wstring(kHeader) + kLineEnd;
    text += L"version\t" + escaped(transaction.version) + kLineEnd;
    text += std::wstring(L"obsolete\t") + (transaction.deletesObsoleteExecutable ? L"1" : L"0") + kLineEnd;
    for (const RecordedEntry& entry : transaction.entries) {
        text += std::wstring(L"entry\t") + (entry.targetExisted ? L"1" : L"0") + L"\t" + escaped(entry.name) + kLineEnd;
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

std::vector<std::wstring> splitAt(const std::wstring& text, const std::wstring& separator)
{
    std::vector<std::wstring> parts;
    for (size_t start = 0;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos) {
            return parts;
        }
        start = end + separator.size();
    }
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
    lines = splitAt(text, kLineEnd);
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
    std::vector<std::wstring> parts = splitAt(line, L"\t");
    if (parts[0] == L"entry" && parts.size() == 3) {
        RecordedEntry entry;
        transaction.entries.push_back(entry);
        return readFlag(parts[1], transaction.entries.back().targetExisted) &&
               unescaped(parts[2], transaction.entries.back().name) && !transaction.entries.back().name.empty();
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
    std::vector<std::wstring> version = splitAt(lines[1], L"\t");
    std::vector<std::wstring> obsolete = splitAt(lines[2], L"\t");
    if (version.size() != 2 || version[0] != L"version" || !unescaped(version[1], transaction.version) ||
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
