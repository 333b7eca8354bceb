#pragma once

#include <string>

namespace ovan {

// The SHA-256 of a file's bytes as 64 upper-case hexadecimal digits; hex untouched on failure.
bool sha256FileHex(const std::wstring& path, std::wstring& hex);

}  // namespace ovan
