#pragma once

#include "common/text.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace ovan {

// Where a download puts its body: each piece as it arrives, in order. A sink that cannot take a
// piece says why in errorText and the download stops there.
class BodySink {
public:
    virtual bool write(const unsigned char* data, size_t size, std::wstring& errorText) = 0;

protected:
    ~BodySink() = default;
};

// Keeps the whole body in memory; for the small answers (the manifest, its signature).
class BufferSink : public BodySink {
public:
    // address names the download in the text for memory that ran out.
    BufferSink(ByteBuffer& bytes, std::wstring address);

    // A hint taken from the announced length; false when no buffer of this process can hold it.
    bool expect(uint64_t length, std::wstring& errorText);

    bool write(const unsigned char* data, size_t size, std::wstring& errorText) override;

private:
    bool failForMemory(std::wstring& errorText) const;

    ByteBuffer& bytes_;
    std::wstring address_;
};

}  // namespace ovan
