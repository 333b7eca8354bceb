#include "transfer/http_get.h"

#include "common/scoped_handle.h"
#include "diagnostics/error_text.h"
#include "transfer/proxy_failure.h"
#include "transfer/proxy_logon.h"
#include "transfer/url_parts.h"

#include <cwchar>

namespace ovan {

namespace {

const int kResolveTimeoutMs = 5000;
const int kConnectTimeoutMs = 5000;
const int kSendTimeoutMs = 10000;

bool failWithSystemError(const wchar_t* literal, ErrorWording wording, std::wstring& errorText)
{
    DWORD code = GetLastError();
    errorText = literal + formatSystemError(code, wording);
    // Kept for a caller that tells one failure from another.
    SetLastError(code);
    return false;
}

// Through a proxy, the text also names it and says what the user can do.
bool failOnRoute(const wchar_t* literal, const std::wstring& proxy, ErrorWording wording, std::wstring& errorText)
{
    if (proxy.empty()) {
        return failWithSystemError(literal, wording, errorText);
    }
    DWORD code = GetLastError();
    errorText = proxyFailureText(proxy, literal, code, wording);
    SetLastError(code);
    return false;
}

bool failAsReadTimeout(ErrorWording wording, std::wstring& errorText)
{
    errorText = L"WinHttpReadData nie powiodło się. " + formatSystemError(ERROR_WINHTTP_TIMEOUT, wording);
    return false;
}

// Wine reports a wait for the answer's headers that ran out as 10060, which reads as a failed connection attempt;
// Windows reports the WinHTTP timeout there, and that is what the user is told.
void wordHeaderWait(ErrorWording wording)
{
    if (wording == ErrorWording::NetworkSentences && GetLastError() == WSAETIMEDOUT) {
        SetLastError(ERROR_WINHTTP_TIMEOUT);
    }
}

// A straight route keeps WinHTTP's own default; a proxy is named, as Wine heeds no other way of giving one.
bool openSession(WinHttpHandle& session, const std::wstring& proxy, const SessionChoices& choices,
                 std::wstring& errorText)
{
    ErrorWording wording = choices.wording;
    session.reset(proxy.empty() ? WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                              WINHTTP_NO_PROXY_BYPASS, 0)
                                : WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str(),
                                              WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        return failWithSystemError(L"WinHttpOpen nie powiodło się. ", wording, errorText);
    }
    const NetworkWindows& windows = choices.windows;
    int receiveTimeout = static_cast<int>(windows.receiveTimeoutMs);
    WinHttpSetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, receiveTimeout);
    // Wine bounds the wait for response headers only by this option, not by the receive timeout.
    DWORD responseTimeout = windows.receiveTimeoutMs;
    WinHttpSetOption(session.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout, sizeof responseTimeout);
    return true;
}

// Sends the request and reads its status. A proxy that asks who is there and offers Negotiate or NTLM is
// answered once with the signed-in user's logon; its second 407 is left to the caller.
bool exchange(HINTERNET request, const std::wstring& headers, const std::wstring& proxy, ErrorWording wording,
              DWORD& status, std::wstring& errorText)
{
    const wchar_t* extra = headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str();
    for (bool answered = false;; answered = true) {
        if (!WinHttpSendRequest(request, extra, static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0, 0,
                                0)) {
            return failOnRoute(L"WinHttpSendRequest nie powiodło się. ", proxy, wording, errorText);
        }
        if (!WinHttpReceiveResponse(request, nullptr)) {
            wordHeaderWait(wording);
            return failOnRoute(L"WinHttpReceiveResponse nie powiodło się. ", proxy, wording, errorText);
        }
        DWORD statusSize = sizeof status;
        if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
            return failWithSystemError(L"Nie udało się odczytać kodu HTTP. ", wording, errorText);
        }
        if (status != HTTP_STATUS_PROXY_AUTH_REQ || proxy.empty() || answered || !offerSignedInUser(request)) {
            return true;
        }
    }
}

