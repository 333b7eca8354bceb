#include "publisher/release_rules.h"

#include "common/paths.h"
#include "common/text.h"
#include "manifest/update_manifest.h"
#include "transfer/http_get.h"
#include "versions/version_compare.h"

#include <cstdint>
#include <cstdlib>
#include <cwchar>

namespace ovan {

namespace {

bool isControl(wchar_t c)
{
    return c < 0x20 || c == 0x7F;
}

// Characters that would end a value, a file object or the file list early, or start an escape.
std::vector<std::wstring> scannerProblems(const std::wstring& text)
{
    std::vector<std::wstring> problems;
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\' || c == L']' || c == L'}') {
            problems.push_back(std::wstring(L"zawiera znak ") + c + L", którego launcher nie przeniesie");
            return problems;
        }
        if (isControl(c)) {
            problems.push_back(L"zawiera znak sterujący");
            return problems;
        }
    }
    if (trimWhitespace(text) != text) {
        problems.push_back(L"zaczyna się albo kończy białym znakiem, który launcher usunie");
    }
    return problems;
}

bool isAsciiDigits(const std::wstring& text)
{
    if (text.empty()) {
        return false;
    }
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<std::wstring> fileNameProblems(const std::wstring& name)
{
    std::vector<std::wstring> problems = scannerProblems(name);
    if (isDeviceName(name)) {
        problems.push_back(L"to nazwa urządzenia Windows (jak CON, NUL, AUX, COM1 czy LPT1), a nie pliku");
    } else if (problems.empty() && !isPlainFileName(name)) {
        problems.push_back(L"nie jest zwykłą nazwą pliku (bez folderu, dysku, kropki ani spacji na końcu)");
    }
    if (name.find_first_of(L"<>|?*") != std::wstring::npos) {
        problems.push_back(L"zawiera znak niedozwolony w nazwach plików Windows");
    }
    std::wstring working = workingNameProblem(name);
    if (!working.empty()) {
        problems.push_back(working);
    }
    return problems;
}

std::wstring workingNameProblem(const std::wstring& name)
{
    // The staging folder would be moved away as this file's backup, so the update could never finish;
    // the version file is overwritten right after the swap; the log's history would go with the backup.
    const wchar_t* working = clashingWorkingName(name);
    if (working == nullptr) {
        return std::wstring();
    }
    return std::wstring(L"to nazwa, której launcher używa sam w folderze aplikacji (") + working + L")";
}

std::vector<std::wstring> versionProblems(const std::wstring& version)
{
    std::vector<std::wstring> problems = scannerProblems(version);
    if (version.empty()) {
        problems.push_back(L"jest pusta");
        return problems;
    }
    std::vector<int32_t> numbers = splitVersion(version);
    size_t start = 0;
    for (int32_t number : numbers) {
        size_t dot = version.find(L'.', start);
        std::wstring part = version.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start);
        if (!isAsciiDigits(part)) {
            problems.push_back(L"część „" + part + L"” nie jest liczbą, launcher odczyta ją jako " +
                               std::to_wstring(number));
        } else if (part.size() > 10 || std::wcstoll(part.c_str(), nullptr, 10) > INT32_MAX) {
            problems.push_back(L"część „" + part + L"” przekracza zakres, launcher odczyta ją jako " +
                               std::to_wstring(number));
        }
        start = dot + 1;
    }
    return problems;
}

std::vector<std::wstring> addressProblems(const std::wstring& address)
{
    std::vector<std::wstring> problems = scannerProblems(address);
    if (!isFetchableUrl(address)) {
        problems.push_back(L"nie jest adresem http ani https, który launcher potrafi pobrać");
    }
    return problems;
}

bool isSha256Text(const std::wstring& digest)
{
    if (digest.size() != 64) {
        return false;
    }
    for (wchar_t c : digest) {
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F'))) {
            return false;
        }
    }
    return true;
}

std::wstring fileAddress(const std::wstring& baseAddress, const std::wstring& name)
{
    std::wstring address = baseAddress;
    if (address.empty() || address.back() != L'/') {
        address += L'/';
    }
    for (unsigned char byte : encodeUtf8(name)) {
        bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
                          byte == '-' || byte == '.' || byte == '_' || byte == '~';
        if (unreserved) {
            address += static_cast<wchar_t>(byte);
        } else {
            wchar_t escaped[4] = {};
            swprintf(escaped, 4, L"%%%02X", byte);
            address += escaped;
        }
    }
    return address;
}

std::wstring contentAddress(const std::wstring& baseAddress, const std::wstring& sha256, const std::wstring& name)
{
    return fileAddress(fileAddress(fileAddress(baseAddress, L"files"), sha256), name);
}

std::wstring layoutFolder(const std::wstring& root, const std::wstring& digestFolder)
{
    return joinPath(joinPath(root, L"files"), digestFolder);
}

std::wstring compressedFolder(const std::wstring& sha256)
{
    return sha256 + L".zlib";
}

std::wstring compressedAddress(const std::wstring& baseAddress, const std::wstring& sha256, const std::wstring& name)
{
    return contentAddress(baseAddress, compressedFolder(sha256), name);
}

}  // namespace ovan
