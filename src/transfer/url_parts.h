#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

namespace ovan {

// The pieces of an address that a download and its route are chosen by.
struct UrlParts {
    std::wstring host;
    std::wstring path;
    INTERNET_PORT port = 0;
    bool secure = false;
};

// Splits an http or https address; false when WinHTTP cannot read it.
bool splitUrl(const std::wstring& address, UrlParts& parts);

}  // namespace ovan
