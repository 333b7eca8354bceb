#include "diagnostics/network_texts.h"

#include <windows.h>
#include <winhttp.h>

namespace ovan {

namespace {

struct NetworkSentence {
    DWORD code;
    const wchar_t* text;
};

const NetworkSentence kNetworkSentences[] = {
    {ERROR_WINHTTP_TIMEOUT, L"Serwer nie odpowiedział w wyznaczonym czasie."},
    {ERROR_WINHTTP_NAME_NOT_RESOLVED, L"Nie udało się odnaleźć serwera o tej nazwie. Sprawdź połączenie z internetem."},
    {ERROR_WINHTTP_CANNOT_CONNECT, L"Nie udało się nawiązać połączenia z serwerem. Sprawdź połączenie z internetem."},
    {ERROR_WINHTTP_CONNECTION_ERROR, L"Połączenie z serwerem zostało przerwane."},
    {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, L"Serwer wysłał niepoprawną odpowiedź."},
    {ERROR_WINHTTP_REDIRECT_FAILED, L"Serwer przekierował pobieranie pod adres, którego program aktualizacji nie przyjmuje."},
    {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, L"Nie udało się nawiązać bezpiecznego połączenia z serwerem."},
    {ERROR_WINHTTP_SECURE_FAILURE, L"Nie udało się nawiązać bezpiecznego połączenia z serwerem: jego certyfikat nie został przyjęty."},
    {ERROR_WINHTTP_SECURE_CERT_DATE_INVALID, L"Certyfikat serwera wygasł albo nie jest jeszcze ważny. Sprawdź datę i godzinę w komputerze."},
    {ERROR_WINHTTP_SECURE_CERT_CN_INVALID, L"Certyfikat serwera został wystawiony dla innej nazwy serwera."},
    {ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED, L"Serwer wymaga certyfikatu klienta, którego program aktualizacji nie ma."},
    {ERROR_WINHTTP_SECURE_INVALID_CA, L"Certyfikat serwera nie pochodzi od zaufanego urzędu certyfikacji."},
    {ERROR_WINHTTP_SECURE_CERT_REV_FAILED, L"Nie udało się sprawdzić, czy certyfikat serwera nie został unieważniony."},
    {ERROR_WINHTTP_SECURE_INVALID_CERT, L"Certyfikat serwera jest nieprawidłowy."},
    {ERROR_WINHTTP_SECURE_CERT_REVOKED, L"Certyfikat serwera został unieważniony."},
    {ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE, L"Certyfikat serwera nie jest przeznaczony do tego zastosowania."},
    {ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT, L"Skrypt konfiguracji serwera proxy zawiera błąd."},
    {ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT, L"Nie udało się pobrać skryptu konfiguracji serwera proxy."},
    {ERROR_WINHTTP_SCRIPT_EXECUTION_ERROR, L"Wykonanie skryptu konfiguracji serwera proxy nie powiodło się."},
    {ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR, L"Usługa automatycznej konfiguracji serwera proxy nie odpowiedziała."},
    {ERROR_WINHTTP_AUTODETECTION_FAILED, L"Automatyczne wykrywanie serwera proxy niczego nie znalazło."},
    {ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED_PROXY, L"Serwer proxy wymaga certyfikatu klienta, którego program aktualizacji nie ma."},
    {ERROR_WINHTTP_SECURE_FAILURE_PROXY, L"Nie udało się nawiązać bezpiecznego połączenia z serwerem proxy."},
    {WSAECONNRESET, L"Serwer zerwał połączenie."},
    {WSAETIMEDOUT, L"Serwer nie odpowiedział na czas na próbę połączenia."},
};

}  // namespace

const wchar_t* networkErrorSentence(unsigned long code)
{
    for (const NetworkSentence& sentence : kNetworkSentences) {
        if (sentence.code == code) {
            return sentence.text;
        }
    }
    return nullptr;
}

}  // namespace ovan
