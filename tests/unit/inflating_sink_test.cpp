#include "transfer/inflating_sink.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace {

using namespace ovan;

// Keeps what reaches it, as a staged file would.
class Collected : public BodySink {
public:
    bool write(const unsigned char* data, size_t size, std::wstring&) override
    {
        bytes.insert(bytes.end(), data, data + size);
        return true;
    }
    ByteBuffer bytes;
};

ByteBuffer deflated(const ByteBuffer& plain)
{
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    ByteBuffer out(size);
    EXPECT_EQ(compress2(out.data(), &size, plain.data(), static_cast<uLong>(plain.size()), 9), Z_OK);
    out.resize(size);
    return out;
}

ByteBuffer program(size_t size)
{
    ByteBuffer bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 7 + i / 300) % 251);
    }
    return bytes;
}

// Feeds the stream in pieces of the given size; returns the first failure's text, or "" when it ends well.
std::wstring inflateInPieces(const ByteBuffer& stream, uint64_t expected, size_t piece, Collected& target)
{
    InflatingSink sink(target, expected, stream.size(), L"app.dll");
    std::wstring errorText;
    for (size_t at = 0; at < stream.size(); at += piece) {
        if (!sink.write(stream.data() + at, std::min(piece, stream.size() - at), errorText)) {
            return errorText;
        }
    }
    return sink.finish(errorText) ? L"" : errorText;
}

const std::wstring kDamaged = L"Skompresowana kopia pliku jest uszkodzona: app.dll";
const std::wstring kTooLong = L"Skompresowana kopia pliku rozpakowuje się do więcej bajtów, niż podaje manifest: app.dll";
const std::wstring kTooShort = L"Skompresowana kopia pliku rozpakowuje się do mniej bajtów, niż podaje manifest: app.dll";

TEST(InflatingSink, AGoodStreamArrivesWholeInAnyPieces)
{
    ByteBuffer plain = program(300000);
    ByteBuffer stream = deflated(plain);
    for (size_t piece : {size_t(1), size_t(7), size_t(65536), stream.size()}) {
        Collected target;
        EXPECT_EQ(inflateInPieces(stream, plain.size(), piece, target), L"") << piece;
        EXPECT_EQ(target.bytes, plain) << piece;
    }
    Collected empty;
    EXPECT_EQ(inflateInPieces(deflated(ByteBuffer()), 0, 1, empty), L"");
    EXPECT_TRUE(empty.bytes.empty());
}

TEST(InflatingSink, RefusesWhatIsNotTheFile)
{
    ByteBuffer plain = program(100000);
    ByteBuffer stream = deflated(plain);
    ByteBuffer flipped = stream;
    flipped[stream.size() / 2] ^= 0x55;
    ByteBuffer cut(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(stream.size() / 2));
    ByteBuffer trailing = stream;
    trailing.push_back(0);
    ByteBuffer badChecksum = stream;
    badChecksum.back() ^= 1;
    struct Row {
        const char* label;
        ByteBuffer stream;
        uint64_t expected;
        std::wstring text;
    };
    const Row rows[] = {
        {"a byte changed inside", flipped, plain.size(), kDamaged},
        {"cut off", cut, plain.size(), kDamaged},
        {"bytes after its end", trailing, plain.size(), kDamaged},
        {"a wrong checksum", badChecksum, plain.size(), kDamaged},
        {"not zlib at all", plain, plain.size(), kDamaged},
        {"longer than the manifest says", stream, plain.size() - 1, kTooLong},
        {"shorter than the manifest says", stream, plain.size() + 1, kTooShort},
    };
    for (const Row& row : rows) {
        Collected target;
        EXPECT_EQ(inflateInPieces(row.stream, row.expected, 4096, target), row.text) << row.label;
        EXPECT_LE(target.bytes.size(), row.expected) << row.label;
    }
}

TEST(InflatingSink, RefusesAStreamLongerThanTheCopy)
{
    ByteBuffer plain = program(100000);
    ByteBuffer stream = deflated(plain);
    Collected target;
    InflatingSink sink(target, plain.size(), stream.size() - 1, L"app.dll");
    std::wstring errorText;
    EXPECT_FALSE(sink.write(stream.data(), stream.size(), errorText));
    EXPECT_EQ(errorText, kDamaged);
    EXPECT_TRUE(target.bytes.empty());
}

TEST(InflatingSink, StopsASmallStreamThatInflatesWithoutEnd)
{
    ByteBuffer zeros(64 * 1024 * 1024);
    ByteBuffer stream = deflated(zeros);
    zeros = ByteBuffer();
    ASSERT_LT(stream.size(), 100000u);
    Collected target;
    EXPECT_EQ(inflateInPieces(stream, 1000, stream.size(), target), kTooLong);
    EXPECT_EQ(target.bytes.size(), 0u);  // the first output piece already passes the size: nothing is handed on
}

}  // namespace
