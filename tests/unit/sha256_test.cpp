#include "transfer/sha256_file.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

namespace {

using namespace ovan;

using Sha256FileTest = TempFolderTest;

// Bytes that differ from one 256-byte block to the next, so a dropped or repeated chunk shows.
std::string pattern(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 31 + (i >> 8)) & 0xFF);
    }
    return bytes;
}

bool isDigestText(const std::wstring& hex)
{
    return hex.size() == 64 && hex.find_first_not_of(L"0123456789ABCDEF") == std::wstring::npos;
}

TEST_F(Sha256FileTest, KnownDigests)
{
    struct Row {
        const char* what;
        std::string bytes;
        std::wstring hex;
    };
    // Reference digests from an independent SHA-256 implementation.
    const Row rows[] = {
        {"empty", "", L"E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
        {"abc", "abc", L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
        {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         L"248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1"},
        {"million a", std::string(1000000, 'a'), L"CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0"},
        {"one buffer", pattern(65536), L"1DD334FE06E447D46E556E9C8F958A3EE41EB8E4CDF3CD36AF3CDEAE98FD7854"},
        {"three buffers", pattern(3 * 65536), L"7C32B90D49B9499C10CD5E2F4E2BDD8E7D41D5AC63E7D402EC74791E6B929A6E"},
        {"one buffer and a byte", pattern(65537), L"71BC4552BBE57B74460B604D6E103173D908FB55910C0F8DDB6F6671917D21CF"},
        {"line ends and text end", std::string("\r\n\x1a\r\r\n\n\x1a", 8),
         L"56BC7CAD464A400DE3646861BD7D6BA8E3C00AE7174474F97A6D354D171D77B1"},
    };
    int serial = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::wstring path = writeBytes(L"file" + std::to_wstring(++serial) + L".new", row.bytes);
        std::wstring hex = L"previous";
        ASSERT_TRUE(sha256FileHex(path, hex));
        EXPECT_TRUE(isDigestText(hex));
        EXPECT_EQ(hex, row.hex);
    }
}

TEST_F(Sha256FileTest, FailureLeavesHexUntouched)
{
    ASSERT_TRUE(CreateDirectoryW((folder_ + L"\\folder.new").c_str(), nullptr));
    const std::wstring paths[] = {folder_ + L"\\missing.new", folder_ + L"\\brak\\missing.new", folder_ + L"\\folder.new"};
    for (const std::wstring& path : paths) {
        std::wstring hex = L"previous";
        EXPECT_FALSE(sha256FileHex(path, hex)) << std::string(path.begin(), path.end());
        EXPECT_EQ(hex, L"previous");
    }
}

TEST_F(Sha256FileTest, FileHeldWithoutSharingFails)
{
    std::wstring path = writeBytes(L"held.new", "abc");
    HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    std::wstring hex = L"previous";
    EXPECT_FALSE(sha256FileHex(path, hex));
    CloseHandle(holder);
    EXPECT_EQ(hex, L"previous");
}

TEST_F(Sha256FileTest, FileOpenForWritingElsewhereIsHashed)
{
    std::wstring path = writeBytes(L"open.new", "abc");
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    std::wstring hex;
    EXPECT_TRUE(sha256FileHex(path, hex));
    CloseHandle(writer);
    EXPECT_EQ(hex, L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
}

}  // namespace
