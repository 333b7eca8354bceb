#include "versions/local_version.h"

#include "common/scoped_handle.h"
#include "common/text.h"
#include "diagnostics/error_text.h"

#include <windows.h>

namespace ovan {

namespace {

const wchar_t* const kVersionFileName = L"current.txt";

bool readWholeFile(HANDLE file, ByteBuffer& bytes)
{
    unsigned char chunk[65536];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, chunk, sizeof chunk, &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            return true;
        }
        bytes.insert(bytes.end(), chunk, chunk + read);
    }
}

bool writeAll(HANDLE file, const void* data, DWORD size)
{
    DWORD written = 0;
    return size == 0 || (WriteFile(file, data, size, &written, nullptr) && written == size);
}

}  // namespace

bool readUtf8TextFile(const std::wstring& path, std::wstring& text)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    ByteBuffer bytes;
    if (!file || !readWholeFile(file.get(), bytes)) {
        return false;
    }
    size_t offset = utf8ContentOffset(bytes.data(), bytes.size());
    return decodeUtf8(bytes.data() + offset, bytes.size() - offset, text);
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
    if (!readUtf8TextFile(path, version)) {
        errorText = L"Nie udało się odczytać pliku current.txt";
        return false;
    }
    version = trimWhitespace(version);
    if (version.empty()) {
        errorText = L"Plik current.txt jest pusty";
        return false;
    }
    return true;
}

bool writeLocalVersion(const std::wstring& filePath, const std::wstring& versionText)
{
    std::string encoded = encodeUtf8(versionText);
    FileHandle file(CreateFileW(filePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    static const unsigned char byteOrderMark[] = {0xEF, 0xBB, 0xBF};
    return writeAll(file.get(), byteOrderMark, sizeof byteOrderMark) &&
           writeAll(file.get(), encoded.data(), static_cast<DWORD>(encoded.size()));
}

}  // namespace ovan
