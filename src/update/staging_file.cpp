#include "update/staging_file.h"

#include "common/file_bytes.h"
#include "common/file_removal.h"

#include <windows.h>

namespace ovan {

StagingFile::StagingFile(std::wstring path) : path_(std::move(path)) {}

bool StagingFile::opened(std::wstring& errorText)
{
    if (!file_) {
        file_.reset(CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    return file_ || failToWrite(errorText);
}

bool StagingFile::write(const unsigned char* data, size_t size, std::wstring& errorText)
{
    if (!opened(errorText)) {
        return false;
    }
    if (!writeBytes(file_.get(), data, size, false)) {
        return failToWrite(errorText);
    }
    size_ += size;
    return true;
}

bool StagingFile::finish(bool durable, std::wstring& errorText)
{
    if (!opened(errorText)) {
        return false;
    }
    if (!writeBytes(file_.get(), nullptr, 0, durable)) {
        return failToWrite(errorText);
    }
    file_.reset();
    return true;
}

void StagingFile::discard()
{
    if (!file_) {
        return;
    }
    file_.reset();
    unsigned long ignored = 0;
    removeFile(path_, ignored);
}

bool StagingFile::failToWrite(std::wstring& errorText) const
{
    errorText = L"Nie udało się zapisać pliku: " + path_;
    return false;
}

}  // namespace ovan
