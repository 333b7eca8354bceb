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
    return false;
}

// The announced Content-Length, 0 when there is none.
uint64_t announcedLength(HINTERNET request)
{
    wchar_t value[32] = {};
    DWORD size = sizeof value;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, value, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    return wcstoull(value, nullptr, 10);
}

bool failAsReadTimeout(std::wstring& errorText)
{
    errorText = L"WinHttpReadData nie powiodło się. " + formatSystemError(ERROR_WINHTTP_TIMEOUT);
    return false;
}

bool readBody(HINTERNET request, BodySink& sink, std::wstring& errorText, DownloadObserver* observer)
{
    uint64_t total = announcedLength(request);
    uint64_t received = 0;
    TransferPace pace(GetTickCount64());
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            return failWithSystemError(L"WinHttpQueryDataAvailable nie powiodło się. ", errorText);
        }
        if (available == 0) {
            break;
        }
        ByteBuffer piece(available);
        DWORD read = 0;
        if (!WinHttpReadData(request, piece.data(), available, &read)) {
            return failWithSystemError(L"WinHttpReadData nie powiodło się. ", errorText);
        }
        if (!sink.write(piece.data(), read, errorText)) {
            return false;
        }
        received += read;
        if (!pace.keepsUp(read, GetTickCount64())) {
            return failAsReadTimeout(errorText);
        }
        if (observer != nullptr) {
            observer->onProgress(received, total);
        }
    }
    // A connection that closes before the announced length is a broken transfer, not a complete body.
    if (total != 0 && received < total) {
        errorText = L"WinHttpReadData nie powiodło się. " + formatSystemError(ERROR_WINHTTP_CONNECTION_ERROR);
        return false;
    }
    return true;
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

// Sends one GET and waits for an answer of status 200.
bool openGet(HttpSession& session, const std::wstring& address, WinHttpHandle& connection, WinHttpHandle& request,
             std::wstring& errorText)
{
    UrlParts url;
    if (!splitUrl(address, url)) {
        errorText = L"Nie udało się zinterpretować URL: " + address;
        return false;
    }
    WinHttpHandle ownSession;
    HINTERNET sessionHandle = nullptr;
    if (!session.acquire(ownSession, sessionHandle, errorText)) {
        return false;
    }
    connection.reset(WinHttpConnect(sessionHandle, url.host.c_str(), url.port, 0));
    if (!connection) {
        return failWithSystemError(L"WinHttpConnect nie powiodło się. ", errorText);
    }
    request.reset(WinHttpOpenRequest(connection.get(), L"GET", url.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, url.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) {
        return failWithSystemError(L"WinHttpOpenRequest nie powiodło się. ", errorText);
    }
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        return failWithSystemError(L"WinHttpSendRequest nie powiodło się. ", errorText);
    }
    if (!WinHttpReceiveResponse(request.get(), nullptr)) {
        return failWithSystemError(L"WinHttpReceiveResponse nie powiodło się. ", errorText);
    }
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
        return failWithSystemError(L"Nie udało się odczytać kodu HTTP. ", errorText);
    }
    if (status != 200) {
        errorText = L"Serwer zwrócił HTTP " + std::to_wstring(status) + L" dla " + address;
        return false;
    }
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

bool httpGet(const std::wstring& address, ByteBuffer& bytes, std::wstring& errorText, DownloadObserver* observer)
{
    HttpSession ownSession(false);
    return httpGet(ownSession, address, bytes, errorText, observer);
}

bool httpGet(HttpSession& session, const std::wstring& address, ByteBuffer& bytes, std::wstring& errorText,
             DownloadObserver* observer)
{
    WinHttpHandle connection;
    WinHttpHandle request;
    if (!openGet(session, address, connection, request, errorText)) {
        return false;
    }
    bytes.clear();
    BufferSink sink(bytes, address);
    return sink.expect(announcedLength(request.get()), errorText) &&
           readBody(request.get(), sink, errorText, observer);
}

bool httpGet(HttpSession& session, const std::wstring& address, BodySink& sink, std::wstring& errorText,
             DownloadObserver* observer)
{
    WinHttpHandle connection;
    WinHttpHandle request;
    return openGet(session, address, connection, request, errorText) &&
           readBody(request.get(), sink, errorText, observer);
}

}  // namespace ovan
