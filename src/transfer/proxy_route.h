#pragma once

#include "diagnostics/error_text.h"
#include "transfer/proxy_settings.h"
#include "transfer/winhttp_handle.h"

#include <string>
#include <vector>

namespace ovan {

// Where the routes of a run note what the user's proxy settings did: update.log for the launcher.
class RouteNotes {
public:
    virtual void note(const std::wstring& line) = 0;

protected:
    ~RouteNotes() = default;
};

// The way each address of a run goes out: straight to its server or through a proxy, as the user's
// Windows internet settings say. The settings are read once, at the first address.
class ProxyRoutes {
public:
    // Without followUserSettings every address goes straight, as WinHTTP's own default would have it,
    // and nothing is read.
    ProxyRoutes(bool followUserSettings, ErrorWording wording, RouteNotes* notes);

    // The proxy the address goes through, as WinHTTP names proxies ("host:port"); empty: straight.
    std::wstring proxyFor(const std::wstring& address);

private:
    std::wstring automaticProxyFor(const std::wstring& address);
    std::wstring staticProxyFor(const std::wstring& address) const;
    bool runScript(const std::wstring& address, std::wstring& proxy, unsigned long& code);
    void noteFirstUse(const std::wstring& proxy);
    void note(const std::wstring& line);

    bool followUserSettings_;
    ErrorWording wording_;
    RouteNotes* notes_;
    bool settingsRead_ = false;
    UserProxySettings settings_;
    // Once the script or the detection has failed, the rest of the run goes straight without asking again.
    bool automaticFailed_ = false;
    WinHttpHandle scriptSession_;
    std::vector<std::wstring> usedProxies_;
};

}  // namespace ovan
