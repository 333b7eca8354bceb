#pragma once

#include "common/text.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace ovan {

enum class ReadOutcome { Read, Unreadable, OutOfMemory };

// Reads an open file from its current position to its end. The buffer takes the file's size first, so a
// file larger than memory fails before it is read.
ReadOutcome readWholeFile(HANDLE file, ByteBuffer& bytes);

// The length of the file at path, in bytes; false when it cannot be read.
bool fileLength(const std::wstring& path, uint64_t& length);

// Writes every byte (nothing for none), then, when flush is set, makes them reach the disk.
bool writeBytes(HANDLE file, const void* data, size_t size, bool flush);

}  // namespace ovan
