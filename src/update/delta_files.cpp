#include "update/delta_files.h"

#include "common/scoped_handle.h"
#include "diagnostics/error_text.h"
#include "update/delta_patch.h"

#include <windows.h>

namespace ovan {

namespace {

std::wstring unreadable(const std::wstring& path)
{
    return L"Nie udało się odczytać pliku: " + path + L". " + formatSystemError(GetLastError());
}

// Another process may hold the file open, even for writing: it is only read here.
FileHandle openForReading(const std::wstring& path, DWORD hint)
{
    return FileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, hint, nullptr));
}

class OldFileReader : public DeltaOldFile {
public:
    OldFileReader(HANDLE file, const std::wstring& path, uint64_t size) : file_(file), path_(path), size_(size) {}

    uint64_t size() const override { return size_; }

    bool read(uint64_t offset, unsigned char* into, uint32_t length, std::wstring& errorText) override
    {
        while (length > 0) {
            OVERLAPPED at = {};
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            DWORD read = 0;
            if (!ReadFile(file_, into, length, &read, &at) || read == 0) {
                errorText = unreadable(path_);
                return false;
            }
            offset += read;
            into += read;
            length -= read;
        }
        return true;
    }

private:
    HANDLE file_;
    const std::wstring& path_;
    uint64_t size_;
};

class PatchFileInput : public DeltaPatchInput {
public:
    PatchFileInput(HANDLE file, const std::wstring& path) : file_(file), path_(path) {}

    bool read(unsigned char* into, uint32_t capacity, uint32_t& got, std::wstring& errorText) override
    {
        DWORD read = 0;
        if (!ReadFile(file_, into, capacity, &read, nullptr)) {
            errorText = unreadable(path_);
            return false;
        }
        got = read;
        return true;
    }

private:
    HANDLE file_;
    const std::wstring& path_;
};

}  // namespace

bool applyDeltaFile(const std::wstring& patchPath, const std::wstring& oldPath, BodySink& output,
                    std::wstring& errorText)
{
    FileHandle patch = openForReading(patchPath, FILE_FLAG_SEQUENTIAL_SCAN);
    if (!patch) {
        errorText = unreadable(patchPath);
        return false;
    }
    FileHandle old = openForReading(oldPath, FILE_FLAG_RANDOM_ACCESS);
    LARGE_INTEGER oldSize = {};
    if (!old || !GetFileSizeEx(old.get(), &oldSize)) {
        errorText = unreadable(oldPath);
        return false;
    }
    OldFileReader oldFile(old.get(), oldPath, static_cast<uint64_t>(oldSize.QuadPart));
    PatchFileInput input(patch.get(), patchPath);
    return applyDeltaPatch(input, oldFile, output, errorText);
}

}  // namespace ovan
