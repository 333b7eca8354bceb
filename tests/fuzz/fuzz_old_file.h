#pragma once

#include "common/text.h"

// The old file every fuzz input is applied against: 4 KiB of mixed bytes, so that seeks and adds have room.
inline ovan::ByteBuffer fuzzOldFile()
{
    ovan::ByteBuffer bytes(4096);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<unsigned char>(i * 31 + i / 97);
    }
    return bytes;
}
