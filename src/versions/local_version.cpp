#include "versions/local_version.h"

#include "common/file_bytes.h"
#include "common/file_moves.h"
#include "common/file_removal.h"
#include "common/memory_guard.h"
#include "common/scoped_handle.h"
#include "common/text.h"
#include "common/working_names.h"
#include "diagnostics/error_text.h"

#include <windows.h>

namespace ovan {

namespace {

const wchar_t* const kOutOfMemoryText = L"Za mało pamięci, aby odczytać plik current.txt";

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
    return writeBytes(file.get(), byteOrderMark, sizeof byteOrderMark, false) &&
           writeBytes(file.get(), encoded.data(), encoded.size(), durable);
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
