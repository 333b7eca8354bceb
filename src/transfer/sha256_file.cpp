#include "transfer/sha256_file.h"

#include "common/cng_handles.h"
#include "common/scoped_handle.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

namespace ovan {

namespace {

struct HeapBlockTraits {
    using Value = void*;
    static Value empty() { return nullptr; }
    static void release(Value value) { HeapFree(GetProcessHeap(), 0, value); }
};

using AlgorithmHandle = CngProvider;
using HashHandle = CngHash;
using HeapBlock = Scoped<HeapBlockTraits>;

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

bool hashWholeFile(HANDLE file, BCRYPT_HASH_HANDLE hash)
{
    std::vector<unsigned char> buffer(kReadBufferSize);
    for (;;) {
        DWORD read = 0;
        BOOL readOk = ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr);
        if (read > 0 && !succeeded(BCryptHashData(hash, buffer.data(), read, 0))) {
            return false;
        }
        // The end of the readable data ends the digest, whatever stopped the reads.
        if (!readOk || read == 0) {
            return true;
        }
    }
}

}  // namespace

bool sha256FileHex(const std::wstring& path, std::wstring& hex)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        return false;
    }
    BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
    if (!succeeded(BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return false;
    }
    AlgorithmHandle algorithm(rawAlgorithm);
    DWORD objectLength = 0;
    DWORD digestLength = 0;
    if (!readProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH, objectLength) ||
        !readProperty(algorithm.get(), BCRYPT_HASH_LENGTH, digestLength)) {
        return false;
    }
    HeapBlock hashObject(HeapAlloc(GetProcessHeap(), 0, objectLength));
    if (!hashObject) {
        return false;
    }
    BCRYPT_HASH_HANDLE rawHash = nullptr;
    if (!succeeded(BCryptCreateHash(algorithm.get(), &rawHash, static_cast<PUCHAR>(hashObject.get()), objectLength,
                                    nullptr, 0, 0))) {
        return false;
    }
    HashHandle hash(rawHash);
    if (!hashWholeFile(file.get(), hash.get())) {
        return false;
    }
    std::vector<unsigned char> digest(digestLength);
    if (!succeeded(BCryptFinishHash(hash.get(), digest.data(), digestLength, 0))) {
        return false;
    }
    hex = toHex(digest);
    return true;
}

}  // namespace ovan
