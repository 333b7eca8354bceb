#include "common/file_removal.h"

#include "common/paths.h"
#include "common/scoped_handle.h"

#include <windows.h>

#include <vector>

namespace ovan {

namespace {

// Where the object at path really lies, the object itself and not what it may point to: its volume and
// its path on that volume; empty when it cannot be opened. (GetFinalPathNameByHandleW would do, but Wine
// refuses it for paths longer than MAX_PATH.)
std::wstring finalPathOf(const std::wstring& path)
{
    FileHandle object(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!object || !GetFileInformationByHandle(object.get(), &information)) {
        return std::wstring();
    }
    std::vector<unsigned char> nameInformation(sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t));
    if (!GetFileInformationByHandleEx(object.get(), FileNameInfo, nameInformation.data(),
                                      static_cast<DWORD>(nameInformation.size()))) {
        return std::wstring();
    }
    const FILE_NAME_INFO* name = reinterpret_cast<const FILE_NAME_INFO*>(nameInformation.data());
    return std::to_wstring(information.dwVolumeSerialNumber) + L"|" +
           std::wstring(name->FileName, name->FileNameLength / sizeof(wchar_t));
}

// Wine opens a link's target even when asked for the link itself, and every removal there acts on the
// target: such an object must be left alone.
bool liesWhereExpected(const std::wstring& path, const std::wstring& expectedFinalPath)
{
    std::wstring finalPath = finalPathOf(path);
    return !finalPath.empty() && sameFileName(finalPath, expectedFinalPath);
}

bool removeEntry(const std::wstring& path, const std::wstring& finalPath, DWORD attributes, bool withContents,
                 DWORD& code);

void removeContents(const std::wstring& folder, const std::wstring& finalFolder)
{
    WIN32_FIND_DATAW found = {};
    FindHandle search(FindFirstFileExW(joinPath(folder, L"*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                       nullptr, 0));
    if (!search) {
        return;
    }
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            DWORD ignored = 0;
            removeEntry(joinPath(folder, name), joinPath(finalFolder, name), found.dwFileAttributes, true, ignored);
        }
    } while (FindNextFileW(search.get(), &found));
}

bool succeeded(BOOL result, DWORD& code)
{
    if (!result) {
        code = GetLastError();
    }
    return result != FALSE;
}

bool removeEntry(const std::wstring& path, const std::wstring& finalPath, DWORD attributes, bool withContents,
                 DWORD& code)
{
    if (!liesWhereExpected(path, finalPath)) {
        code = ERROR_ACCESS_DENIED;
        return false;
    }
    bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A link is removed as itself: a folder link with RemoveDirectoryW, a file link with DeleteFileW.
    if (withContents && folder && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        removeContents(path, finalPath);
    }
    return folder ? succeeded(RemoveDirectoryW(path.c_str()), code) : succeeded(DeleteFileW(path.c_str()), code);
}

bool removeAt(const std::wstring& path, bool withContents, DWORD& code)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    }
    std::wstring finalParent = finalPathOf(parentPath(path));
    if (finalParent.empty()) {
        code = GetLastError();
        return false;
    }
    return removeEntry(path, joinPath(finalParent, lastPathElement(path)), attributes, withContents, code);
}

}  // namespace

bool removeTree(const std::wstring& path)
{
    DWORD ignored = 0;
    return removeAt(path, true, ignored);
}

bool removeFile(const std::wstring& path, unsigned long& code)
{
    DWORD result = 0;
    bool removed = removeAt(path, false, result);
    code = result;
    return removed;
}

}  // namespace ovan
