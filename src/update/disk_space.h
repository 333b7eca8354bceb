#pragma once

#include <cstdint>
#include <string>

namespace ovan {

// What downloads leave free on the volume they are written to, so that the system and the swap have room.
const uint64_t kDiskReserveBytes = 64ull * 1024 * 1024;

// The bytes this user may still write on the volume that holds folder; false when the system does not tell.
bool freeBytesFor(const std::wstring& folder, uint64_t& free);

// Whether files of needed bytes in all fit on folder's volume beside the reserve; when they do not, errorText
// says how much is needed (the reserve included) and how much is free. A volume that does not tell its free
// space is not judged.
bool roomForDownloads(const std::wstring& folder, uint64_t needed, std::wstring& errorText);

// Bytes in megabytes of 1,048,576 B with one decimal after a comma ("70,1 MB"), rounded up or down.
std::wstring megabytesText(uint64_t bytes, bool roundUp);

}  // namespace ovan
