#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ovan {

// One signed 32-bit number for each part between dots; an empty part is 0.
std::vector<int32_t> splitVersion(const std::wstring& version);

// True exactly when manifestVersion is the higher version.
bool isNewerVersion(const std::wstring& manifestVersion, const std::wstring& localVersion);

}  // namespace ovan
