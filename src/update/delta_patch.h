#pragma once

#include "transfer/body_sink.h"

#include <cstdint>
#include <string>

namespace ovan {

// The patch format, shared by the publisher that writes patches and the launcher that applies them.
// Header, 28 bytes, integers little-endian:
//   "OVANDPT\0" (8), format version (4), old file's size (8), new file's size (8)
// then one zlib stream to the patch's end, holding blocks until the new size is reached:
//   seek in the old file (zigzag varint), add length (varint), copy length (varint),
//   the add section: pairs of varints (unchanged bytes, changed bytes) followed by the changed bytes,
//   then the copied bytes.
// A block's add bytes are the new bytes minus the old bytes under them, byte by byte; the unchanged bytes of
// the add section are the zeros among them.
const unsigned char kDeltaMagic[8] = {'O', 'V', 'A', 'N', 'D', 'P', 'T', 0};
const uint32_t kDeltaFormatVersion = 1;
const uint32_t kDeltaHeaderSize = 28;

// The file a patch is applied against, read by offset.
class DeltaOldFile {
public:
    virtual uint64_t size() const = 0;
    // Exactly length bytes from offset, which the caller has checked lie inside the file.
    virtual bool read(uint64_t offset, unsigned char* into, uint32_t length, std::wstring& errorText) = 0;

protected:
    ~DeltaOldFile() = default;
};

// The patch itself, read in order.
class DeltaPatchInput {
public:
    // Up to capacity bytes; got is 0 only at the end of the patch.
    virtual bool read(unsigned char* into, uint32_t capacity, uint32_t& got, std::wstring& errorText) = 0;

protected:
    ~DeltaPatchInput() = default;
};

// Applies a patch to oldFile, writing the new file to output in pieces of bounded size. Memory does not
// depend on either file's size. Every length and offset is checked before use; a patch for another file, a
// damaged or cut patch, and one that would write past the new size or read outside the old file are refused
// with a text.
bool applyDeltaPatch(DeltaPatchInput& patch, DeltaOldFile& oldFile, BodySink& output, std::wstring& errorText);

}  // namespace ovan
