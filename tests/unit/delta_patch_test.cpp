#include "publisher/delta_create.h"
#include "update/delta_patch.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace ovan;

const size_t kPiece = 64 * 1024;

class MemoryOldFile : public DeltaOldFile {
public:
    explicit MemoryOldFile(const ByteBuffer& bytes) : bytes_(bytes) {}
    uint64_t size() const override { return bytes_.size(); }
    bool read(uint64_t offset, unsigned char* into, uint32_t length, std::wstring& errorText) override
    {
        largestRead = std::max<size_t>(largestRead, length);
        if (offset > bytes_.size() || length > bytes_.size() - offset) {
            errorText = L"read outside the old file";
            return false;
        }
        std::memcpy(into, bytes_.data() + offset, length);
        return true;
    }
    size_t largestRead = 0;

private:
    const ByteBuffer& bytes_;
};

// The patch handed over in small, uneven pieces, as a file read might.
class MemoryPatch : public DeltaPatchInput {
public:
    explicit MemoryPatch(const ByteBuffer& bytes) : bytes_(bytes) {}
    bool read(unsigned char* into, uint32_t capacity, uint32_t& got, std::wstring&) override
    {
        got = static_cast<uint32_t>(std::min<size_t>({capacity, bytes_.size() - at_, 1 + at_ % 3001}));
        std::memcpy(into, bytes_.data() + at_, got);
        at_ += got;
        return true;
    }

private:
    const ByteBuffer& bytes_;
    size_t at_ = 0;
};

class Collected : public BodySink {
public:
    bool write(const unsigned char* data, size_t size, std::wstring&) override
    {
        largestWrite = std::max(largestWrite, size);
        bytes.insert(bytes.end(), data, data + size);
        return true;
    }
    ByteBuffer bytes;
    size_t largestWrite = 0;
};

bool apply(const ByteBuffer& patch, const ByteBuffer& oldBytes, ByteBuffer& result, std::wstring& errorText)
{
    MemoryPatch input(patch);
    MemoryOldFile oldFile(oldBytes);
    Collected output;
    bool applied = applyDeltaPatch(input, oldFile, output, errorText);
    result = output.bytes;
    return applied;
}

// Looks like a program: runs of code-like bytes, tables of addresses, stretches of zeros.
ByteBuffer program(size_t size, unsigned seed)
{
    ByteBuffer bytes(size);
    uint32_t state = seed;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245 + 12345;
        size_t block = i / 4096;
        bytes[i] = block % 5 == 4 ? 0 : block % 5 == 3 ? static_cast<unsigned char>(i / 8) : static_cast<unsigned char>(state >> 24);
    }
    return bytes;
}

// The next build: code inserted and dropped, and addresses after the insertion moved by its length.
ByteBuffer nextBuild(const ByteBuffer& old)
{
    ByteBuffer next(old.begin(), old.begin() + old.size() / 3);
    ByteBuffer inserted = program(5000, 99);
    next.insert(next.end(), inserted.begin(), inserted.end());
    next.insert(next.end(), old.begin() + old.size() / 3 + 700, old.end());
    for (size_t i = old.size() / 3; i < next.size(); i += 64) {
        next[i] = static_cast<unsigned char>(next[i] + 0x13);
    }
    return next;
}

ByteBuffer deflated(const ByteBuffer& plain)
{
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    ByteBuffer out(size);
    compress2(out.data(), &size, plain.data(), static_cast<uLong>(plain.size()), 9);
    out.resize(size);
    return out;
}

TEST(DeltaPatch, EveryPairComesBackByteForByte)
{
    ByteBuffer build = program(300000, 1);
    ByteBuffer zeros(200000, 0);
    ByteBuffer almostZeros = zeros;
    almostZeros[123456] = 1;
    struct Pair {
        const char* what;
        ByteBuffer oldBytes;
        ByteBuffer newBytes;
    } pairs[] = {
        {"from nothing", {}, build},
        {"to nothing", build, {}},
        {"both empty", {}, {}},
        {"unchanged", build, build},
        {"next build", build, nextBuild(build)},
        {"previous build", nextBuild(build), build},
        {"unrelated", build, program(250000, 7)},
        {"zeros", zeros, almostZeros},
        {"one byte", {'a'}, {'b'}},
    };
    for (const Pair& pair : pairs) {
        ByteBuffer patch;
        std::wstring errorText;
        ASSERT_TRUE(createDeltaPatch(pair.oldBytes, pair.newBytes, patch, errorText)) << pair.what;
        ByteBuffer result;
        ASSERT_TRUE(apply(patch, pair.oldBytes, result, errorText)) << pair.what << " " << std::string(errorText.begin(), errorText.end());
        EXPECT_EQ(result, pair.newBytes) << pair.what;
    }
}

