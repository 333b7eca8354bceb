#pragma once

#include "common/paths.h"

#include <string>

namespace ovan {

// Reads a whole file and decodes it strictly from UTF-8, without one leading byte-order mark.
// On failure, outOfMemory (when given) tells a file too large for memory from an unreadable one.
bool readUtf8TextFile(const std::wstring& path, std::wstring& text, bool* outOfMemory = nullptr);

// The installed version from current.txt, or "0.0.0" when there is none.
bool readLocalVersion(const AppFolder& appFolder, std::wstring& version, std::wstring& errorText);

// Writes the byte-order mark and the version as UTF-8, nothing else: under a temporary name first,
// flushed when durable, then moved over the file; a failed write leaves no temporary file behind.
bool writeLocalVersion(const std::wstring& filePath, const std::wstring& versionText, bool durable = true);

}  // namespace ovan
