#pragma once

#include "common/text.h"

#include <cstdint>
#include <string>

namespace ovan {

// Told how much of a body has arrived; total is 0 when the server announced no length.
class DownloadObserver {
public:
    virtual void onProgress(uint64_t received, uint64_t total) = 0;

protected:
    ~DownloadObserver() = default;
};

// Whether the address splits into scheme, host and path the way a download needs it.
bool isFetchableUrl(const std::wstring& address);

// One GET; true only for status 200 with the whole body in bytes.
bool httpGet(const std::wstring& address, ByteBuffer& bytes, std::wstring& errorText,
             DownloadObserver* observer = nullptr);

}  // namespace ovan
