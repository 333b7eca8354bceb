#pragma once

#include <cstdint>
#include <string>

namespace ovan {

// Deflates a file into the zlib format at the strongest level; target empty: only counts the bytes. The
// output is the same every time for the same file, so a size counted first is the size written later.
bool deflateFile(const std::wstring& source, const std::wstring& target, uint64_t& compressedSize,
                 std::wstring& errorText);

// Whether the copy at path inflates to exactly size bytes with the given SHA-256, as a launcher fetching it
// would find; says why not.
bool verifyCompressedCopy(const std::wstring& path, uint64_t size, const std::wstring& sha256, std::wstring& errorText);

// Worth a copy of its own: at least a tenth and at least 1 KiB smaller. Files that are compressed already
// (archives, images, installers) never are, so they travel as they are.
bool isClearlySmaller(uint64_t compressedSize, uint64_t plainSize);

}  // namespace ovan
