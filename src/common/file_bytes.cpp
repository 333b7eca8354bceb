#include "common/file_bytes.h"

#include "common/memory_guard.h"

#include <cstdint>

namespace ovan {

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

bool fileLength(const std::wstring& path, uint64_t& length)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    length = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool writeBytes(HANDLE file, const void* data, size_t size, bool flush)
{
    DWORD written = 0;
    return (size == 0 || (WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) && written == size)) &&
           (!flush || FlushFileBuffers(file));
}

}  // namespace ovan
