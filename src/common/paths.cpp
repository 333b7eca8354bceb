#include "common/paths.h"

#include <windows.h>

namespace ovan {

bool isPathSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

std::wstring joinPath(const std::wstring& left, const std::wstring& right)
{
    if (left.empty() || isPathSeparator(left.back())) {
        return left + right;
    }
    return left + L'\\' + right;
}

namespace {

// Length of the root of a path ("C:\", "\", "\\server\share\"), 0 when it has none.
size_t rootLength(const std::wstring& path)
{
    if (path.size() >= 2 && path[1] == L':') {
        return (path.size() >= 3 && isPathSeparator(path[2])) ? 3 : 2;
    }
    if (path.size() >= 2 && isPathSeparator(path[0]) && isPathSeparator(path[1])) {
        size_t serverEnd = path.find_first_of(L"\\/", 2);
        if (serverEnd == std::wstring::npos) {
            return path.size();
        }
        size_t shareEnd = path.find_first_of(L"\\/", serverEnd + 1);
        return shareEnd == std::wstring::npos ? path.size() : shareEnd + 1;
    }
    return (!path.empty() && isPathSeparator(path[0])) ? 1 : 0;
}

}  // namespace

std::wstring parentPath(const std::wstring& path)
{
    size_t root = rootLength(path);
    size_t end = path.size();
    while (end > root && !isPathSeparator(path[end - 1])) {
        --end;
    }
    while (end > root && isPathSeparator(path[end - 1])) {
        --end;
    }
    return path.substr(0, end);
}

bool sameFileName(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

std::wstring lastPathElement(const std::wstring& path)
{
    size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

namespace {

// A path has at most 32767 units; the buffer doubles from MAX_PATH until the whole path fits,
// because a cut-off path names some parent folder instead of the executable's own.
bool moduleFilePath(std::wstring& path, unsigned long& systemError)
{
    for (DWORD size = MAX_PATH; size < 2 * 32768; size *= 2) {
        std::wstring buffer(size, L'\0');
        DWORD length = GetModuleFileNameW(nullptr, &buffer[0], size);
        if (length == 0) {
            systemError = GetLastError();
            return false;
        }
        if (length < size) {
            buffer.resize(length);
            path = buffer;
            return true;
        }
    }
    systemError = ERROR_INSUFFICIENT_BUFFER;
    return false;
}

}  // namespace

bool currentAppFolder(AppFolder& appFolder, unsigned long& systemError)
{
    std::wstring modulePath;
    if (!moduleFilePath(modulePath, systemError)) {
        return false;
    }
    appFolder = parentPath(modulePath);
    return true;
}

PathState examinePath(const std::wstring& path, unsigned long& systemError)
{
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return PathState::Present;
    }
    systemError = GetLastError();
    switch (systemError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_NAME:
        return PathState::Missing;
    default:
        return PathState::Unknown;
    }
}

}  // namespace ovan
