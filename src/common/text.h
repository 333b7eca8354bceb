#pragma once

#include <string>
#include <vector>

namespace ovan {

using ByteBuffer = std::vector<unsigned char>;

// The platform's wide space class: below U+0100 a fixed set, above it what the
// character-type query marks as space.
bool isWhiteSpace(wchar_t c);

std::wstring trimWhitespace(const std::wstring& text);

// Letters a to z become A to Z; every other unit stays.
std::wstring toUpperAscii(std::wstring text);

// RFC 3629: no stray continuation bytes, no truncated or overlong sequences,
// no encoded surrogates, nothing above U+10FFFF.
bool isWellFormedUtf8(const unsigned char* bytes, size_t count);

// Strict decoding: false for anything isWellFormedUtf8 refuses, text untouched.
bool decodeUtf8(const unsigned char* bytes, size_t count, std::wstring& text);

std::string encodeUtf8(const std::wstring& text);

// Every line feed becomes CR LF, as a text-mode stream on this platform writes it.
std::wstring toCrLf(const std::wstring& text);

// Drops one leading UTF-8 byte-order mark, if present; returns the offset of the content.
size_t utf8ContentOffset(const unsigned char* bytes, size_t count);

}  // namespace ovan
