#include "update/installed_files.h"

#include "transfer/sha256_file.h"

#include <windows.h>

namespace ovan {

namespace {

uint64_t joined(DWORD high, DWORD low)
{
    return (static_cast<uint64_t>(high) << 32) | low;
}

FileStamp stampOf(const WIN32_FILE_ATTRIBUTE_DATA& data)
{
    FileStamp stamp;
    stamp.size = joined(data.nFileSizeHigh, data.nFileSizeLow);
    stamp.lastWriteTime = joined(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
    return stamp;
}

}  // namespace

InstalledDigest installedFileDigest(const InstalledRecord& record, const std::wstring& name, const std::wstring& path)
{
    InstalledDigest digest;
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        DWORD code = GetLastError();
        digest.state = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? InstalledState::Missing
                                                                                   : InstalledState::Unreadable;
        return digest;
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        digest.state = InstalledState::NotAFile;
        return digest;
    }
    // Taken before the bytes are read: a file changed while it is hashed no longer matches this stamp.
    digest.stamp = stampOf(data);
    auto recorded = record.find(name);
    if (recorded != record.end() && recorded->second.stamp == digest.stamp) {
        digest.sha256 = recorded->second.sha256;
        digest.state = InstalledState::Read;
        return digest;
    }
    digest.hashed = true;
    digest.state = sha256FileHex(path, digest.sha256) ? InstalledState::Read : InstalledState::Unreadable;
    return digest;
}

bool readFileStamp(const std::wstring& path, FileStamp& stamp)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    stamp = stampOf(data);
    return true;
}

}  // namespace ovan
