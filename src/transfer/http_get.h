#pragma once

#include "common/scoped_handle.h"
#include "common/text.h"
#include "transfer/body_sink.h"

#include <windows.h>
#include <winhttp.h>

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

struct WinHttpTraits {
    using Value = HINTERNET;
    static Value empty() { return nullptr; }
    static void release(Value value) { WinHttpCloseHandle(value); }
};
using WinHttpHandle = Scoped<WinHttpTraits>;

// The WinHTTP session downloads run on. Kept for the run, one session serves every download, so
// WinHTTP can reuse a connection to the same server; otherwise each download opens a session of
// its own and closes it before it returns. A kept session opens on the first download, so a
// failure to open it shows there with the usual text, and closes when its owner goes.
class HttpSession {
public:
    explicit HttpSession(bool keepForRun);

    // The session a download connects on; a session of the download's own is left in own.
    bool acquire(WinHttpHandle& own, HINTERNET& session, std::wstring& errorText);

private:
    bool keepForRun_;
    WinHttpHandle kept_;
};

// How reading a body ended: all of it, the transfer broke (a failed read, the pace, a close short of
// the announced length), or the sink refused a piece.
enum class BodyOutcome { Complete, Broken, Refused };

// One GET whose answer has arrived up to its headers; the body is read separately.
class HttpRequest {
public:
    // The body is read in pieces of this size.
    static const size_t kPieceBytes = 256 * 1024;

    // Sends the request with extra header lines (each ending in CR LF) and waits for the answer's headers.
    bool send(HttpSession& session, const std::wstring& address, const std::wstring& headers,
              std::wstring& errorText);

    // The same without extra headers; any status but 200 fails with the usual text.
    bool sendExpecting200(HttpSession& session, const std::wstring& address, std::wstring& errorText);

    DWORD status() const { return status_; }

    // A header of the answer, empty when it has none.
    std::wstring header(const wchar_t* name) const;

    // Content-Length, 0 when there is none.
    uint64_t announcedLength() const;

    // The body piece by piece into sink; progress counts kept bytes, held from before, as done.
    BodyOutcome readBody(BodySink& sink, std::wstring& errorText, DownloadObserver* observer = nullptr,
                         uint64_t kept = 0);

private:
    WinHttpHandle ownSession_;
    WinHttpHandle connection_;
    WinHttpHandle request_;
    DWORD status_ = 0;
};

// One GET; true only for status 200 with the whole body in bytes.
bool httpGet(HttpSession& session, const std::wstring& address, ByteBuffer& bytes, std::wstring& errorText,
             DownloadObserver* observer = nullptr);

// One GET whose body goes piece by piece into sink; true only for status 200 with the whole body taken.
bool httpGet(HttpSession& session, const std::wstring& address, BodySink& sink, std::wstring& errorText,
             DownloadObserver* observer = nullptr);

// The first on a session of its own.
bool httpGet(const std::wstring& address, ByteBuffer& bytes, std::wstring& errorText,
             DownloadObserver* observer = nullptr);

}  // namespace ovan
