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

// The slowest body a download accepts: another 64 KiB within every 60 s. The receive timeout
// bounds only the wait for one piece, so a server that drips bytes would hold a run for hours.
class TransferPace {
public:
    static const uint64_t kWindowBytes = 64 * 1024;
    static const uint64_t kWindowMs = 60000;

    explicit TransferPace(uint64_t startMs);

    // Counts what arrived by nowMs; false once 60 s have passed without another 64 KiB.
    bool keepsUp(uint64_t received, uint64_t nowMs);

private:
    uint64_t windowStartMs_;
    uint64_t windowBytes_ = 0;
};

// Whether the address splits into scheme, host and path the way a download needs it.
bool isFetchableUrl(const std::wstring& address);

// One GET; true only for status 200 with the whole body in bytes.
bool httpGet(const std::wstring& address, ByteBuffer& bytes, std::wstring& errorText,
             DownloadObserver* observer = nullptr);

}  // namespace ovan
