#pragma once

#include <string>

namespace ovan {

// Writes a manifest for every file of a release folder that the launcher accepts as written;
// refuses, naming the cause, whatever the launcher could not carry. Returns the exit code.
int packRelease(const std::wstring& releaseFolder, const std::wstring& version, const std::wstring& baseAddress,
                const std::wstring& manifestPath);

}  // namespace ovan
