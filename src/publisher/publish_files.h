#pragma once

#include "common/text.h"

#include <cstdint>
#include <string>

namespace ovan {

bool fileSize(const std::wstring& path, uint64_t& size);

bool readFileBytes(const std::wstring& path, ByteBuffer& bytes);

// Writes the whole file; with replace false, an existing file is left alone and the write fails.
bool writeFileBytes(const std::wstring& path, const std::string& bytes, bool replace);

}  // namespace ovan
