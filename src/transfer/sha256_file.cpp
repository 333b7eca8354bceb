#include "transfer/sha256_file.h"

#include "common/scoped_handle.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <limits>

namespace ovan {

namespace {

const size_t kReadBufferSize = 65536;

bool succeeded(NTSTATUS status)
{
    return status == 0;
}

bool readProperty(BCRYPT_ALG_HANDLE algorithm, const wchar_t* name, DWORD& value)
{
    DWORD written = 0;
    return succeeded(BCryptGetProperty(algorithm, name, reinterpret_cast<PUCHAR>(&value), sizeof value, &written, 0));
}

std::wstring toHex(const std::vector<unsigned char>& digest)
{
    static const wchar_t alphabet[] = L"0123456789ABCDEF";
    std::wstring hex;
    hex.reserve(digest.size() * 2);
    for (unsigned char byte : digest) {
        hex += alphabet[byte >> 4];
        hex += alphabet[byte & 0x0F];
    }
    return hex;
}

bool hashWholeFile(HANDLE file, Sha256& hash)
{
    std::vector<unsigned char> buffer(kReadBufferSize);
    for (;;) {
        DWORD read = 0;
        BOOL readOk = ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr);
        if (read > 0 && !hash.add(buffer.data(), read)) {
            return false;
        }
        // The end of the readable data ends the digest, whatever stopped the reads.
        if (!readOk || read == 0) {
            return true;
        }
    }
}

}  // namespace

bool Sha256::open()
{
    BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
    if (!succeeded(BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return false;
    }
    algorithm_.reset(rawAlgorithm);
    DWORD objectLength = 0;
    DWORD digestLength = 0;
    if (!readProperty(algorithm_.get(), BCRYPT_OBJECT_LENGTH, objectLength) ||
        !readProperty(algorithm_.get(), BCRYPT_HASH_LENGTH, digestLength)) {
        return false;
    }
    object_.assign(objectLength, 0);
    digestLength_ = digestLength;
    BCRYPT_HASH_HANDLE rawHash = nullptr;
    if (!succeeded(BCryptCreateHash(algorithm_.get(), &rawHash, object_.data(), objectLength, nullptr, 0, 0))) {
        return false;
    }
    hash_.reset(rawHash);
    return true;
}

bool Sha256::add(const unsigned char* data, size_t size)
{
    // CNG counts in ULONG, narrower than size_t on 64-bit Windows.
    while (size > 0) {
        ULONG piece = static_cast<ULONG>(std::min<size_t>(size, std::numeric_limits<ULONG>::max()));
        if (!succeeded(BCryptHashData(hash_.get(), const_cast<PUCHAR>(data), piece, 0))) {
            return false;
        }
        data += piece;
        size -= piece;
    }
    return true;
}

bool Sha256::finishHex(std::wstring& hex)
{
    std::vector<unsigned char> digest(digestLength_);
    if (!succeeded(BCryptFinishHash(hash_.get(), digest.data(), digestLength_, 0))) {
        return false;
    }
    hex = toHex(digest);
    return true;
}

bool sha256FileHex(const std::wstring& path, std::wstring& hex)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    Sha256 hash;
    return file && hash.open() && hashWholeFile(file.get(), hash) && hash.finishHex(hex);
}

}  // namespace ovan
