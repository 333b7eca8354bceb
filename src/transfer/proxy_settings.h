#pragma once

#include "transfer/url_parts.h"

#include <string>

namespace ovan {

// The way out to the internet that the user's Windows internet settings name.
struct UserProxySettings {
    // Look for a proxy configuration script on the network (WPAD).
    bool autoDetect = false;
    // The address of a proxy configuration (PAC) script.
    std::wstring configScript;
    // The static proxy: "host:port", or one per scheme as "http=host:port;https=host:port".
    std::wstring proxyList;
    // Hosts the static proxy is not used for, separated by semicolons.
    std::wstring bypassList;

    bool automatic() const { return autoDetect || !configScript.empty(); }

    // As on a machine whose settings were never changed, which Windows (and Wine) read as detection switched on.
    bool detectionOnly() const
    {
        return autoDetect && configScript.empty() && proxyList.empty() && bypassList.empty();
    }
};

// The current user's settings; none at all when they cannot be read, so the run goes as without them.
UserProxySettings readUserProxySettings();

// The static proxy that serves an address of the given scheme; empty when the list names none for it.
std::wstring proxyForScheme(const std::wstring& proxyList, bool secure);

// Whether the bypass list sends the address past the proxy: "<local>" for host names without a dot, other
// entries as host patterns with "*" wildcards, optionally with a scheme before and a port after, in any case.
bool bypassesProxy(const std::wstring& bypassList, const UrlParts& url);

}  // namespace ovan
