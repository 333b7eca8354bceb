#include "transfer/proxy_logon.h"

namespace ovan {

bool offerSignedInUser(HINTERNET request)
{
    DWORD supported = 0;
    DWORD preferred = 0;
    DWORD target = 0;
    if (!WinHttpQueryAuthSchemes(request, &supported, &preferred, &target) || target != WINHTTP_AUTH_TARGET_PROXY) {
        return false;
    }
    DWORD scheme = (supported & WINHTTP_AUTH_SCHEME_NEGOTIATE) != 0 ? WINHTTP_AUTH_SCHEME_NEGOTIATE
                   : (supported & WINHTTP_AUTH_SCHEME_NTLM) != 0    ? WINHTTP_AUTH_SCHEME_NTLM
                                                                    : 0;
    if (scheme == 0) {
        return false;
    }
    // The low policy lets WinHTTP hand the signed-in user's logon to any host, this proxy included; the
    // credentials themselves never pass through the launcher.
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    return WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof policy) &&
           WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr);
}

std::wstring proxyLogonRefusedText(const std::wstring& proxy, const std::wstring& address)
{
    return L"Serwer proxy " + proxy + L" wymaga logowania (HTTP 407) przy pobieraniu " + address +
           L"\n\nProgram aktualizacji loguje się na serwerze proxy tylko jako zalogowany użytkownik Windows i nie "
           L"podaje żadnego hasła. Poproś administratora sieci, aby serwer proxy przepuszczał ten adres bez "
           L"logowania albo przyjmował logowanie do domeny Windows.";
}

}  // namespace ovan
