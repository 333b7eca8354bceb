// The least a verified download needs besides the transfer: each file streamed once through
// bcrypt SHA-256. The benchmark's yardstick for the launcher.  ref_sha256 <file>...
#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    std::vector<unsigned char> buffer(65536);
    for (int i = 1; i < argc; ++i) {
        HANDLE file = CreateFileW(argv[i], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return 1;
        }
        BCRYPT_HASH_HANDLE hash = nullptr;
        BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
        DWORD read = 0;
        while (ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) && read > 0) {
            BCryptHashData(hash, buffer.data(), read, 0);
        }
        unsigned char digest[32] = {};
        BCryptFinishHash(hash, digest, sizeof digest, 0);
        BCryptDestroyHash(hash);
        CloseHandle(file);
        std::printf("%02X%02X%02X%02X...\n", digest[0], digest[1], digest[2], digest[3]);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return 0;
}
