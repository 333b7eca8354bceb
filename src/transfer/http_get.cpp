#include "transfer/http_get.h"

#include "common/scoped_handle.h"
#include "diagnostics/error_text.h"

#include <cwchar>

namespace ovan {

namespace {

const wchar_t* const kUserAgent = L"OVANLauncher/1.0";
const int kResolveTimeoutMs = 5000;
const int kConnectTimeoutMs = 5000;
const int kSendTimeoutMs = 10000;
const int kReceiveTimeoutMs = 20000;
// Wine bounds the wait for response headers only by this option, not by the receive timeout.
const DWORD kReceiveResponseTimeoutMs = kReceiveTimeoutMs;

struct UrlParts {
    std::wstring host;
    std::wstring path;
    INTERNET_PORT port = 0;
    bool secure = false;
};

bool splitUrl(const std::wstring& address, UrlParts& parts)
{
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    URL_COMPONENTS components = {};
    components.dwStructSize = sizeof components;
    components.lpszHostName = host;
    components.dwHostNameLength = 256;
    components.lpszUrlPath = path;
    components.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(address.c_str(), 0, 0, &components)) {
        return false;
    }
    parts.host.assign(host, components.dwHostNameLength);
    parts.path.assign(path, components.dwUrlPathLength);
    parts.port = components.nPort;
    parts.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
    return true;
}

bool failWithSystemError(const wchar_t* literal, std::wstring& errorText)
{
    DWORD code = GetLastError();
    errorText = literal + formatSystemError(code);
    // Kept for a caller that tells one failure from another.
    SetLastError(code);
    return false;
}

bool failAsReadTimeout(std::wstring& errorText)
{
    errorText = L"WinHttpReadData nie powiodło się. " + formatSystemError(ERROR_WINHTTP_TIMEOUT);
    return false;
}

bool openSession(WinHttpHandle& session, std::wstring& errorText)
{
    session.reset(
        WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        return failWithSystemError(L"WinHttpOpen nie powiodło się. ", errorText);
    }
    WinHttpSetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);
    DWORD responseTimeout = kReceiveResponseTimeoutMs;
    WinHttpSetOption(session.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout, sizeof responseTimeout);
    return true;
}

}  // namespace

TransferPace::TransferPace(uint64_t startMs) : windowStartMs_(startMs) {}

bool TransferPace::keepsUp(uint64_t received, uint64_t nowMs)
{
    windowBytes_ += received;
    if (windowBytes_ >= kWindowBytes) {
        windowStartMs_ = nowMs;
        windowBytes_ = 0;
        return true;
    }
    return nowMs - windowStartMs_ < kWindowMs;
}

bool isFetchableUrl(const std::wstring& address)
{
    UrlParts ignored;
    return splitUrl(address, ignored);
}

HttpSession::HttpSession(bool keepForRun) : keepForRun_(keepForRun) {}

bool HttpSession::acquire(WinHttpHandle& own, HINTERNET& session, std::wstring& errorText)
{
    WinHttpHandle& handle = keepForRun_ ? kept_ : own;
    if (!handle && !openSession(handle, errorText)) {
        return false;
    }
    session = handle.get();
    return true;
}

bool HttpRequest::send(HttpSession& session, const std::wstring& address, const std::wstring& headers,
                       std::wstring& errorText)
{
    UrlParts url;
    if (!splitUrl(address, url)) {
        errorText = L"Nie udało się zinterpretować URL: " + address;
        return false;
    }
    HINTERNET sessionHandle = nullptr;
    if (!session.acquire(ownSession_, sessionHandle, errorText)) {
        return false;
    }
    connection_.reset(WinHttpConnect(sessionHandle, url.host.c_str(), url.port, 0));
    if (!connection_) {
        return failWithSystemError(L"WinHttpConnect nie powiodło się. ", errorText);
    }
    request_.reset(WinHttpOpenRequest(connection_.get(), L"GET", url.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                      WINHTTP_DEFAULT_ACCEPT_TYPES, url.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request_) {
        return failWithSystemError(L"WinHttpOpenRequest nie powiodło się. ", errorText);
    }
    const wchar_t* extra = headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str();
    if (!WinHttpSendRequest(request_.get(), extra, static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0,
                            0, 0)) {
        return failWithSystemError(L"WinHttpSendRequest nie powiodło się. ", errorText);
    }
    if (!WinHttpReceiveResponse(request_.get(), nullptr)) {
        return failWithSystemError(L"WinHttpReceiveResponse nie powiodło się. ", errorText);
    }
    DWORD statusSize = sizeof status_;
    if (!WinHttpQueryHeaders(request_.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status_, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
        return failWithSystemError(L"Nie udało się odczytać kodu HTTP. ", errorText);
    }
    return true;
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
    TransferPace pace(GetTickCount64());
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request_.get(), &available)) {
            failWithSystemError(L"WinHttpQueryDataAvailable nie powiodło się. ", errorText);
            return BodyOutcome::Broken;
        }
        DWORD read = 0;
        DWORD wanted = available < piece.size() ? available : static_cast<DWORD>(piece.size());
        if (wanted != 0 && !WinHttpReadData(request_.get(), piece.data(), wanted, &read)) {
            failWithSystemError(L"WinHttpReadData nie powiodło się. ", errorText);
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
            failAsReadTimeout(errorText);
            return BodyOutcome::Broken;
        }
        if (observer != nullptr) {
            observer->onProgress(kept + received, total == 0 ? 0 : kept + total);
        }
    }
    // A connection that closes before the announced length is a broken transfer, not a complete body.
    if (total != 0 && received < total) {
        errorText = L"WinHttpReadData nie powiodło się. " + formatSystemError(ERROR_WINHTTP_CONNECTION_ERROR);
        return BodyOutcome::Broken;
    }
    return BodyOutcome::Complete;
}

bool httpGet(const std::wstring& address, ByteBuffer& bytes, std::wstring& errorText, DownloadObserver* observer)
{
    HttpSession ownSession(false);
    return httpGet(ownSession, address, bytes, errorText, observer);
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
