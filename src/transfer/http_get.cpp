#include "transfer/http_get.h"

#include "common/memory_guard.h"
#include "common/scoped_handle.h"
#include "diagnostics/error_text.h"

#include <cwchar>

namespace ovan {

namespace {

const wchar_t* const kUserAgent = L"OVANLauncher/1.0";
const int kResolveTimeoutMs = 5000;
const int kConnectTimeoutMs = 5000;
const int kSendTimeoutMs = 10000;

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

bool failAsReadTimeout(std::wstring& errorText)
{
    errorText = L"WinHttpReadData nie powiodło się. " + formatSystemError(ERROR_WINHTTP_TIMEOUT);
    return false;
}

bool readBody(HINTERNET request, const NetworkWindows& windows, const std::wstring& address, ByteBuffer& bytes,
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
            return failWithSystemError(L"WinHttpQueryDataAvailable nie powiodło się. ", errorText);
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
            return failWithSystemError(L"WinHttpReadData nie powiodło się. ", errorText);
        }
        if (!pace.keepsUp(read, GetTickCount64())) {
            return failAsReadTimeout(errorText);
        }
        if (observer != nullptr) {
            observer->onProgress(bytes.size(), total);
        }
    }
    // A connection that closes before the announced length is a broken transfer, not a complete body.
    if (total != 0 && bytes.size() < total) {
        errorText = L"WinHttpReadData nie powiodło się. " + formatSystemError(ERROR_WINHTTP_CONNECTION_ERROR);
        return false;
    }
    return true;
}

bool openSession(const NetworkWindows& windows, WinHttpHandle& session, std::wstring& errorText)
{
    session.reset(
        WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        return failWithSystemError(L"WinHttpOpen nie powiodło się. ", errorText);
    }
    int receiveTimeout = static_cast<int>(windows.receiveTimeoutMs);
    WinHttpSetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, receiveTimeout);
    // Wine bounds the wait for response headers only by this option, not by the receive timeout.
    DWORD responseTimeout = windows.receiveTimeoutMs;
    WinHttpSetOption(session.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout, sizeof responseTimeout);
    return true;
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

HttpSession::HttpSession(bool keepForRun, const NetworkWindows& windows) : keepForRun_(keepForRun), windows_(windows)
{
}

bool HttpSession::acquire(WinHttpHandle& own, HINTERNET& session, std::wstring& errorText)
{
    WinHttpHandle& handle = keepForRun_ ? kept_ : own;
    if (!handle && !openSession(windows_, handle, errorText)) {
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
    if (!session.acquire(ownSession, sessionHandle, errorText)) {
        return false;
    }
    WinHttpHandle connection(WinHttpConnect(sessionHandle, url.host.c_str(), url.port, 0));
    if (!connection) {
        return failWithSystemError(L"WinHttpConnect nie powiodło się. ", errorText);
    }
    WinHttpHandle request(WinHttpOpenRequest(connection.get(), L"GET", url.path.c_str(), nullptr, WINHTTP_NO_REFERER,
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
    bytes.clear();
    return readBody(request.get(), session.windows(), address, bytes, errorText, observer);
}

}  // namespace ovan
