#include "update/delta_patch.h"

#include "common/memory_guard.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace ovan {

namespace {

// Every buffer is this size at most, whatever the files' sizes.
const uint32_t kPiece = 64 * 1024;

const wchar_t* const kNotPatch = L"Plik nie jest poprawką w znanym formacie.";
const wchar_t* const kUnknownVersion = L"Poprawka ma nieznaną wersję formatu.";
const wchar_t* const kOtherSource = L"Poprawka jest przeznaczona dla pliku innej długości niż zainstalowany.";
const wchar_t* const kDamaged = L"Poprawka jest uszkodzona.";
const wchar_t* const kCut = L"Poprawka jest ucięta.";
const wchar_t* const kPastNewSize = L"Poprawka zapisuje więcej bajtów, niż ma mieć nowy plik.";
const wchar_t* const kOutsideOld = L"Poprawka sięga poza zainstalowany plik.";
const wchar_t* const kNoMemory = L"Za mało pamięci, aby zastosować poprawkę.";

bool fail(const wchar_t* text, std::wstring& errorText)
{
    errorText = text;
    return false;
}

uint64_t littleEndian(const unsigned char* bytes, int count)
{
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

// The inflated stream, taken exactly as the blocks ask for it.
class PatchStream {
public:
    explicit PatchStream(DeltaPatchInput& input) : input_(input), in_(kPiece), out_(kPiece)
    {
        ready_ = inflateInit(&stream_) == Z_OK;
    }
    ~PatchStream()
    {
        if (ready_) {
            inflateEnd(&stream_);
        }
    }
    PatchStream(const PatchStream&) = delete;
    PatchStream& operator=(const PatchStream&) = delete;

    bool ready() const { return ready_; }

    bool take(unsigned char* into, uint32_t count, std::wstring& errorText)
    {
        while (count > 0) {
            if (outAt_ == outEnd_ && !refill(errorText)) {
                return false;
            }
            uint32_t piece = std::min(count, outEnd_ - outAt_);
            std::memcpy(into, out_.data() + outAt_, piece);
            outAt_ += piece;
            into += piece;
            count -= piece;
        }
        return true;
    }

    bool varint(uint64_t& value, std::wstring& errorText)
    {
        value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            unsigned char byte = 0;
            if (!take(&byte, 1, errorText)) {
                return false;
            }
            // The tenth byte may carry one bit only.
            if (shift == 63 && byte > 1) {
                return fail(kDamaged, errorText);
            }
            value |= static_cast<uint64_t>(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0) {
                return true;
            }
        }
        return fail(kDamaged, errorText);
    }

    // The stream must end here, and the patch with it.
    bool finish(std::wstring& errorText)
    {
        if (outAt_ != outEnd_) {
            return fail(kDamaged, errorText);
        }
        while (!ended_) {
            if (!inflateMore(errorText)) {
                return false;
            }
            if (outEnd_ > 0) {
                return fail(kDamaged, errorText);
            }
        }
        if (stream_.avail_in > 0) {
            return fail(kDamaged, errorText);
        }
        uint32_t got = 0;
        if (!input_.read(in_.data(), kPiece, got, errorText)) {
            return false;
        }
        return got == 0 || fail(kDamaged, errorText);
    }

private:
    bool refill(std::wstring& errorText)
    {
        do {
            if (ended_) {
                return fail(kCut, errorText);
            }
            if (!inflateMore(errorText)) {
                return false;
            }
        } while (outEnd_ == 0);
        return true;
    }

    // One call of inflate, after new input if it had none left.
    bool inflateMore(std::wstring& errorText)
    {
        if (stream_.avail_in == 0) {
            uint32_t got = 0;
            if (!input_.read(in_.data(), kPiece, got, errorText)) {
                return false;
            }
            if (got == 0) {
                return fail(kCut, errorText);
            }
            stream_.next_in = in_.data();
            stream_.avail_in = got;
        }
        stream_.next_out = out_.data();
        stream_.avail_out = kPiece;
        // With input and room given, anything but progress or the end is a damaged stream.
        int result = inflate(&stream_, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END) {
            return fail(kDamaged, errorText);
        }
        ended_ = result == Z_STREAM_END;
        outAt_ = 0;
        outEnd_ = kPiece - stream_.avail_out;
        return true;
    }

    DeltaPatchInput& input_;
    std::vector<unsigned char> in_;
    std::vector<unsigned char> out_;
    z_stream stream_ = {};
    bool ready_ = false;
    bool ended_ = false;
    uint32_t outAt_ = 0;
    uint32_t outEnd_ = 0;
};

// Gathers the new file's bytes and hands them on in whole pieces.
class PieceWriter {
public:
    PieceWriter(BodySink& output, uint64_t newSize) : output_(output), left_(newSize), piece_(kPiece) {}

    uint64_t left() const { return left_; }

    // Room for up to the returned count of bytes at next(), never past the new size.
    uint32_t room() const { return static_cast<uint32_t>(std::min<uint64_t>(kPiece - used_, left_)); }
    unsigned char* next() { return piece_.data() + used_; }

    bool commit(uint32_t count, std::wstring& errorText)
    {
        used_ += count;
        left_ -= count;
        return (used_ < kPiece && left_ > 0) || flush(errorText);
    }

