#include "versions/local_version.h"
#include "versions/version_compare.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <cstdint>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace ovan;
using namespace std::string_literals;

// An AppFolder whose version file the tests write and read.
class LocalVersionTest : public TempFolderTest {
protected:
    std::wstring versionFile() const { return path(L"current.txt"); }
    std::string readBytes() const { return TempFolderTest::readBytes(L"current.txt"); }
    void writeBytes(const std::string& bytes) const { TempFolderTest::writeBytes(L"current.txt", bytes); }
};

const wchar_t kUnreadable[] = L"Nie uda\x0142o si\x0119 odczyta\x0107 pliku current.txt";
const wchar_t kEmpty[] = L"Plik current.txt jest pusty";

TEST_F(LocalVersionTest, ReadTable)
{
    struct Row {
        const char* what;
        bool present;
        std::string bytes;
        bool ok;
        std::wstring version;  // after the call; "previous" when it must stay untouched
        std::wstring errorText;  // after the call; "previous" when it must stay untouched
    };
    const Row rows[] = {
        {"missing", false, "", true, L"0.0.0", L"previous"},
        {"CR LF", true, "1.2.3\r\n", true, L"1.2.3", L"previous"},
        {"mark and CR LF", true, "\xEF\xBB\xBF" "1.2.3\r\n", true, L"1.2.3", L"previous"},
        {"LF and blanks", true, "  1.2.3 \n", true, L"1.2.3", L"previous"},
        {"inner blank", true, "1.2 beta", true, L"1.2 beta", L"previous"},
        {"two lines", true, "1.0\r\n2.0\r\n", true, L"1.0\r\n2.0", L"previous"},
        {"UTF-8 text", true, "\xEF\xBB\xBF" "wersja \xC4\x85\r\n", true, L"wersja \x0105", L"previous"},
        {"ideographic space", true, "\xE3\x80\x80" "3.0\xE3\x80\x80", true, L"3.0", L"previous"},
        {"second mark stays", true, "\xEF\xBB\xBF\xEF\xBB\xBF" "1.0", true, L"\xFEFF" L"1.0", L"previous"},
        {"zero bytes", true, "", false, L"", kEmpty},
        {"mark only", true, "\xEF\xBB\xBF", false, L"", kEmpty},
        {"blanks and line ends", true, " \r\n\t \n\r\n", false, L"", kEmpty},
        {"mark and blanks", true, "\xEF\xBB\xBF \r\n", false, L"", kEmpty},
        {"Latin-1 byte", true, "\xE9" "1.0", false, L"previous", kUnreadable},
        {"UTF-16", true, "\xFF\xFE" "1\0.\0" "0\0"s, false, L"previous", kUnreadable},
        {"truncated sequence", true, "1.0\xC3", false, L"previous", kUnreadable},
        {"encoded surrogate", true, "\xEF\xBB\xBF\xED\xA0\x80", false, L"previous", kUnreadable},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::error_code ignored;
        std::filesystem::remove(std::filesystem::path(versionFile()), ignored);
        if (row.present) {
            writeBytes(row.bytes);
        }
        std::wstring version = L"previous";
        std::wstring errorText = L"previous";
        EXPECT_EQ(readLocalVersion(folder_, version, errorText), row.ok);
        EXPECT_EQ(version, row.version);
        EXPECT_EQ(errorText, row.errorText);
    }
}

TEST_F(LocalVersionTest, FolderNamedLikeTheFileIsUnreadable)
{
    ASSERT_TRUE(CreateDirectoryW(versionFile().c_str(), nullptr));
    std::wstring version = L"previous";
    std::wstring errorText;
    EXPECT_FALSE(readLocalVersion(folder_, version, errorText));
    EXPECT_EQ(version, L"previous");
    EXPECT_EQ(errorText, kUnreadable);
}

