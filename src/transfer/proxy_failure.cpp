#include "transfer/proxy_failure.h"

#include <windows.h>
#include <winhttp.h>

namespace ovan {

namespace {

const wchar_t* const kWhatToDo =
    L"Ten serwer proxy wskazują ustawienia internetowe systemu Windows (Opcje internetowe, zakładka "
    L"Połączenia). Sprawdź połączenie z siecią albo poproś administratora sieci o sprawdzenie serwera proxy "
    L"i tych ustawień.";

// Behind a proxy the launcher itself resolves and connects to no other host.
bool isProxyUnreachable(unsigned long code)
{
    return code == ERROR_WINHTTP_CANNOT_CONNECT || code == ERROR_WINHTTP_NAME_NOT_RESOLVED;
}

}  // namespace

std::wstring proxyFailureText(const std::wstring& proxy, const wchar_t* literal, unsigned long code,
                              ErrorWording wording)
{
    std::wstring systemText = formatSystemError(code, wording);
    if (isProxyUnreachable(code)) {
        return L"Nie udało się połączyć z serwerem proxy " + proxy + L". " + systemText + L"\n\n" + kWhatToDo;
    }
    return literal + systemText + L"\n\nPołączenie prowadziło przez serwer proxy " + proxy + L". " + kWhatToDo;
}

}  // namespace ovan