TEST(DeltaPatch, NextBuildCostsAFewPercentOfItsCompressedCopy)
{
    ByteBuffer build = program(1 << 20, 3);
    ByteBuffer next = nextBuild(build);
    ByteBuffer patch;
    std::wstring errorText;
    ASSERT_TRUE(createDeltaPatch(build, next, patch, errorText));
    EXPECT_LT(patch.size() * 20, deflated(next).size()) << patch.size();
    // Unchanged stretches cost next to nothing, however long.
    ASSERT_TRUE(createDeltaPatch(build, build, patch, errorText));
    EXPECT_LT(patch.size(), 100u);
}

TEST(DeltaPatch, ApplyWorksInBoundedPieces)
{
    ByteBuffer build = program(3 << 20, 5);
    ByteBuffer next = nextBuild(build);
    ByteBuffer patch;
    std::wstring errorText;
    ASSERT_TRUE(createDeltaPatch(build, next, patch, errorText));
    MemoryPatch input(patch);
    MemoryOldFile oldFile(build);
    Collected output;
    ASSERT_TRUE(applyDeltaPatch(input, oldFile, output, errorText));
    EXPECT_EQ(output.bytes, next);
    EXPECT_LE(output.largestWrite, kPiece);
    EXPECT_LE(oldFile.largestRead, kPiece);
}

void varint(ByteBuffer& body, uint64_t value)
{
    while (value >= 0x80) {
        body.push_back(static_cast<unsigned char>(value | 0x80));
        value >>= 7;
    }
    body.push_back(static_cast<unsigned char>(value));
}

ByteBuffer varints(std::initializer_list<uint64_t> values)
{
    ByteBuffer body;
    for (uint64_t value : values) {
        varint(body, value);
    }
    return body;
}

ByteBuffer header(uint64_t oldSize, uint64_t newSize, uint32_t version = kDeltaFormatVersion)
{
    ByteBuffer bytes(kDeltaMagic, kDeltaMagic + sizeof kDeltaMagic);
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<unsigned char>(version >> (8 * i)));
    }
    for (uint64_t value : {oldSize, newSize}) {
        for (int i = 0; i < 8; ++i) {
            bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
        }
    }
    return bytes;
}

ByteBuffer patchOf(uint64_t oldSize, uint64_t newSize, const ByteBuffer& body)
{
    ByteBuffer patch = header(oldSize, newSize);
    ByteBuffer stream = deflated(body);
    patch.insert(patch.end(), stream.begin(), stream.end());
    return patch;
}