SessionChoices keptOrNot(bool keepForRun)
{
    SessionChoices choices;
    choices.keepForRun = keepForRun;
    return choices;
}

}  // namespace

TransferPace::TransferPace(uint64_t startMs, const NetworkWindows& windows)
    : windowMs_(windows.paceWindowMs), windowBytes_(windows.paceWindowBytes), windowStartMs_(startMs)
{
}

bool TransferPace::keepsUp(uint64_t received, uint64_t nowMs)
{
    receivedInWindow_ += received;
    if (receivedInWindow_ >= windowBytes_) {
        windowStartMs_ = nowMs;
        receivedInWindow_ = 0;
        return true;
    }
    return nowMs - windowStartMs_ < windowMs_;
}

bool isFetchableUrl(const std::wstring& address)
{
    UrlParts ignored;
    return splitUrl(address, ignored);
}

HttpSession::HttpSession(bool keepForRun) : HttpSession(keptOrNot(keepForRun), nullptr) {}

HttpSession::HttpSession(const SessionChoices& choices, RouteNotes* notes)
    : choices_(choices), routes_(choices.systemProxy, choices.wording, notes)
{
}

bool HttpSession::acquire(const std::wstring& address, WinHttpHandle& own, HINTERNET& session, std::wstring& proxy,
                          std::wstring& errorText)
{
    proxy = routes_.proxyFor(address);
    WinHttpHandle& handle = choices_.keepForRun ? kept_[proxy] : own;
    if (!handle && !openSession(handle, proxy, choices_, errorText)) {
        return false;
    }
    session = handle.get();
    return true;
}

bool httpGet(const std::wstring& address, ByteBuffer& bytes, std::wstring& errorText, DownloadObserver* observer)
{
    HttpSession ownSession(false);
    return httpGet(ownSession, address, bytes, errorText, observer);
}

bool HttpRequest::send(HttpSession& session, const std::wstring& address, const std::wstring& headers,
                       std::wstring& errorText)
{
    windows_ = session.choices().windows;
    wording_ = session.wording();
    if (!splitUrl(address, url_)) {
        errorText = L"Nie udało się zinterpretować URL: " + address;
        return false;
    }
    HINTERNET sessionHandle = nullptr;
    if (!session.acquire(address, ownSession_, sessionHandle, proxy_, errorText)) {
        return false;
    }
    idle_ = session.idleConnections();
    bool mayReuse = idle_ != nullptr && idle_->take(proxy_, url_);
    if (!open(sessionHandle, url_, headers, errorText)) {
        // The failed connection is gone, so the same session connects anew.
        if (!mayReuse || !droppedBeforeAnswer(GetLastError()) || !open(sessionHandle, url_, headers, errorText)) {
            return false;
        }
    }
    if (status_ == HTTP_STATUS_PROXY_AUTH_REQ && !proxy_.empty()) {
        errorText = proxyLogonRefusedText(proxy_, address);
        return false;
    }
    return true;
}

