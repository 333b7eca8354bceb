// What the launcher's requests cost on this platform with the fewest WinHTTP and bcrypt calls:
// the yardstick the benchmark divides the launcher's times by.
//   floor fetch <folder> <url>...  one session and one kept-alive connection; per file one GET into
//   floor fetch <folder> @<list>   one buffer, one write, one read back and one hash (printed in hex);
//                                  a list file holds one address a line
//   floor start <url> <exe>        one GET, then <exe> started the way the launcher starts it
#include "common/scoped_handle.h"

#include <windows.h>
#include <winhttp.h>
#include <bcrypt.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct InternetTraits {
    using Value = HINTERNET;
    static Value empty() { return nullptr; }
    static void release(Value value) { WinHttpCloseHandle(value); }
};
using InternetHandle = ovan::Scoped<InternetTraits>;

struct ProviderTraits {
    using Value = BCRYPT_ALG_HANDLE;
    static Value empty() { return nullptr; }
    static void release(Value value) { BCryptCloseAlgorithmProvider(value, 0); }
};
using Provider = ovan::Scoped<ProviderTraits>;

struct HashTraits {
    using Value = BCRYPT_HASH_HANDLE;
    static Value empty() { return nullptr; }
    static void release(Value value) { BCryptDestroyHash(value); }
};
using Hash = ovan::Scoped<HashTraits>;

using Bytes = std::vector<unsigned char>;

struct Address {
    std::wstring host;
    std::wstring path;
    INTERNET_PORT port = 0;
    DWORD requestFlags = 0;
};

// Host and path as pointers into the text itself: no copy buffers.
bool crack(const std::wstring& text, Address& address)
{
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(text.c_str(), 0, 0, &parts)) {
        return false;
    }
    address = {std::wstring(parts.lpszHostName, parts.dwHostNameLength),
               std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength), parts.nPort,
               parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0u};
    return true;
}

// One session and one connection for every address: they all name the same server.
struct Client {
    InternetHandle session;
    InternetHandle connection;

    bool open(const Address& server)
    {
        session.reset(WinHttpOpen(L"floor", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0));
        connection.reset(session ? WinHttpConnect(session.get(), server.host.c_str(), server.port, 0) : nullptr);
        return static_cast<bool>(connection);
    }

    // The body straight into a buffer of the announced length.
    bool get(const Address& address, Bytes& body)
    {
        InternetHandle request(WinHttpOpenRequest(connection.get(), L"GET", address.path.c_str(), nullptr,
                                                  WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                  address.requestFlags));
        DWORD length = 0;
        DWORD size = sizeof length;
        if (!request || !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, nullptr, 0, 0, 0) ||
            !WinHttpReceiveResponse(request.get(), nullptr) ||
            !WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX)) {
            return false;
        }
        body.resize(length);
        for (DWORD done = 0; done < length;) {
            DWORD read = 0;
            if (!WinHttpReadData(request.get(), body.data() + done, length - done, &read) || read == 0) {
                return false;
            }
            done += read;
        }
        return true;
    }
};

std::wstring lastPart(const std::wstring& path)
{
    return path.substr(path.find_last_of(L'/') + 1);
}

// One write, then the same bytes read back from the file into the same buffer.
bool writeAndReadBack(const std::wstring& path, Bytes& body)
{
    ovan::FileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD size = static_cast<DWORD>(body.size());
    DWORD done = 0;
    return file && WriteFile(file.get(), body.data(), size, &done, nullptr) && done == size &&
           SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN) == 0 &&
           ReadFile(file.get(), body.data(), size, &done, nullptr) && done == size;
}

bool printDigest(BCRYPT_ALG_HANDLE sha256, const Bytes& data)
{
    BCRYPT_HASH_HANDLE created = nullptr;
    BCryptCreateHash(sha256, &created, nullptr, 0, nullptr, 0, 0);
    Hash hash(created);
    unsigned char digest[32] = {};
    if (!hash || BCryptHashData(hash.get(), const_cast<PUCHAR>(data.data()), static_cast<ULONG>(data.size()), 0) != 0 ||
        BCryptFinishHash(hash.get(), digest, sizeof digest, 0) != 0) {
        return false;
    }
    for (unsigned char byte : digest) {
        std::printf("%02X", byte);
    }
    std::printf("\n");
    return true;
}

// The addresses one per line in a file: more of them than a command line holds.
std::vector<std::wstring> readList(const wchar_t* path)
{
    std::vector<std::wstring> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (!line.empty()) {
            lines.emplace_back(line.begin(), line.end());
        }
    }
    return lines;
}

int fetch(const std::wstring& folder, const std::vector<std::wstring>& urls)
{
    Address first;
    Client client;
    BCRYPT_ALG_HANDLE opened = nullptr;
    BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    Provider sha256(opened);
    if (urls.empty() || !sha256 || !crack(urls[0], first) || !client.open(first)) {
        return 1;
    }
    Bytes body;
    for (const std::wstring& url : urls) {
        Address address;
        if (!crack(url, address) || !client.get(address, body) ||
            !writeAndReadBack(folder + L"\\" + lastPart(address.path), body) || !printDigest(sha256.get(), body)) {
            return 1;
        }
    }
    return 0;
}

int start(const wchar_t* url, const std::wstring& executable)
{
    Address address;
    Client client;
    Bytes body;
    if (!crack(url, address) || !client.open(address) || !client.get(address, body)) {
        return 1;
    }
    std::wstring commandLine = L"\"" + executable + L"\" /start";
    std::wstring folder = executable.substr(0, executable.find_last_of(L'\\'));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &started)) {
        return 1;
    }
    ovan::KernelHandle process(started.hProcess);
    ovan::KernelHandle thread(started.hThread);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"fetch" && argc == 4 && argv[3][0] == L'@') {
        return fetch(argv[2], readList(argv[3] + 1));
    }
    if (command == L"fetch" && argc > 3) {
        return fetch(argv[2], std::vector<std::wstring>(argv + 3, argv + argc));
    }
    if (command == L"start" && argc == 4) {
        return start(argv[2], argv[3]);
    }
    std::fwprintf(stderr, L"floor fetch <folder> <url>... | floor fetch <folder> @<list> | floor start <url> <exe>\n");
    return 2;
}
