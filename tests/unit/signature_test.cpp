#include "common/base64.h"
#include "manifest/ecdsa_p256.h"
#include "manifest/manifest_signature.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace ovan;

ByteBuffer bytesOf(const std::string& text)
{
    return ByteBuffer(text.begin(), text.end());
}

ByteBuffer fromHex(const std::string& hex)
{
    ByteBuffer bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// The P-256 / SHA-256 example of RFC 6979 (A.2.5): key pair and the signature of "sample".
const ByteBuffer kRfcPublic = fromHex(
    "60FED4BA255A9D31C961EB74C6356D68C049B8923B61FA6CE669622E60F29FB6"
    "7903FE1008B8BC99A41AE9E95628BC64F2F1B20C2D7E9F5177A3C294D4462299");
const ByteBuffer kRfcPrivate = [] {
    ByteBuffer key = kRfcPublic;
    ByteBuffer d = fromHex("C9AFA9D845BA75166B5C215767B1D6934E50C3DB36E89B127B8A622B120F6721");
    key.insert(key.end(), d.begin(), d.end());
    return key;
}();
const ByteBuffer kRfcSignature = fromHex(
    "EFD48B2AACB6A8FD1140DD9CD45E81D69D2C877B56AAF991C34D0EA84EAF3716"
    "F7CB1C942D657C41D436C7A1B6E29F65F3E900DBB9AFF4064DC4AB2F843ACDA8");
const std::wstring kRfcPublicText = L"YP7UuiVanTHJYet0xjVtaMBJuJI7Yfps5mliLmDyn7Z5A/4QCLi8maQa6elWKLxk8vGyDC1+n1F3o8KU1EYimQ==";
const std::string kRfcSignatureText = "79SLKqy2qP0RQN2c1F6B1p0sh3tWqvmRw00OqE6vNxb3yxyULWV8QdQ2x6G24p9l8+kA27mv9AZNxKsvhDrNqA==";

TEST(Base64, KnownEncodingsBothWays)
{
    // RFC 4648, section 10.
    const std::pair<std::string, std::string> rows[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(encodeBase64(bytesOf(row.first)), row.second);
        ByteBuffer decoded;
        EXPECT_TRUE(decodeBase64(row.second, decoded)) << row.second;
        EXPECT_EQ(decoded, bytesOf(row.first)) << row.second;
    }
    ByteBuffer every;
    for (int i = 0; i < 256; ++i) {
        every.push_back(static_cast<unsigned char>(255 - i));
    }
    ByteBuffer back;
    ASSERT_TRUE(decodeBase64(encodeBase64(every), back));
    EXPECT_EQ(back, every);
}

TEST(Base64, RefusesAllButTheCanonicalForm)
{
    const char* rows[] = {
        "Zg=",        // length not a multiple of four
        "Zg",         // padding left out
        "Z===",       // more padding than a group allows
        "Zh==",       // unused bits set
        "Zm9=",       // unused bits set
        "Zg==Zg==",   // padding in the middle
        "Zm 9",       // a blank inside
        "Zm9v\n",     // a line end
        "-_-_",       // the URL alphabet
        "====",
    };
    for (const char* text : rows) {
        ByteBuffer decoded = bytesOf("previous");
        EXPECT_FALSE(decodeBase64(text, decoded)) << text;
        EXPECT_EQ(decoded, bytesOf("previous")) << text;
    }
}

TEST(PublicKeys, TextForms)
{
    EXPECT_EQ(publicKeyText(kRfcPublic), kRfcPublicText);
    ByteBuffer other(kP256PublicKeySize, 7);
    std::wstring otherText = publicKeyText(other);
    struct Row {
        std::wstring text;
        std::vector<ByteBuffer> keys;  // empty: refused
    };
    const Row rows[] = {
        {kRfcPublicText, {kRfcPublic}},
        {L"  " + kRfcPublicText + L"\t", {kRfcPublic}},
        {kRfcPublicText + L" " + otherText, {kRfcPublic, other}},
        {otherText + L" \t  " + kRfcPublicText, {other, kRfcPublic}},
        {L"", {}},
        {L" \t ", {}},
        {kRfcPublicText + L" " + otherText + L" " + kRfcPublicText, {}},
        {kRfcPublicText.substr(0, 84) + L"==", {}},
        {kRfcPublicText + L"\n" + otherText, {}},
        {kRfcPublicText + L"," + otherText, {}},
        {L"ą" + kRfcPublicText.substr(1), {}},
    };
    for (const Row& row : rows) {
        std::vector<ByteBuffer> keys;
        EXPECT_EQ(parsePublicKeys(row.text, keys), !row.keys.empty()) << encodeUtf8(row.text);
        EXPECT_EQ(keys, row.keys) << encodeUtf8(row.text);
    }
}

TEST(Base64Line, OneLineWithAnOptionalLineEnd)
{
    struct Row {
        std::string file;
        bool accepted;
    };
    const Row rows[] = {
        {kRfcSignatureText, true},
        {kRfcSignatureText + "\n", true},
        {kRfcSignatureText + "\r\n", true},
        {kRfcSignatureText + "\n\n", false},
        {kRfcSignatureText + "\r", false},
        {" " + kRfcSignatureText, false},
        {kRfcSignatureText.substr(0, 44) + "\n" + kRfcSignatureText.substr(44), false},
        {"", false},
        {"\n", false},
        {encodeBase64(ByteBuffer(65, 1)), false},
        {encodeBase64(ByteBuffer(63, 1)), false},
    };
    for (const Row& row : rows) {
        ByteBuffer signature = bytesOf("previous");
        EXPECT_EQ(decodeBase64Line(bytesOf(row.file), kP256SignatureSize, signature), row.accepted) << row.file;
        EXPECT_EQ(signature, row.accepted ? kRfcSignature : bytesOf("previous")) << row.file;
    }
}

ByteBuffer flipped(ByteBuffer bytes, size_t index, unsigned char mask)
{
    bytes[index] ^= mask;
    return bytes;
}

TEST(EcdsaP256, KnownSignature)
{
    ByteBuffer other;
    ASSERT_TRUE(generateP256(other));
    other.resize(kP256PublicKeySize);
    ByteBuffer swapped(kRfcSignature.begin() + 32, kRfcSignature.end());
    swapped.insert(swapped.end(), kRfcSignature.begin(), kRfcSignature.begin() + 32);
    struct Row {
        const char* what;
        ByteBuffer key, message, signature;
        bool valid;
    };
    const Row rows[] = {
        {"the published example", kRfcPublic, bytesOf("sample"), kRfcSignature, true},
        {"one bit of s changed", kRfcPublic, bytesOf("sample"), flipped(kRfcSignature, 63, 1), false},
        {"one bit of r changed", kRfcPublic, bytesOf("sample"), flipped(kRfcSignature, 0, 0x80), false},
        {"another message", kRfcPublic, bytesOf("samplf"), kRfcSignature, false},
        {"the message with a byte more", kRfcPublic, bytesOf("sample\n"), kRfcSignature, false},
        {"another key", other, bytesOf("sample"), kRfcSignature, false},
        {"a key off the curve", flipped(kRfcPublic, 63, 1), bytesOf("sample"), kRfcSignature, false},
        {"r and s swapped", kRfcPublic, bytesOf("sample"), swapped, false},
        {"zero signature", kRfcPublic, bytesOf("sample"), ByteBuffer(64, 0), false},
        {"a signature a byte short", kRfcPublic, bytesOf("sample"), ByteBuffer(kRfcSignature.begin(), kRfcSignature.end() - 1), false},
        {"a key a byte short", ByteBuffer(kRfcPublic.begin(), kRfcPublic.end() - 1), bytesOf("sample"), kRfcSignature, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(verifyP256(row.key, row.message, row.signature), row.valid) << row.what;
    }
}

TEST(EcdsaP256, SignedHereVerifiesOnlyForItsMessageAndKey)
{
    ByteBuffer fresh;
    ASSERT_TRUE(generateP256(fresh));
    ASSERT_EQ(fresh.size(), kP256PrivateKeySize);
    ByteBuffer freshPublic(fresh.begin(), fresh.begin() + kP256PublicKeySize);
    ByteBuffer message = bytesOf("{\"version\": \"1.0\"}\n");
    for (const ByteBuffer* key : {static_cast<const ByteBuffer*>(&fresh), &kRfcPrivate}) {
        ByteBuffer publicKey(key->begin(), key->begin() + kP256PublicKeySize);
        ByteBuffer signature;
        ASSERT_TRUE(signP256(*key, message, signature));
        EXPECT_EQ(signature.size(), kP256SignatureSize);
        EXPECT_TRUE(verifyP256(publicKey, message, signature));
        EXPECT_FALSE(verifyP256(publicKey, flipped(message, 3, 1), signature));
        EXPECT_FALSE(verifyP256(key == &fresh ? kRfcPublic : freshPublic, message, signature));
    }
    ByteBuffer signature = bytesOf("previous");
    EXPECT_FALSE(signP256(kRfcPublic, message, signature));
    EXPECT_EQ(signature, bytesOf("previous"));
}

TEST(ManifestSignature, EitherBuiltInKeySigns)
{
    ByteBuffer other(kP256PublicKeySize, 7);
    std::wstring both = publicKeyText(other) + L" " + kRfcPublicText;
    ByteBuffer file = bytesOf(kRfcSignatureText + "\r\n");
    EXPECT_TRUE(isManifestSignedBy(bytesOf("sample"), file, kRfcPublicText));
    EXPECT_TRUE(isManifestSignedBy(bytesOf("sample"), file, both));
    EXPECT_FALSE(isManifestSignedBy(bytesOf("sample"), file, publicKeyText(other)));
    EXPECT_FALSE(isManifestSignedBy(bytesOf("\xEF\xBB\xBFsample"), file, both));
    EXPECT_FALSE(isManifestSignedBy(bytesOf("sample"), bytesOf("garbage"), both));
    EXPECT_FALSE(isManifestSignedBy(bytesOf("sample"), ByteBuffer(), both));
    EXPECT_FALSE(isManifestSignedBy(bytesOf("sample"), file, L""));
    EXPECT_FALSE(isManifestSignedBy(bytesOf("sample"), file, kRfcPublicText + L" x"));
}

TEST(ManifestSignature, LiesBesideTheManifest)
{
    EXPECT_EQ(signatureAddress(L"https://h/ovan/update/manifest.json"), L"https://h/ovan/update/manifest.json.sig");
}

}  // namespace