// One request on a connection of the session, up to the answer's status.
bool HttpRequest::open(HINTERNET session, const UrlParts& url, const std::wstring& headers, std::wstring& errorText)
{
    request_.reset();
    connection_.reset(WinHttpConnect(session, url.host.c_str(), url.port, 0));
    if (!connection_) {
        return failWithSystemError(L"WinHttpConnect nie powiodło się. ", wording_, errorText);
    }
    request_.reset(WinHttpOpenRequest(connection_.get(), L"GET", url.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                      WINHTTP_DEFAULT_ACCEPT_TYPES, url.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request_) {
        return failWithSystemError(L"WinHttpOpenRequest nie powiodło się. ", wording_, errorText);
    }
    return exchange(request_.get(), headers, proxy_, wording_, status_, errorText);
}

void HttpRequest::noteConnectionLeftOpen()
{
    wchar_t version[16] = {};
    DWORD size = sizeof version;
    if (idle_ != nullptr &&
        WinHttpQueryHeaders(request_.get(), WINHTTP_QUERY_VERSION, WINHTTP_HEADER_NAME_BY_INDEX, version, &size,
                            WINHTTP_NO_HEADER_INDEX) &&
        answerKeepsConnection(std::wstring(version, size / sizeof(wchar_t)), header(L"Connection"))) {
        idle_->note(proxy_, url_);
    }
}

bool HttpRequest::sendExpecting200(HttpSession& session, const std::wstring& address, std::wstring& errorText)
{
    if (!send(session, address, std::wstring(), errorText)) {
        return false;
    }
    if (status_ != 200) {
        errorText = L"Serwer zwrócił HTTP " + std::to_wstring(status_) + L" dla " + address;
        return false;
    }
    return true;
}

std::wstring HttpRequest::header(const wchar_t* name) const
{
    wchar_t value[512] = {};
    DWORD size = sizeof value;
    if (!WinHttpQueryHeaders(request_.get(), WINHTTP_QUERY_CUSTOM, name, value, &size, WINHTTP_NO_HEADER_INDEX)) {
        return std::wstring();
    }
    return std::wstring(value, size / sizeof(wchar_t));
}

uint64_t HttpRequest::announcedLength() const
{
    wchar_t value[32] = {};
    DWORD size = sizeof value;
    if (!WinHttpQueryHeaders(request_.get(), WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, value,
                             &size, WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    return wcstoull(value, nullptr, 10);
}

// One piece buffer for the whole body, no allocation or zero-fill per piece. Each read takes only
// what has arrived: a read of more waits until all of it is there, and the pace would go unchecked.
BodyOutcome HttpRequest::readBody(BodySink& sink, std::wstring& errorText, DownloadObserver* observer,
                                  uint64_t kept)
{
    uint64_t total = announcedLength();
    uint64_t received = 0;
    ByteBuffer piece(kPieceBytes);
    TransferPace pace(GetTickCount64(), windows_);
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request_.get(), &available)) {
            failWithSystemError(L"WinHttpQueryDataAvailable nie powiodło się. ", wording_, errorText);
            return BodyOutcome::Broken;
        }
        DWORD read = 0;
        DWORD wanted = available < piece.size() ? available : static_cast<DWORD>(piece.size());
        if (wanted != 0 && !WinHttpReadData(request_.get(), piece.data(), wanted, &read)) {
            failWithSystemError(L"WinHttpReadData nie powiodło się. ", wording_, errorText);
            return BodyOutcome::Broken;
        }
        if (read == 0) {
            break;
        }
        if (!sink.write(piece.data(), read, errorText)) {
            return BodyOutcome::Refused;
        }
        received += read;
        if (!pace.keepsUp(read, GetTickCount64())) {
            failAsReadTimeout(wording_, errorText);
            return BodyOutcome::Broken;
        }
        if (observer != nullptr) {
            observer->onProgress(kept + received, total == 0 ? 0 : kept + total);
        }
    }
    // A connection that closes before the announced length is a broken transfer, not a complete body.
    if (total != 0 && received < total) {
        errorText = L"WinHttpReadData nie powiodło się. " + formatSystemError(ERROR_WINHTTP_CONNECTION_ERROR, wording_);
        return BodyOutcome::Broken;
    }
    noteConnectionLeftOpen();
    return BodyOutcome::Complete;
}

bool httpGet(HttpSession& session, const std::wstring& address, ByteBuffer& bytes, std::wstring& errorText,
             DownloadObserver* observer)
{
    HttpRequest request;
    if (!request.sendExpecting200(session, address, errorText)) {
        return false;
    }
    bytes.clear();
    BufferSink sink(bytes, address);
    return sink.expect(request.announcedLength(), errorText) &&
           request.readBody(sink, errorText, observer) == BodyOutcome::Complete;
}

bool httpGet(HttpSession& session, const std::wstring& address, BodySink& sink, std::wstring& errorText,
             DownloadObserver* observer)
{
    HttpRequest request;
    return request.sendExpecting200(session, address, errorText) &&
           request.readBody(sink, errorText, observer) == BodyOutcome::Complete;
}

}  // namespace ovan