TEST_F(LocalVersionTest, FileHeldWithoutSharingIsUnreadable)
{
    writeBytes("1.0");
    HANDLE holder = CreateFileW(versionFile().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    std::wstring version;
    std::wstring errorText;
    EXPECT_FALSE(readLocalVersion(folder_, version, errorText));
    CloseHandle(holder);
    EXPECT_EQ(errorText, kUnreadable);
}

TEST_F(LocalVersionTest, FileOpenForWritingElsewhereIsStillRead)
{
    writeBytes("1.0");
    HANDLE writer = CreateFileW(versionFile().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    std::wstring version;
    std::wstring errorText;
    EXPECT_TRUE(readLocalVersion(folder_, version, errorText));
    CloseHandle(writer);
    EXPECT_EQ(version, L"1.0");
}

TEST_F(LocalVersionTest, WriteStoresMarkAndTextOnly)
{
    struct Row {
        std::wstring text;
        std::string bytes;
    };
    const Row rows[] = {
        {L"1.4.2", "\xEF\xBB\xBF" "1.4.2"},
        {L" 2.0", "\xEF\xBB\xBF" " 2.0"},
        {L"", "\xEF\xBB\xBF"},
        {L"1.0-\x0105\r\n", "\xEF\xBB\xBF" "1.0-\xC4\x85\r\n"},
    };
    for (const Row& row : rows) {
        writeBytes("9.9.9-a-much-longer-previous-version\r\n");
        EXPECT_TRUE(writeLocalVersion(versionFile(), row.text));
        EXPECT_EQ(readBytes(), row.bytes);
    }
}

TEST_F(LocalVersionTest, OverLongerFileLeavesExactlyEightBytes)
{
    writeBytes("\xEF\xBB\xBF" "10.20.30.40\r\n");
    ASSERT_TRUE(writeLocalVersion(versionFile(), L"1.4.2"));
    EXPECT_EQ(readBytes(), "\xEF\xBB\xBF\x31\x2E\x34\x2E\x32");
}

TEST_F(LocalVersionTest, WrittenBlankIsTrimmedOnRead)
{
    ASSERT_TRUE(writeLocalVersion(versionFile(), L" 2.0"));
    EXPECT_EQ(readBytes(), "\xEF\xBB\xBF 2.0");
    std::wstring version;
    std::wstring errorText;
    ASSERT_TRUE(readLocalVersion(folder_, version, errorText));
    EXPECT_EQ(version, L"2.0");
}

TEST_F(LocalVersionTest, WriteFailsWhereNoFileCanBe)
{
    EXPECT_FALSE(writeLocalVersion(folder_ + L"\\brak\\current.txt", L"1.0"));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(folder_ + L"\\brak")));

    ASSERT_TRUE(CreateDirectoryW(versionFile().c_str(), nullptr));
    EXPECT_FALSE(writeLocalVersion(versionFile(), L"1.0"));
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(versionFile())));
}

TEST(VersionCompare, IsNewerVersion)
{
    struct Row {
        std::wstring manifest, local;
        bool newer;
    };
    const Row rows[] = {
        {L"1.10", L"1.9", true},
        {L"1.9", L"1.10", false},
        {L"1.2", L"1.2.0", false},
        {L"1.2.0", L"1.2", false},
        {L"1.2.1", L"1.2", true},
        {L"2", L"1.9.9", true},
        {L"1.0.0", L"0.0.0", true},
        {L"0.0.0", L"0.0.0", false},
        {L"1.0-beta", L"1.0", false},
        {L"V2.0", L"1.0", false},
        {L"1..2", L"1.0.2", false},
        {L"1.", L"1", false},
        {L"", L"0", false},
        {L"0", L"", false},
        {L" 1.2", L"1.1", true},
        {L"99999999999", L"2147483647", false},
        {L"99999999999", L"2147483646", true},
        {L"-1", L"0", false},
        {L"0", L"-1", true},
        {L"\x0662", L"1", true},
        {L"\xFF12", L"1", true},
        {L"\xFF12", L"2", false},
        {L"1.\x0661\x0660", L"1.9", true},
        {L"+3", L"2", true},
        {L"+3", L"3", false},
        {L"-99999999999", L"-2147483647", false},
        {L"0x1A", L"0", false},
        {L"1", L"0x1A", true},
        {L"\x3000" L"2", L"1", true},
        {L"\x200B" L"2", L"1", false},
        {L"1.0.0.1", L"1", true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(isNewerVersion(row.manifest, row.local), row.newer)
            << std::string(row.manifest.begin(), row.manifest.end()) << " vs "
            << std::string(row.local.begin(), row.local.end());
    }
}

TEST(VersionCompare, SplitVersion)
{
    struct Row {
        std::wstring text;
        std::vector<int32_t> numbers;
    };
    const Row rows[] = {
        {L"", {0}},
        {L".", {0, 0}},
        {L"1..2", {1, 0, 2}},
        {L"1.", {1, 0}},
        {L"1.4.2", {1, 4, 2}},
        {L"12abc34.5", {12, 5}},
        {L" 7 .x8.+3", {7, 0, 3}},
        {L"\t\n\x85\xA0" L"5", {5}},
        {L"-0", {0}},
        {L"--1", {0}},
        {L"+-1", {0}},
        {L"- 1", {0}},
        {L"0x1A", {0}},
        {L"99999999999", {INT32_MAX}},
        {L"2147483648", {INT32_MAX}},
        {L"-2147483648", {INT32_MIN}},
        {L"-99999999999", {INT32_MIN}},
        {L"\x0661\x0662\x0663", {123}},
        {L"1\x0662", {12}},
        {L"\xFF11\xFF10", {10}},
        {L"\x0967", {1}},
        {L"\x07C1", {0}},
        {L"1\x0BE7", {1}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(splitVersion(row.text), row.numbers) << std::string(row.text.begin(), row.text.end());
    }
}

// Digits are what the runtime's conversion reads, each with its value, and nothing more.
TEST(VersionCompare, DigitsAreExactlyThoseOfTheRuntimeConversion)
{
    for (unsigned code = 0; code <= 0xFFFF; ++code) {
        wchar_t c = static_cast<wchar_t>(code);
        if (c == L'.') {
            continue;
        }
        for (const std::wstring& part : {std::wstring(1, c), L"1" + std::wstring(1, c)}) {
            int32_t expected = static_cast<int32_t>(std::wcstol(part.c_str(), nullptr, 10));
            ASSERT_EQ(splitVersion(part), std::vector<int32_t>{expected}) << "U+" << std::hex << code;
        }
    }
}

}  // namespace
