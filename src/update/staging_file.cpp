#include "update/staging_file.h"

#include "common/file_bytes.h"
#include "common/file_removal.h"
#include "common/memory_guard.h"

#include <windows.h>

namespace ovan {

StagingFile::StagingFile(std::wstring path, uint64_t kept) : path_(std::move(path)), size_(kept) {}

bool StagingFile::opened(std::wstring& errorText)
{
    if (file_) {
        return true;
    }
    file_.reset(CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER offset = {};
    offset.QuadPart = static_cast<LONGLONG>(size_);
    if (!file_ || !SetFilePointerEx(file_.get(), offset, nullptr, FILE_BEGIN) || !SetEndOfFile(file_.get())) {
        file_.reset();
        return failToWrite(errorText);
    }
    return true;
}

bool StagingFile::write(const unsigned char* data, size_t size, std::wstring& errorText)
{
    if (!opened(errorText)) {
        return false;
    }
    if (!withinMemory([&] { pending_.insert(pending_.end(), data, data + size); })) {
        return failToWrite(errorText);
    }
    size_ += size;
    return pending_.size() < kWriteBytes || writePending(errorText);
}

bool StagingFile::writePending(std::wstring& errorText)
{
    if (!writeBytes(file_.get(), pending_.data(), pending_.size(), false)) {
        return failToWrite(errorText);
    }
    pending_.clear();
    return true;
}

void StagingFile::restartAt(uint64_t offset)
{
    pending_.clear();
    file_.reset();
    size_ = offset;
}

void StagingFile::close()
{
    std::wstring ignored;
    if (file_) {
        writePending(ignored);
    }
    file_.reset();
}

bool StagingFile::finish(bool durable, std::wstring& errorText)
{
    if (!opened(errorText) || !writePending(errorText)) {
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
    pending_.clear();
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
