#pragma once

#include "common/cng_handles.h"

#include <cstddef>
#include <string>
#include <vector>

namespace ovan {

// A SHA-256 taken piece by piece through CNG.
class Sha256 {
public:
    // False when the system provides no such hash.
    bool open();
    bool add(const unsigned char* data, size_t size);
    // The digest as 64 upper-case hexadecimal digits; the hash is used up.
    bool finishHex(std::wstring& hex);

private:
    CngProvider algorithm_;
    // CNG keeps the hash's state here, so it must outlive the hash.
    std::vector<unsigned char> object_;
    CngHash hash_;
    unsigned long digestLength_ = 0;
};

// The SHA-256 of a file's bytes as 64 upper-case hexadecimal digits; hex untouched on failure.
bool sha256FileHex(const std::wstring& path, std::wstring& hex);

}  // namespace ovan
