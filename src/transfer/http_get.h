#pragma once

#include "common/text.h"
#include "diagnostics/error_text.h"
#include "transfer/body_sink.h"
#include "transfer/kept_connection.h"
#include "transfer/network_windows.h"
#include "transfer/proxy_route.h"
#include "transfer/winhttp_handle.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <map>
#include <string>

namespace ovan {

// Told how much of a body has arrived; total is 0 when the server announced no length.
class DownloadObserver {
public:
    virtual void onProgress(uint64_t received, uint64_t total) = 0;

protected:
    ~DownloadObserver() = default;
};

class TransferPace {
public:
    TransferPace(uint64_t startMs, const NetworkWindows& windows);

    // Counts what arrived by nowMs; false once a window has passed without enough bytes.
    bool keepsUp(uint64_t received, uint64_t nowMs);

private:
    uint64_t windowMs_;
    uint64_t windowBytes_;
    uint64_t windowStartMs_;
    uint64_t receivedInWindow_ = 0;
};

// Whether the address splits into scheme, host and path the way a download needs it.
bool isFetchableUrl(const std::wstring& address);

// What the build chooses for the downloads of a run.
struct SessionChoices {
    // One session per route for the whole run, so that connections are reused.
    bool keepForRun = false;
    // Each address goes out the way the user's Windows internet settings say (proxy, script, bypass list).
    bool systemProxy = false;
    ErrorWording wording = ErrorWording::CodeNumber;
    NetworkWindows windows;
};

// The WinHTTP sessions downloads run on, one per route: straight, or through one named proxy (WinHTTP
// under Wine honours only a session's own proxy). Kept for the run, one session per route serves every
// download on it, so WinHTTP can reuse a connection to the same server; otherwise each download opens a
// session of its own and closes it before it returns. A kept session opens on the first download of its
// route, so a failure to open it shows there with the usual text, and closes when its owner goes.
class HttpSession {
public:
    explicit HttpSession(bool keepForRun);
    HttpSession(const SessionChoices& choices, RouteNotes* notes);

    // The session a download of the address connects on and the proxy it goes through (empty: straight);
    // a session of the download's own is left in own.
    bool acquire(const std::wstring& address, WinHttpHandle& own, HINTERNET& session, std::wstring& proxy,
                 std::wstring& errorText);

    const SessionChoices& choices() const { return choices_; }
    ErrorWording wording() const { return choices_.wording; }

    // Only a kept session hands a connection on to the next download: each other session is new.
    IdleConnections* idleConnections() { return choices_.keepForRun ? &idle_ : nullptr; }

private:
    SessionChoices choices_;
    ProxyRoutes routes_;
    IdleConnections idle_;
    // By proxy; the empty name is the straight route.
    std::map<std::wstring, WinHttpHandle> kept_;
};

// How reading a body ended: all of it, the transfer broke (a failed read, the pace, a close short of
// the announced length), or the sink refused a piece.
enum class BodyOutcome { Complete, Broken, Refused };

// One GET whose answer has arrived up to its headers; the body is read separately.
class HttpRequest {
public:
    // The body is read in pieces of at most this size.
    static const size_t kPieceBytes = 256 * 1024;

    // Sends the request with extra header lines (each ending in CR LF) and waits for the answer's headers.
    // A request that may have gone out on a connection left open by an earlier answer, and fails as one
    // the server had dropped, is sent once more on a new connection.
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
    bool open(HINTERNET session, const UrlParts& url, const std::wstring& headers, std::wstring& errorText);
    void noteConnectionLeftOpen();

    WinHttpHandle ownSession_;
    WinHttpHandle connection_;
    WinHttpHandle request_;
    DWORD status_ = 0;
    // The proxy the request goes through (empty: straight), and the session's choices its body is read with.
    std::wstring proxy_;
    ErrorWording wording_ = ErrorWording::CodeNumber;
    NetworkWindows windows_;
    // Where a body read to its end notes the connection it leaves open; nullptr when nothing is handed on.
    IdleConnections* idle_ = nullptr;
    UrlParts url_;
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
