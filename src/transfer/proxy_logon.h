#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

namespace ovan {

// A proxy that answered 407 and offers Negotiate or NTLM is given the signed-in user's own logon for this
// request; true when the request is ready to be sent once more. Basic is never answered: the launcher
// holds no password.
bool offerSignedInUser(HINTERNET request);

// Why a download that the proxy still refuses with 407 fails, and what the user can do about it.
std::wstring proxyLogonRefusedText(const std::wstring& proxy, const std::wstring& address);

}  // namespace ovan
