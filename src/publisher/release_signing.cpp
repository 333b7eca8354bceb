#include "publisher/release_signing.h"

#include "common/base64.h"
#include "common/paths.h"
#include "diagnostics/fatal_report.h"
#include "manifest/ecdsa_p256.h"
#include "manifest/manifest_signature.h"
#include "publisher/publish_files.h"

#include <windows.h>

#include <vector>

namespace ovan {

namespace {

void say(const std::wstring& text)
{
    writeStandardLine(STD_OUTPUT_HANDLE, text);
}

ByteBuffer publicHalf(const ByteBuffer& privateKey)
{
    return ByteBuffer(privateKey.begin(), privateKey.begin() + kP256PublicKeySize);
}

std::string base64Line(const ByteBuffer& bytes)
{
    return encodeBase64(bytes) + "\n";
}

}  // namespace

int generateKeyFile(const std::wstring& keyPath)
{
    ByteBuffer privateKey;
    if (!generateP256(privateKey)) {
        writeStandardError(keyPath + L": nie udało się wygenerować pary kluczy");
        return 1;
    }
    unsigned long systemError = 0;
    if (examinePath(keyPath, systemError) != PathState::Missing) {
        writeStandardError(keyPath + L": plik już istnieje (albo nie można tego sprawdzić); OVANPublish nigdy nie "
                                     L"zastępuje klucza prywatnego");
        return 1;
    }
    if (!writeFileBytes(keyPath, base64Line(privateKey), false)) {
        writeStandardError(keyPath + L": nie udało się zapisać klucza prywatnego");
        return 1;
    }
    say(L"Zapisano klucz prywatny: " + keyPath + L" (trzymaj go poza serwerem aktualizacji)");
    say(L"Klucz publiczny do wbudowania w launcher (OVAN_RELEASE_PUBLIC_KEYS):");
    say(publicKeyText(publicHalf(privateKey)));
    return 0;
}

bool signManifest(const std::string& manifestBytes, const std::wstring& keyPath, std::string& signatureFile,
                  std::wstring& publicKey, std::wstring& errorText)
{
    ByteBuffer keyFile;
    ByteBuffer privateKey;
    if (!readFileBytes(keyPath, keyFile) || !decodeBase64Line(keyFile, kP256PrivateKeySize, privateKey)) {
        errorText = keyPath + L": to nie jest plik klucza prywatnego zapisany przez OVANPublish keygen";
        return false;
    }
    ByteBuffer message(manifestBytes.begin(), manifestBytes.end());
    ByteBuffer signature;
    if (!signP256(privateKey, message, signature) || !verifyP256(publicHalf(privateKey), message, signature)) {
        errorText = keyPath + L": nie udało się podpisać manifestu tym kluczem (klucz jest uszkodzony)";
        return false;
    }
    signatureFile = base64Line(signature);
    publicKey = publicKeyText(publicHalf(privateKey));
    return true;
}

bool reportSignature(const std::wstring& manifestPath, const std::wstring& publicKeys)
{
    std::vector<ByteBuffer> keys;
    if (!parsePublicKeys(publicKeys, keys)) {
        say(L"BŁĄD: klucze publiczne nie są jednym albo dwoma kluczami wypisanymi przez OVANPublish keygen, "
            L"rozdzielonymi spacją");
        return false;
    }
    std::wstring signaturePath = signatureAddress(manifestPath);
    ByteBuffer manifestBytes;
    ByteBuffer signatureFile;
    ByteBuffer signature;
    if (!readFileBytes(manifestPath, manifestBytes) || !readFileBytes(signaturePath, signatureFile)) {
        say(L"BŁĄD: brak pliku podpisu albo nie można go odczytać: " + signaturePath +
            L"; launcher z kluczem nie przyjmie manifestu (\"Nie udało się pobrać podpisu manifestu aktualizacji.\")");
        return false;
    }
    if (!decodeBase64Line(signatureFile, kP256SignatureSize, signature)) {
        say(L"BŁĄD: plik podpisu nie jest jedną linią base64 z 64 bajtami podpisu: " + signaturePath +
            L"; launcher odrzuci manifest (\"Podpis manifestu aktualizacji jest niepoprawny.\")");
        return false;
    }
    if (!isManifestSignedBy(manifestBytes, signatureFile, publicKeys)) {
        say(L"BŁĄD: podpis nie pasuje do manifestu albo złożył go inny klucz: " + signaturePath +
            L"; launcher odrzuci manifest (\"Podpis manifestu aktualizacji jest niepoprawny.\")");
        return false;
    }
    say(L"Podpis manifestu jest poprawny: " + signaturePath);
    return true;
}

}  // namespace ovan
