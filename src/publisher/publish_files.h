#pragma once

#include "common/text.h"

#include <string>

namespace ovan {

bool readFileBytes(const std::wstring& path, ByteBuffer& bytes);

// Writes the whole file; with replace false, an existing file is left alone and the write fails.
bool writeFileBytes(const std::wstring& path, const std::string& bytes, bool replace);

}  // namespace ovan
