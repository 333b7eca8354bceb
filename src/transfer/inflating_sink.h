#pragma once

#include "transfer/body_sink.h"

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ovan {

// Inflates a zlib stream into another sink as its pieces arrive, to exactly the size the file must have.
// Output beyond that size stops the stream before it is handed on, so a small copy that inflates without
// end never gets past that size.
class InflatingSink : public BodySink {
public:
    // compressedSize: the most the stream may bring; name: the file, for the texts of a failure.
    InflatingSink(BodySink& target, uint64_t expectedSize, uint64_t compressedSize, std::wstring name);
    ~InflatingSink();
    InflatingSink(const InflatingSink&) = delete;
    InflatingSink& operator=(const InflatingSink&) = delete;

    bool write(const unsigned char* data, size_t size, std::wstring& errorText) override;

    // Whether the stream ended whole, at exactly the expected size.
    bool finish(std::wstring& errorText);

private:
    bool inflatePiece(std::wstring& errorText);
    bool fail(const wchar_t* text, std::wstring& errorText) const;

    BodySink& target_;
    uint64_t expectedSize_;
    uint64_t compressedLeft_;
    std::wstring name_;
    uint64_t inflated_ = 0;
    z_stream stream_ = {};
    bool ready_ = false;
    bool ended_ = false;
    std::vector<unsigned char> out_;
};

// The same over a file on disk, read piece by piece.
bool inflateFileInto(const std::wstring& path, BodySink& target, uint64_t expectedSize, uint64_t compressedSize,
                     const std::wstring& name, std::wstring& errorText);

}  // namespace ovan
