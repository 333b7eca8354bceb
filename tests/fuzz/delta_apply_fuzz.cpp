// libFuzzer target over the patch reader: any input must be applied or refused, within the sizes it claims,
// without touching memory it does not own. The first byte chooses the form of the rest: odd, a patch as it
// is; even, a header and blocks that are deflated here, so that mutations reach the blocks themselves.
#include "fuzz_old_file.h"
#include "update/delta_patch.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

using namespace ovan;

class FixedOldFile : public DeltaOldFile {
public:
    uint64_t size() const override { return bytes_.size(); }
    bool read(uint64_t offset, unsigned char* into, uint32_t length, std::wstring&) override
    {
        if (offset > bytes_.size() || length > bytes_.size() - offset) {
            std::abort();
        }
        std::memcpy(into, bytes_.data() + offset, length);
        return true;
    }

private:
    ByteBuffer bytes_ = fuzzOldFile();
};

class Input : public DeltaPatchInput {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool read(unsigned char* into, uint32_t capacity, uint32_t& got, std::wstring&) override
    {
        got = static_cast<uint32_t>(std::min<size_t>(capacity, size_ - at_));
        if (got > 0) {
            std::memcpy(into, data_ + at_, got);
        }
        at_ += got;
        return true;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// Counts what it is given; more than the header's new size is a fault of the reader.
class CountingSink : public BodySink {
public:
    explicit CountingSink(uint64_t limit) : limit_(limit) {}
    bool write(const unsigned char* data, size_t size, std::wstring&) override
    {
        if (size == 0 || size > 64 * 1024 || size > limit_ - written_) {
            std::abort();
        }
        volatile unsigned char touch = data[size - 1];
        (void)touch;
        written_ += size;
        return true;
    }

private:
    uint64_t limit_;
    uint64_t written_ = 0;
};

uint64_t claimedNewSize(const uint8_t* data, size_t size)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0 && size >= kDeltaHeaderSize; --i) {
        value = (value << 8) | data[20 + i];
    }
    return value;
}

// The header, then the rest deflated as a patch carries it.
ByteBuffer withDeflatedBlocks(const uint8_t* data, size_t size)
{
    size_t headerSize = std::min<size_t>(size, kDeltaHeaderSize);
    ByteBuffer patch(data, data + headerSize);
    uLongf room = compressBound(static_cast<uLong>(size - headerSize));
    patch.resize(headerSize + room);
    compress2(patch.data() + headerSize, &room, data + headerSize, static_cast<uLong>(size - headerSize), 1);
    patch.resize(headerSize + room);
    return patch;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FixedOldFile oldFile;
    if (size == 0) {
        return 0;
    }
    ByteBuffer patch = data[0] % 2 == 1 ? ByteBuffer(data + 1, data + size) : withDeflatedBlocks(data + 1, size - 1);
    data = patch.data();
    size = patch.size();
    Input input(data, size);
    CountingSink sink(claimedNewSize(data, size));
    std::wstring errorText;
    if (!applyDeltaPatch(input, oldFile, sink, errorText) && errorText.empty()) {
        std::abort();
    }
    return 0;
}
