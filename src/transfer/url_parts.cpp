#include "transfer/url_parts.h"

namespace ovan {

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

}  // namespace ovan
