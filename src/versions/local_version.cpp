#include "versions/local_version.h"

#include "common/file_moves.h"
#include "common/file_removal.h"
#include "common/memory_guard.h"
#include "common/scoped_handle.h"
#include "common/text.h"
#include "common/working_names.h"
#include "diagnostics/error_text.h"

#include <windows.h>

#include <cstdint>

namespace ovan {

namespace {

const wchar_t* const kOutOfMemoryText = L"Za mało pamięci, aby odczytać plik current.txt";

enum class ReadOutcome { Read, Unreadable, OutOfMemory };

// The buffer takes the file's size first, so a file larger than memory fails before it is read.
ReadOutcome readWholeFile(HANDLE file, ByteBuffer& bytes)
{
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size)) {
        return ReadOutcome::Unreadable;
    }
    uint64_t length = static_cast<uint64_t>(size.QuadPart);
    if (length > bytes.max_size() || !withinMemory([&] { bytes.reserve(static_cast<size_t>(length)); })) {
        return ReadOutcome::OutOfMemory;
    }
    unsigned char chunk[65536];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, chunk, sizeof chunk, &read, nullptr)) {
            return ReadOutcome::Unreadable;
        }
        if (read == 0) {
            return ReadOutcome::Read;
        }
        if (!withinMemory([&] { bytes.insert(bytes.end(), chunk, chunk + read); })) {
            return ReadOutcome::OutOfMemory;
        }
    }
}

bool writeAll(HANDLE file, const void* data, DWORD size)
{
    DWORD written = 0;
    return size == 0 || (WriteFile(file, data, size, &written, nullptr) && written == size);
}

}  // namespace

bool readUtf8TextFile(const std::wstring& path, std::wstring& text, bool* outOfMemory)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    ByteBuffer bytes;
    ReadOutcome outcome = readWholeFile(file.get(), bytes);
    bool decoded = false;
    if (outcome == ReadOutcome::Read) {
        size_t offset = utf8ContentOffset(bytes.data(), bytes.size());
        if (!withinMemory([&] { decoded = decodeUtf8(bytes.data() + offset, bytes.size() - offset, text); })) {
            outcome = ReadOutcome::OutOfMemory;
        }
    }
    if (outOfMemory != nullptr) {
        *outOfMemory = outcome == ReadOutcome::OutOfMemory;
    }
    return decoded;
}

bool readLocalVersion(const AppFolder& appFolder, std::wstring& version, std::wstring& errorText)
{
    std::wstring path = joinPath(appFolder, kVersionFileName);
    unsigned long systemError = 0;
    switch (examinePath(path, systemError)) {
    case PathState::Missing:
        version = L"0.0.0";
        return true;
    case PathState::Unknown:
        errorText = pathNotExaminedText(path, systemError);
        return false;
    case PathState::Present:
        break;
    }
    bool outOfMemory = false;
    if (!readUtf8TextFile(path, version, &outOfMemory)) {
        errorText = outOfMemory ? kOutOfMemoryText : L"Nie udało się odczytać pliku current.txt";
        return false;
    }
    if (!withinMemory([&] { version = trimWhitespace(version); })) {
        errorText = kOutOfMemoryText;
        return false;
    }
    if (version.empty()) {
        errorText = L"Plik current.txt jest pusty";
        return false;
    }
    return true;
}

namespace {

bool writeVersionBytes(const std::wstring& path, const std::string& encoded, bool durable)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    static const unsigned char byteOrderMark[] = {0xEF, 0xBB, 0xBF};
    return writeAll(file.get(), byteOrderMark, sizeof byteOrderMark) &&
           writeAll(file.get(), encoded.data(), static_cast<DWORD>(encoded.size())) &&
           (!durable || FlushFileBuffers(file.get()));
}

}  // namespace

bool writeLocalVersion(const std::wstring& filePath, const std::wstring& versionText, bool durable)
{
    // Written beside it and moved over it, so that a crash leaves the old file or the new one, never an empty one.
    std::wstring temporaryPath = joinPath(parentPath(filePath), kVersionTempName);
    unsigned long code = 0;
    if (writeVersionBytes(temporaryPath, encodeUtf8(versionText), durable) &&
        moveReplacing(temporaryPath, filePath, code)) {
        return true;
    }
    removeFile(temporaryPath, code);
    return false;
}

}  // namespace ovan