    bool flush(std::wstring& errorText)
    {
        bool written = used_ == 0 || output_.write(piece_.data(), used_, errorText);
        used_ = 0;
        return written;
    }

private:
    BodySink& output_;
    uint64_t left_;
    std::vector<unsigned char> piece_;
    uint32_t used_ = 0;
};

class Applier {
public:
    Applier(PatchStream& stream, DeltaOldFile& oldFile, PieceWriter& writer)
        : stream_(stream), oldFile_(oldFile), writer_(writer), oldPiece_(kPiece)
    {
    }

    bool run(std::wstring& errorText)
    {
        while (writer_.left() > 0) {
            if (!block(errorText)) {
                return false;
            }
        }
        return writer_.flush(errorText) && stream_.finish(errorText);
    }

private:
    bool block(std::wstring& errorText)
    {
        uint64_t zigzag = 0;
        uint64_t addLength = 0;
        uint64_t copyLength = 0;
        if (!stream_.varint(zigzag, errorText) || !stream_.varint(addLength, errorText) ||
            !stream_.varint(copyLength, errorText)) {
            return false;
        }
        // A block that writes nothing is never made; refusing it keeps the work bound to the new size.
        if (addLength == 0 && copyLength == 0) {
            return fail(kDamaged, errorText);
        }
        if (addLength > writer_.left() || copyLength > writer_.left() - addLength) {
            return fail(kPastNewSize, errorText);
        }
        // Zigzag: even values seek forward by half, odd ones back by half rounded up.
        uint64_t distance = (zigzag >> 1) + (zigzag & 1);
        bool backwards = (zigzag & 1) != 0;
        if (distance > (backwards ? oldAt_ : oldFile_.size() - oldAt_)) {
            return fail(kOutsideOld, errorText);
        }
        oldAt_ = backwards ? oldAt_ - distance : oldAt_ + distance;
        if (addLength > oldFile_.size() - oldAt_) {
            return fail(kOutsideOld, errorText);
        }
        return addSection(addLength, errorText) && copied(copyLength, errorText);
    }

    bool addSection(uint64_t length, std::wstring& errorText)
    {
        while (length > 0) {
            uint64_t unchanged = 0;
            uint64_t changed = 0;
            if (!stream_.varint(unchanged, errorText) || !stream_.varint(changed, errorText)) {
                return false;
            }
            if ((unchanged == 0 && changed == 0) || unchanged > length || changed > length - unchanged) {
                return fail(kDamaged, errorText);
            }
            if (!added(unchanged, false, errorText) || !added(changed, true, errorText)) {
                return false;
            }
            length -= unchanged + changed;
        }
        return true;
    }

    // Old bytes into the new file, with the patch's bytes added to them where they changed.
    bool added(uint64_t count, bool changed, std::wstring& errorText)
    {
        while (count > 0) {
            uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(count, writer_.room()));
            unsigned char* into = writer_.next();
            if (!oldFile_.read(oldAt_, into, piece, errorText)) {
                return false;
            }
            if (changed) {
                if (!stream_.take(oldPiece_.data(), piece, errorText)) {
                    return false;
                }
                for (uint32_t i = 0; i < piece; ++i) {
                    into[i] = static_cast<unsigned char>(into[i] + oldPiece_[i]);
                }
            }
            oldAt_ += piece;
            count -= piece;
            if (!writer_.commit(piece, errorText)) {
                return false;
            }
        }
        return true;
    }

    bool copied(uint64_t count, std::wstring& errorText)
    {
        while (count > 0) {
            uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(count, writer_.room()));
            if (!stream_.take(writer_.next(), piece, errorText) || !writer_.commit(piece, errorText)) {
                return false;
            }
            count -= piece;
        }
        return true;
    }

    PatchStream& stream_;
    DeltaOldFile& oldFile_;
    PieceWriter& writer_;
    std::vector<unsigned char> oldPiece_;
    uint64_t oldAt_ = 0;
};

bool readHeader(DeltaPatchInput& patch, unsigned char* header, uint32_t& got, std::wstring& errorText)
{
    got = 0;
    while (got < kDeltaHeaderSize) {
        uint32_t more = 0;
        if (!patch.read(header + got, kDeltaHeaderSize - got, more, errorText)) {
            return false;
        }
        if (more == 0) {
            return fail(got == 0 ? kNotPatch : kCut, errorText);
        }
        got += more;
    }
    return true;
}

bool applyChecked(DeltaPatchInput& patch, DeltaOldFile& oldFile, BodySink& output, std::wstring& errorText)
{
    unsigned char header[kDeltaHeaderSize];
    uint32_t got = 0;
    if (!readHeader(patch, header, got, errorText)) {
        return false;
    }
    if (std::memcmp(header, kDeltaMagic, sizeof kDeltaMagic) != 0) {
        return fail(kNotPatch, errorText);
    }
    if (littleEndian(header + 8, 4) != kDeltaFormatVersion) {
        return fail(kUnknownVersion, errorText);
    }
    if (littleEndian(header + 12, 8) != oldFile.size()) {
        return fail(kOtherSource, errorText);
    }
    PatchStream stream(patch);
    if (!stream.ready()) {
        return fail(kNoMemory, errorText);
    }
    PieceWriter writer(output, littleEndian(header + 20, 8));
    Applier applier(stream, oldFile, writer);
    return applier.run(errorText);
}

}  // namespace

bool applyDeltaPatch(DeltaPatchInput& patch, DeltaOldFile& oldFile, BodySink& output, std::wstring& errorText)
{
    bool applied = false;
    if (!withinMemory([&] { applied = applyChecked(patch, oldFile, output, errorText); })) {
        return fail(kNoMemory, errorText);
    }
    return applied;
}

}  // namespace ovan
