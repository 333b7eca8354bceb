#include "manifest/manifest_signature.h"

#include "common/base64.h"
#include "manifest/ecdsa_p256.h"
#include "transfer/http_get.h"

namespace ovan {

namespace {

bool isBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

std::vector<std::wstring> splitAtBlanks(const std::wstring& text)
{
    std::vector<std::wstring> words;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = start;
        while (end < text.size() && !isBlank(text[end])) {
            ++end;
        }
        if (end > start) {
            words.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return words;
}

}  // namespace

std::wstring publicKeyText(const ByteBuffer& publicKey)
{
    std::string text = encodeBase64(publicKey);
    return std::wstring(text.begin(), text.end());
}

bool parsePublicKeys(const std::wstring& text, std::vector<ByteBuffer>& keys)
{
    std::vector<std::wstring> words = splitAtBlanks(text);
    if (words.empty() || words.size() > 2) {
        return false;
    }
    std::vector<ByteBuffer> parsed;
    for (const std::wstring& word : words) {
        ByteBuffer key;
        if (!decodeBase64(encodeUtf8(word), key) || key.size() != kP256PublicKeySize) {
            return false;
        }
        parsed.push_back(key);
    }
    keys = parsed;
    return true;
}

bool decodeBase64Line(const ByteBuffer& file, size_t size, ByteBuffer& bytes)
{
    std::string line(file.begin(), file.end());
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
    }
    ByteBuffer decoded;
    if (!decodeBase64(line, decoded) || decoded.size() != size) {
        return false;
    }
    bytes = decoded;
    return true;
}

std::wstring signatureAddress(const std::wstring& manifestAddress)
{
    return manifestAddress + L".sig";
}

bool fetchManifestSignature(HttpSession& session, const std::wstring& manifestAddress, ByteBuffer& signatureFile,
                            std::wstring& errorText)
{
    return httpGet(session, signatureAddress(manifestAddress), signatureFile, errorText);
}

bool isManifestSignedBy(const ByteBuffer& manifestBytes, const ByteBuffer& signatureFile, const std::wstring& publicKeys)
{
    std::vector<ByteBuffer> keys;
    ByteBuffer signature;
    if (!parsePublicKeys(publicKeys, keys) || !decodeBase64Line(signatureFile, kP256SignatureSize, signature)) {
        return false;
    }
    for (const ByteBuffer& key : keys) {
        if (verifyP256(key, manifestBytes, signature)) {
            return true;
        }
    }
    return false;
}

}  // namespace ovan
