#pragma once

#include "common/scoped_handle.h"
#include "transfer/body_sink.h"

#include <cstdint>
#include <string>

namespace ovan {

// A staged file written piece by piece as its body arrives, so memory does not grow with the file beyond
// one write's worth.
class StagingFile : public BodySink {
public:
    // kept: bytes already on disk from an earlier transfer that the next piece follows.
    explicit StagingFile(std::wstring path, uint64_t kept = 0);

    bool write(const unsigned char* data, size_t size, std::wstring& errorText) override;

    // The next piece goes to offset; whatever lay after it is dropped.
    void restartAt(uint64_t offset);

    // Closes the file, its bytes first made to reach the disk when durable.
    bool finish(bool durable, std::wstring& errorText);

    // Closes and removes what was written: a failed download leaves nothing behind.
    void discard();

    // Closes the file and keeps what was written.
    void close();

    uint64_t size() const { return size_; }

private:
    // The file is opened when the first piece (or, for an empty body, the end) arrives, so a download
    // the server refuses creates nothing.
    bool opened(std::wstring& errorText);
    bool writePending(std::wstring& errorText);
    bool failToWrite(std::wstring& errorText) const;

    // Pieces are gathered to this size before they are written: fewer, larger writes.
    static const size_t kWriteBytes = 1024 * 1024;

    std::wstring path_;
    FileHandle file_;
    ByteBuffer pending_;
    uint64_t size_;
};

}  // namespace ovan
