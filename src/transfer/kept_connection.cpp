#include "transfer/kept_connection.h"

#include "common/text.h"

#include <windows.h>
#include <winhttp.h>

namespace ovan {

namespace {

// One server as WinHTTP pools connections: the route's proxy, then the scheme, host and port.
std::wstring serverKey(const std::wstring& proxy, const UrlParts& url)
{
    return proxy + L"|" + (url.secure ? L"https://" : L"http://") + toUpperAscii(url.host) + L":" +
           std::to_wstring(url.port);
}

}  // namespace

void IdleConnections::note(const std::wstring& proxy, const UrlParts& url)
{
    servers_.insert(serverKey(proxy, url));
}

bool IdleConnections::take(const std::wstring& proxy, const UrlParts& url)
{
    return servers_.erase(serverKey(proxy, url)) != 0;
}

bool droppedBeforeAnswer(unsigned long code)
{
    // Windows reports a dropped connection as 12030; Wine as the reset itself, or as 12152 for a close.
    return code == WSAECONNRESET || code == ERROR_WINHTTP_CONNECTION_ERROR ||
           code == ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
}

bool answerKeepsConnection(const std::wstring& version, const std::wstring& connection)
{
    std::wstring token = toUpperAscii(trimWhitespace(connection));
    if (token == L"CLOSE") {
        return false;
    }
    return version != L"HTTP/1.0" || token == L"KEEP-ALIVE";
}

}  // namespace ovan
