#include "transfer/proxy_route.h"

#include "common/scoped_handle.h"

#include <algorithm>

namespace ovan {

namespace {

// A script server that stalls must not hold the run for long.
const int kScriptResolveTimeoutMs = 5000;
const int kScriptTimeoutMs = 10000;

}  // namespace

ProxyRoutes::ProxyRoutes(bool followUserSettings, ErrorWording wording, RouteNotes* notes)
    : followUserSettings_(followUserSettings), wording_(wording), notes_(notes)
{
}

std::wstring ProxyRoutes::proxyFor(const std::wstring& address)
{
    if (!followUserSettings_) {
        return std::wstring();
    }
    if (!settingsRead_) {
        settings_ = readUserProxySettings();
        settingsRead_ = true;
    }
    std::wstring proxy = settings_.automatic() ? automaticProxyFor(address) : staticProxyFor(address);
    noteFirstUse(proxy);
    return proxy;
}

std::wstring ProxyRoutes::automaticProxyFor(const std::wstring& address)
{
    std::wstring proxy;
    unsigned long code = 0;
    if (automaticFailed_ || runScript(address, proxy, code)) {
        return proxy;
    }
    automaticFailed_ = true;
    // Detection alone that finds nothing is how nearly every machine goes out: nothing there is wrong.
    if (code == ERROR_WINHTTP_AUTODETECTION_FAILED && settings_.detectionOnly()) {
        return std::wstring();
    }
    std::wstring reason = L", połączenie bezpośrednie | " + formatSystemError(code, wording_);
    note(settings_.configScript.empty()
             ? L"Automatyczne wykrywanie serwera proxy nie powiodło się" + reason
             : L"Nie udało się użyć skryptu konfiguracji proxy " + settings_.configScript + reason);
    return std::wstring();
}

std::wstring ProxyRoutes::staticProxyFor(const std::wstring& address) const
{
    UrlParts url;
    if (!splitUrl(address, url) || bypassesProxy(settings_.bypassList, url)) {
        return std::wstring();
    }
    return proxyForScheme(settings_.proxyList, url.secure);
}

// WinHTTP fetches and runs the script (or detects one) for this address; false with the platform's code
// when it cannot.
bool ProxyRoutes::runScript(const std::wstring& address, std::wstring& proxy, unsigned long& code)
{
    if (!scriptSession_) {
        scriptSession_.reset(
            WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!scriptSession_) {
            code = GetLastError();
            return false;
        }
        WinHttpSetTimeouts(scriptSession_.get(), kScriptResolveTimeoutMs, kScriptTimeoutMs, kScriptTimeoutMs,
                           kScriptTimeoutMs);
    }
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (settings_.autoDetect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (!settings_.configScript.empty()) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = settings_.configScript.c_str();
    }
    // A script server that asks who is there gets the signed-in user, as a proxy does.
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info = {};
    if (!WinHttpGetProxyForUrl(scriptSession_.get(), address.c_str(), &options, &info)) {
        code = GetLastError();
        return false;
    }
    GlobalMemory proxyText(info.lpszProxy);
    GlobalMemory bypassText(info.lpszProxyBypass);
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy != nullptr) {
        proxy = info.lpszProxy;
    }
    return true;
}

void ProxyRoutes::noteFirstUse(const std::wstring& proxy)
{
    if (proxy.empty() || std::find(usedProxies_.begin(), usedProxies_.end(), proxy) != usedProxies_.end()) {
        return;
    }
    usedProxies_.push_back(proxy);
    note(L"Połączenie przez serwer proxy: " + proxy);
}

void ProxyRoutes::note(const std::wstring& line)
{
    if (notes_ != nullptr) {
        notes_->note(line);
    }
}

}  // namespace ovan
