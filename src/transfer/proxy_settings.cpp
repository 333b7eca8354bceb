#include "transfer/proxy_settings.h"

#include "common/scoped_handle.h"
#include "common/text.h"

#include <vector>

namespace ovan {

namespace {

std::wstring owned(const wchar_t* text)
{
    return text != nullptr ? std::wstring(text) : std::wstring();
}

// The entries of a list; the browser separates them by semicolons, and blanks or commas are read the same way.
std::vector<std::wstring> listEntries(const std::wstring& list)
{
    std::vector<std::wstring> entries;
    std::wstring entry;
    for (wchar_t c : list + L";") {
        if (c == L';' || c == L',' || isWhiteSpace(c)) {
            if (!entry.empty()) {
                entries.push_back(entry);
            }
            entry.clear();
        } else {
            entry += c;
        }
    }
    return entries;
}

// "*" stands for any run of characters, the empty one included.
bool matchesWildcard(const std::wstring& pattern, const std::wstring& text)
{
    size_t p = 0;
    size_t t = 0;
    size_t starAt = std::wstring::npos;
    size_t resumeAt = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            starAt = p++;
            resumeAt = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (starAt != std::wstring::npos) {
            p = starAt + 1;
            t = ++resumeAt;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') {
        ++p;
    }
    return p == pattern.size();
}

// Cuts "scheme://" off the front of an entry; false when it names the other scheme.
bool takeScheme(std::wstring& entry, bool secure)
{
    size_t end = entry.find(L"://");
    if (end == std::wstring::npos) {
        return true;
    }
    std::wstring scheme = entry.substr(0, end);
    entry.erase(0, end + 3);
    return scheme == (secure ? L"HTTPS" : L"HTTP");
}

// Cuts ":port" off the end of an entry; false when it names another port.
bool takePort(std::wstring& entry, INTERNET_PORT port)
{
    size_t colon = entry.rfind(L':');
    if (colon == std::wstring::npos || entry.find(L']', colon) != std::wstring::npos) {
        return true;
    }
    std::wstring digits = entry.substr(colon + 1);
    entry.erase(colon);
    return digits == L"*" || digits == std::to_wstring(port);
}

bool entryMatches(std::wstring entry, const UrlParts& url, const std::wstring& host)
{
    if (entry == L"<LOCAL>") {
        return host.find_first_of(L".:") == std::wstring::npos;
    }
    if (!takeScheme(entry, url.secure) || !takePort(entry, url.port)) {
        return false;
    }
    if (!entry.empty() && entry[0] == L'.') {
        entry.insert(0, L"*");
    }
    return matchesWildcard(entry, host);
}

}  // namespace

UserProxySettings readUserProxySettings()
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    UserProxySettings settings;
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) {
        return settings;
    }
    GlobalMemory script(config.lpszAutoConfigUrl);
    GlobalMemory proxy(config.lpszProxy);
    GlobalMemory bypass(config.lpszProxyBypass);
    settings.autoDetect = config.fAutoDetect != FALSE;
    settings.configScript = owned(config.lpszAutoConfigUrl);
    settings.proxyList = owned(config.lpszProxy);
    settings.bypassList = owned(config.lpszProxyBypass);
    return settings;
}

std::wstring proxyForScheme(const std::wstring& proxyList, bool secure)
{
    const std::wstring wanted = secure ? L"HTTPS=" : L"HTTP=";
    std::wstring forEveryScheme;
    for (const std::wstring& entry : listEntries(proxyList)) {
        size_t equals = entry.find(L'=');
        if (equals == std::wstring::npos) {
            forEveryScheme = forEveryScheme.empty() ? entry : forEveryScheme;
        } else if (toUpperAscii(entry.substr(0, equals + 1)) == wanted) {
            return entry.substr(equals + 1);
        }
    }
    return forEveryScheme;
}

bool bypassesProxy(const std::wstring& bypassList, const UrlParts& url)
{
    std::wstring host = toUpperAscii(url.host);
    for (const std::wstring& entry : listEntries(bypassList)) {
        if (entryMatches(toUpperAscii(entry), url, host)) {
            return true;
        }
    }
    return false;
}

}  // namespace ovan