ByteBuffer joined(ByteBuffer a, const ByteBuffer& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const uint64_t kHuge = UINT64_MAX;

TEST(DeltaPatch, MalformedPatchesAreRefusedWithTheirReason)
{
    // The old file for every case: 16 bytes. The well-formed body below turns it into 8 bytes: its last 4
    // bytes with 1 added to the second, then "WXYZ".
    ByteBuffer old(16, 'o');
    ByteBuffer good = joined(varints({24, 4, 4, 1, 1, 1, 2, 0}), {'W', 'X', 'Y', 'Z'});
    ByteBuffer wellFormed = patchOf(16, 8, good);
    ByteBuffer cutStream(wellFormed.begin(), wellFormed.end() - 3);
    ByteBuffer wrongMagic = wellFormed;
    wrongMagic[0] = 'X';
    const std::wstring notPatch = L"Plik nie jest poprawką w znanym formacie.";
    const std::wstring damaged = L"Poprawka jest uszkodzona.";
    const std::wstring cut = L"Poprawka jest ucięta.";
    const std::wstring pastNew = L"Poprawka zapisuje więcej bajtów, niż ma mieć nowy plik.";
    const std::wstring outsideOld = L"Poprawka sięga poza zainstalowany plik.";
    struct Case {
        const char* what;
        ByteBuffer patch;
        std::wstring text;
    } cases[] = {
        {"empty", {}, notPatch},
        {"header cut", ByteBuffer(wellFormed.begin(), wellFormed.begin() + 10), cut},
        {"other magic", wrongMagic, notPatch},
        {"other format version", joined(header(16, 8, 2), deflated(good)), L"Poprawka ma nieznaną wersję formatu."},
        {"for a file of another size", patchOf(17, 8, good),
         L"Poprawka jest przeznaczona dla pliku innej długości niż zainstalowany."},
        {"no stream after the header", header(16, 8), cut},
        {"not zlib", joined(header(16, 8), ByteBuffer(40, 0xFF)), damaged},
        {"stream cut", cutStream, cut},
        {"bytes after the stream", joined(wellFormed, {0}), damaged},
        {"second stream after the stream", joined(wellFormed, deflated({1})), damaged},
        {"blocks end before the new size", patchOf(16, 9, good), cut},
        {"blocks go on after the new size", patchOf(16, 8, joined(good, varints({0, 0, 1, 'Q'}))), damaged},
        {"stray byte after the blocks", patchOf(16, 8, joined(good, {0})), damaged},
        {"empty block", patchOf(16, 8, joined(varints({0, 0, 0}), good)), damaged},
        {"add past the new size", patchOf(16, 8, varints({0, 9, 0})), pastNew},
        {"copy past the new size", patchOf(16, 8, varints({0, 0, 9})), pastNew},
        {"copy length wrapping around", patchOf(16, 8, varints({0, 4, kHuge - 2})), pastNew},
        {"add length as large as can be", patchOf(16, 8, varints({0, kHuge, 0})), pastNew},
        {"seek past the old end", patchOf(16, 8, varints({34, 1, 0, 1, 0})), outsideOld},
        {"seek before the old start", patchOf(16, 8, varints({1, 1, 0, 1, 0})), outsideOld},
        {"seek as far back as can be", patchOf(16, 8, varints({kHuge, 1, 0, 1, 0})), outsideOld},
        {"add reads past the old end", patchOf(16, 8, varints({26, 4, 4})), outsideOld},
        {"add section pair writes nothing", patchOf(16, 8, varints({0, 4, 4, 0, 0})), damaged},
        {"add section pair past its block", patchOf(16, 8, varints({0, 4, 4, 3, 2})), damaged},
        {"add section cut", patchOf(16, 8, varints({0, 4, 4, 1, 3, 5})), cut},
        {"varint of eleven bytes", patchOf(16, 8, ByteBuffer(11, 0x80)), damaged},
        {"varint past 64 bits", patchOf(16, 8, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}), damaged},
        {"new size as large as can be", patchOf(16, kHuge, good), cut},
        {"zeros only, endlessly long", patchOf(16, 8, ByteBuffer(1 << 20, 0)), damaged},
    };
    for (const Case& c : cases) {
        ByteBuffer result;
        std::wstring errorText;
        EXPECT_FALSE(apply(c.patch, old, result, errorText)) << c.what;
        EXPECT_EQ(errorText, c.text) << c.what;
        EXPECT_LE(result.size(), 8u) << c.what;
    }
    ByteBuffer result;
    std::wstring errorText;
    ASSERT_TRUE(apply(wellFormed, old, result, errorText)) << std::string(errorText.begin(), errorText.end());
    EXPECT_EQ(result, (ByteBuffer{'o', 'p', 'o', 'o', 'W', 'X', 'Y', 'Z'}));
}

// A failure of the old file's reader or of the output reaches the caller with its own text.
TEST(DeltaPatch, ReaderAndSinkFailuresAreReported)
{
    class FailingSink : public BodySink {
    public:
        bool write(const unsigned char*, size_t, std::wstring& errorText) override
        {
            errorText = L"disk full";
            return false;
        }
    } sink;
    class FailingOldFile : public DeltaOldFile {
    public:
        uint64_t size() const override { return 100; }
        bool read(uint64_t, unsigned char*, uint32_t, std::wstring& errorText) override
        {
            errorText = L"read error";
            return false;
        }
    } unreadable;
    ByteBuffer old(100, 'a');
    ByteBuffer patch;
    std::wstring errorText;
    ASSERT_TRUE(createDeltaPatch(old, ByteBuffer(150, 'a'), patch, errorText));
    MemoryPatch input(patch);
    MemoryOldFile oldFile(old);
    EXPECT_FALSE(applyDeltaPatch(input, oldFile, sink, errorText));
    EXPECT_EQ(errorText, L"disk full");
    MemoryPatch again(patch);
    Collected output;
    EXPECT_FALSE(applyDeltaPatch(again, unreadable, output, errorText));
    EXPECT_EQ(errorText, L"read error");
}

}  // namespace
