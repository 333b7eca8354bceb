#include "update/transaction_record.h"

#include "common/file_moves.h"
#include "common/file_removal.h"
#include "common/text.h"
#include "common/working_names.h"

#include <windows.h>

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
    return text;
}

bool writeAll(HANDLE file, const std::string& bytes, bool durable)
{
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size() && (!durable || FlushFileBuffers(file));
}

bool readAll(const std::wstring& path, std::string& bytes, DWORD& code)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        code = GetLastError();
        return false;
    }
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr)) {
        if (read == 0) {
            return true;
        }
        bytes.append(chunk, read);
    }
    code = GetLastError();
    return false;
}

// The complete lines of the record; a last line without its line end was cut off while being noted.
bool recordLines(const std::string& bytes, std::vector<std::wstring>& lines)
{
    size_t complete = bytes.rfind("\r\n");
    std::wstring text;
    if (complete == std::string::npos ||
        !decodeUtf8(reinterpret_cast<const unsigned char*>(bytes.data()), complete, text)) {
        return false;
    }
    for (size_t start = 0;;) {
        size_t end = text.find(kLineEnd, start);
        lines.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos) {
            return true;
        }
        start = end + 2;
    }
}

std::vector<std::wstring> fields(const std::wstring& line)
{
    std::vector<std::wstring> parts;
    for (size_t start = 0;;) {
        size_t tab = line.find(L'\t', start);
        parts.push_back(line.substr(start, tab == std::wstring::npos ? std::wstring::npos : tab - start));
        if (tab == std::wstring::npos) {
            return parts;
        }
        start = tab + 1;
    }
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
    std::vector<std::wstring> parts = fields(line);
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
    std::vector<std::wstring> version = fields(lines[1]);
    std::vector<std::wstring> obsolete = fields(lines[2]);
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
        written = draft && writeAll(draft.get(), encodeUtf8(recordText(transaction)), durable_);
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
    if (file_ && writeAll(file_.get(), encodeUtf8(line + kLineEnd), durable_)) {
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
    std::string bytes;
    DWORD code = 0;
    if (!readAll(transactionRecordPath(appFolder), bytes, code)) {
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? RecordState::Missing
                                                                           : RecordState::Unreadable;
    }
    std::vector<std::wstring> lines;
    return recordLines(bytes, lines) && parseRecord(lines, transaction) ? RecordState::Read : RecordState::Unreadable;
}

}  // namespace ovan
