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

std::wstring lastPathElement(const std::wstring& path)
{
    size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

AppFolder currentAppFolder()
{
    wchar_t modulePath[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    return parentPath(std::wstring(modulePath));
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
