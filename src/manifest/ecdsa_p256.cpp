#include "manifest/ecdsa_p256.h"

#include "common/cng_handles.h"

#include <windows.h>
#include <bcrypt.h>

namespace ovan {

namespace {

using Provider = CngProvider;
using Key = CngKey;
using Digest = CngHash;

const ULONG kCoordinateSize = 32;
const ULONG kDigestSize = 32;

bool succeeded(NTSTATUS status)
{
    return status == 0;
}

bool openProvider(const wchar_t* algorithm, Provider& provider)
{
    BCRYPT_ALG_HANDLE raw = nullptr;
    if (!succeeded(BCryptOpenAlgorithmProvider(&raw, algorithm, nullptr, 0))) {
        return false;
    }
    provider.reset(raw);
    return true;
}

bool sha256Of(const ByteBuffer& message, ByteBuffer& digest)
{
    Provider provider;
    if (!openProvider(BCRYPT_SHA256_ALGORITHM, provider)) {
        return false;
    }
    BCRYPT_HASH_HANDLE raw = nullptr;
    if (!succeeded(BCryptCreateHash(provider.get(), &raw, nullptr, 0, nullptr, 0, 0))) {
        return false;
    }
    Digest hash(raw);
    // BCryptHashData takes a non-const pointer but only reads the bytes.
    PUCHAR data = const_cast<PUCHAR>(message.data());
    digest.assign(kDigestSize, 0);
    return succeeded(BCryptHashData(hash.get(), data, static_cast<ULONG>(message.size()), 0)) &&
           succeeded(BCryptFinishHash(hash.get(), digest.data(), kDigestSize, 0));
}

// The key in CNG's blob form: a header naming the kind of key, then the raw numbers.
bool importKey(const Provider& provider, const ByteBuffer& raw, bool isPrivate, Key& key)
{
    if (raw.size() != (isPrivate ? kP256PrivateKeySize : kP256PublicKeySize)) {
        return false;
    }
    BCRYPT_ECCKEY_BLOB header = {
        static_cast<ULONG>(isPrivate ? BCRYPT_ECDSA_PRIVATE_P256_MAGIC : BCRYPT_ECDSA_PUBLIC_P256_MAGIC), kCoordinateSize};
    ByteBuffer blob(reinterpret_cast<const unsigned char*>(&header),
                    reinterpret_cast<const unsigned char*>(&header) + sizeof header);
    blob.insert(blob.end(), raw.begin(), raw.end());
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (!succeeded(BCryptImportKeyPair(provider.get(), nullptr, isPrivate ? BCRYPT_ECCPRIVATE_BLOB : BCRYPT_ECCPUBLIC_BLOB,
                                       &handle, blob.data(), static_cast<ULONG>(blob.size()), 0))) {
        return false;
    }
    key.reset(handle);
    return true;
}

}  // namespace

bool verifyP256(const ByteBuffer& publicKey, const ByteBuffer& message, const ByteBuffer& signature)
{
    Provider provider;
    Key key;
    ByteBuffer digest;
    if (signature.size() != kP256SignatureSize || !openProvider(BCRYPT_ECDSA_P256_ALGORITHM, provider) ||
        !importKey(provider, publicKey, false, key) || !sha256Of(message, digest)) {
        return false;
    }
    ByteBuffer copy = signature;
    return succeeded(BCryptVerifySignature(key.get(), nullptr, digest.data(), kDigestSize, copy.data(),
                                           static_cast<ULONG>(copy.size()), 0));
}

bool signP256(const ByteBuffer& privateKey, const ByteBuffer& message, ByteBuffer& signature)
{
    Provider provider;
    Key key;
    ByteBuffer digest;
    if (!openProvider(BCRYPT_ECDSA_P256_ALGORITHM, provider) || !importKey(provider, privateKey, true, key) ||
        !sha256Of(message, digest)) {
        return false;
    }
    ByteBuffer produced(kP256SignatureSize);
    ULONG written = 0;
    if (!succeeded(BCryptSignHash(key.get(), nullptr, digest.data(), kDigestSize, produced.data(),
                                  static_cast<ULONG>(produced.size()), &written, 0)) ||
        written != kP256SignatureSize) {
        return false;
    }
    signature = produced;
    return true;
}

bool generateP256(ByteBuffer& privateKey)
{
    Provider provider;
    if (!openProvider(BCRYPT_ECDSA_P256_ALGORITHM, provider)) {
        return false;
    }
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (!succeeded(BCryptGenerateKeyPair(provider.get(), &handle, 256, 0))) {
        return false;
    }
    Key key(handle);
    ByteBuffer blob(sizeof(BCRYPT_ECCKEY_BLOB) + kP256PrivateKeySize);
    ULONG written = 0;
    if (!succeeded(BCryptFinalizeKeyPair(key.get(), 0)) ||
        !succeeded(BCryptExportKey(key.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(),
                                   static_cast<ULONG>(blob.size()), &written, 0)) ||
        written != blob.size()) {
        return false;
    }
    privateKey.assign(blob.begin() + sizeof(BCRYPT_ECCKEY_BLOB), blob.end());
    return true;
}

}  // namespace ovan
