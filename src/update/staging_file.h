#pragma once

#include "common/scoped_handle.h"
#include "transfer/body_sink.h"

#include <cstdint>
#include <string>

namespace ovan {

// A staged file written piece by piece as its body arrives, so memory does not grow with the file.
class StagingFile : public BodySink {
public:
    explicit StagingFile(std::wstring path);

    bool write(const unsigned char* data, size_t size, std::wstring& errorText) override;

    // Closes the file, its bytes first made to reach the disk when durable.
    bool finish(bool durable, std::wstring& errorText);

    // Closes and removes what was written: a failed download leaves nothing behind.
    void discard();

    uint64_t size() const { return size_; }

private:
    // The file is made when the first piece (or, for an empty body, the end) arrives, so a download the
    // server refuses creates nothing.
    bool opened(std::wstring& errorText);
    bool failToWrite(std::wstring& errorText) const;

    std::wstring path_;
    FileHandle file_;
    uint64_t size_ = 0;
};

}  // namespace ovan
