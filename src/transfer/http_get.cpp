#include "transfer/http_get.h"

#include "common/memory_guard.h"
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

// More than any buffer of this process can hold is refused at once; a reserve that fails is only
// a lost hint, as the body may still fit while it grows.
bool reserveFor(ByteBuffer& bytes, uint64_t length)
{
    if (length > bytes.max_size()) {
        return false;
    }
    withinMemory([&] { bytes.reserve(static_cast<size_t>(length)); });
    return true;
}

bool growBy(ByteBuffer& bytes, size_t count)
{
    return withinMemory([&] { bytes.resize(bytes.size() + count); });
}

bool failForMemory(const std::wstring& address, std::wstring& errorText)
{
    errorText = L"Za mało pamięci, aby pobrać " + address;
    return false;
}

bool failAsReadTimeout(ErrorWording wording, std::wstring& errorText)
{
    errorText = L"WinHttpReadData nie powiodło się. " + formatSystemError(ERROR_WINHTTP_TIMEOUT, wording);
    return false;
}

bool readBody(HINTERNET request, const NetworkWindows& windows, const std::wstring& address, ByteBuffer& bytes,
              ErrorWording wording,
              std::wstring& errorText, DownloadObserver* observer)
{
    uint64_t total = announcedLength(request);
    if (!reserveFor(bytes, total)) {
        return failForMemory(address, errorText);
    }
    TransferPace pace(GetTickCount64(), windows);
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            return failWithSystemError(L"WinHttpQueryDataAvailable nie powiodło się. ", wording, errorText);
        }
        if (available == 0) {
            break;
        }
        size_t oldSize = bytes.size();
        if (!growBy(bytes, available)) {
            return failForMemory(address, errorText);
        }
        DWORD read = 0;
        BOOL readOk = WinHttpReadData(request, bytes.data() + oldSize, available, &read);
        bytes.resize(oldSize + read);
        if (!readOk) {
            return failWithSystemError(L"WinHttpReadData nie powiodło się. ", wording, errorText);
        }
        if (!pace.keepsUp(read, GetTickCount64())) {
            return failAsReadTimeout(wording, errorText);
        }
        if (observer != nullptr) {
            observer->onProgress(bytes.size(), total);
        }
    }
    // A connection that closes before the announced length is a broken transfer, not a complete body.
    if (total != 0 && bytes.size() < total) {
        errorText = L"WinHttpReadData nie powiodło się. " + formatSystemError(ERROR_WINHTTP_CONNECTION_ERROR, wording);
        return false;
    }
    return true;
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
bool exchange(HINTERNET request, const std::wstring& proxy, ErrorWording wording, DWORD& status,
              std::wstring& errorText)
{
    for (bool answered = false;; answered = true) {
        if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
            return failOnRoute(L"WinHttpSendRequest nie powiodło się. ", proxy, wording, errorText);
        }
        if (!WinHttpReceiveResponse(request, nullptr)) {
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

bool httpGet(HttpSession& session, const std::wstring& address, ByteBuffer& bytes, std::wstring& errorText,
             DownloadObserver* observer)
{
    UrlParts url;
    if (!splitUrl(address, url)) {
        errorText = L"Nie udało się zinterpretować URL: " + address;
        return false;
    }
    WinHttpHandle ownSession;
    HINTERNET sessionHandle = nullptr;
    std::wstring proxy;
    if (!session.acquire(address, ownSession, sessionHandle, proxy, errorText)) {
        return false;
    }
    WinHttpHandle connection(WinHttpConnect(sessionHandle, url.host.c_str(), url.port, 0));
    if (!connection) {
        return failWithSystemError(L"WinHttpConnect nie powiodło się. ", session.wording(), errorText);
    }
    WinHttpHandle request(WinHttpOpenRequest(connection.get(), L"GET", url.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                             WINHTTP_DEFAULT_ACCEPT_TYPES, url.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) {
        return failWithSystemError(L"WinHttpOpenRequest nie powiodło się. ", session.wording(), errorText);
    }
    DWORD status = 0;
    if (!exchange(request.get(), proxy, session.wording(), status, errorText)) {
        return false;
    }
    if (status == HTTP_STATUS_PROXY_AUTH_REQ && !proxy.empty()) {
        errorText = proxyLogonRefusedText(proxy, address);
        return false;
    }
    if (status != 200) {
        errorText = L"Serwer zwrócił HTTP " + std::to_wstring(status) + L" dla " + address;
        return false;
    }
    bytes.clear();
    return readBody(request.get(), session.choices().windows, address, bytes, session.choices().wording, errorText,
                    observer);
}

}  // namespace ovan
