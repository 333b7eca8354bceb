#pragma once

#include "common/text.h"

#include <string>

namespace ovan {

// Standard alphabet with padding, no line breaks.
std::string encodeBase64(const ByteBuffer& bytes);

// Strict: only the canonical encoding of some bytes is accepted (length a multiple of four,
// padding only at the end, unused bits zero, nothing else); bytes untouched on failure.
bool decodeBase64(const std::string& text, ByteBuffer& bytes);

}  // namespace ovan
