#include "common/paths.h"
#include "diagnostics/error_text.h"
#include "diagnostics/update_log.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cwctype>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace ovan;

const wchar_t kStamp[] = L"2024-03-07 09:05:01";

TEST(FormatLogEntry, Bytes)
{
    struct Row {
        const char* what;
        std::wstring message;
        std::string body;  // what stands between "] " and the closing CR LF
    };
    const Row rows[] = {
        {"empty message", L"", ""},
        {"plain", L"Start launchera", "Start launchera"},
        {"paragraphs", L"FATAL: a\n\nb", "FATAL: a\r\n\r\nb"},
        {"trailing line feed", L"x\n", "x\r\n"},
        {"lone CR stays one byte", L"a\rb", "a\rb"},
        {"CR LF in the message", L"a\r\nb", "a\r\r\nb"},
        {"Polish letter as UTF-8", L"Wersja lokalna: \x00F3", "Wersja lokalna: \xC3\xB3"},
        {"U+0080 and up as UTF-8", L"\x0080\x00FF\x0142\x20AC", "\xC2\x80\xC3\xBF\xC5\x82\xE2\x82\xAC"},
        {"below U+0080 unchanged", L"\x01\x7F\t", "\x01\x7F\t"},
        {"no escaping", L"\"[x]\" \\ %s %n", "\"[x]\" \\ %s %n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(formatLogEntry(kStamp, row.message), "[2024-03-07 09:05:01] " + row.body + "\r\n");
    }
}

TEST(FormatLogEntry, LongMessageIsNotCut)
{
    std::wstring message(100000, L'x');
    EXPECT_EQ(formatLogEntry(kStamp, message).size(), 1 + 19 + 2 + message.size() + 2);
}

TEST(CurrentTimestamp, NineteenCharactersOfLocalTime)
{
    SYSTEMTIME before = {};
    GetLocalTime(&before);
    std::wstring stamp = currentTimestamp();
    ASSERT_EQ(stamp.size(), 19u) << std::string(stamp.begin(), stamp.end());
    for (size_t i = 0; i < stamp.size(); ++i) {
        wchar_t expected = i == 4 || i == 7 ? L'-' : i == 10 ? L' ' : i == 13 || i == 16 ? L':' : 0;
        if (expected != 0) {
            EXPECT_EQ(stamp[i], expected) << i;
        } else {
            EXPECT_TRUE(stamp[i] >= L'0' && stamp[i] <= L'9') << i;
        }
    }
    EXPECT_EQ(std::stoi(stamp.substr(0, 4)), before.wYear);
    int month = std::stoi(stamp.substr(5, 2));
    int hour = std::stoi(stamp.substr(11, 2));
    EXPECT_TRUE(month >= 1 && month <= 12);
    EXPECT_TRUE(hour >= 0 && hour <= 23);
}

// Year, month, day, hour, minute, second.
std::vector<int> clockFields(const SYSTEMTIME& time)
{
    return {time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond};
}

std::vector<int> stampFields(const std::wstring& stamp)
{
    std::vector<int> fields;
    for (size_t at : {0, 5, 8, 11, 14, 17}) {
        fields.push_back(std::stoi(stamp.substr(at, at == 0 ? 4 : 2)));
    }
    return fields;
}

using AppendLogLine = TempFolderTest;

// Each field stands where a reader looks for it: a day and month (or minute and second) swapped
// shows on every date where the two differ.
TEST_F(AppendLogLine, TimestampFieldsAreTheClockInOrder)
{
    struct Source {
        const char* what;
        std::function<std::wstring()> stamp;
    };
    const Source sources[] = {
        {"currentTimestamp", [] { return currentTimestamp(); }},
        {"a written entry", [this] {
             std::error_code ignored;
             std::filesystem::remove(std::filesystem::path(path(L"update.log")), ignored);
             appendLogLine(folder_, L"x");
             std::string entry = readBytes(L"update.log");
             return std::wstring(entry.begin() + 1, entry.begin() + 20);
         }},
    };
    for (const Source& source : sources) {
        SCOPED_TRACE(source.what);
        // Read again when the second turned over between the two clock readings.
        bool compared = false;
        for (int attempt = 0; attempt < 5 && !compared; ++attempt) {
            SYSTEMTIME before = {};
            SYSTEMTIME after = {};
            GetLocalTime(&before);
            std::wstring stamp = source.stamp();
            GetLocalTime(&after);
            compared = clockFields(before) == clockFields(after);
            if (compared) {
                EXPECT_EQ(stampFields(stamp), clockFields(before)) << std::string(stamp.begin(), stamp.end());
            }
        }
        EXPECT_TRUE(compared);
    }
}

// "[" + 19 timestamp characters + "] " comes before every message.
const size_t kPrefix = 22;

TEST_F(AppendLogLine, CreatesFileAndAppendsInOrder)
{
    appendLogLine(folder_, L"Start launchera");
    std::string first = readBytes(L"update.log");
    ASSERT_EQ(first.size(), kPrefix + 15 + 2);
    EXPECT_EQ(first[0], '[');
    EXPECT_EQ(first.substr(20, 2), "] ");
    EXPECT_EQ(first.substr(kPrefix), "Start launchera\r\n");

    appendLogLine(folder_, L"FATAL: \x00F3\n\nb");
    std::string both = readBytes(L"update.log");
    ASSERT_EQ(both.substr(0, first.size()), first);
    std::string second = both.substr(first.size());
    ASSERT_EQ(second.size(), kPrefix + 14 + 2);
    EXPECT_EQ(second[0], '[');
    EXPECT_EQ(second.substr(kPrefix), "FATAL: \xC3\xB3\r\n\r\nb\r\n");
}

TEST_F(AppendLogLine, KeepsEarlierContentAndAcceptsTrailingSeparator)
{
    writeBytes(L"update.log", "stary wpis\r\n");
    appendLogLine(folder_ + L"\\", L"x");
    std::string log = readBytes(L"update.log");
    ASSERT_EQ(log.size(), 12 + kPrefix + 1 + 2);
    EXPECT_EQ(log.substr(0, 13), "stary wpis\r\n[");
    EXPECT_EQ(log.substr(12 + kPrefix), "x\r\n");
}

TEST_F(AppendLogLine, MissingFolderWritesNothing)
{
    std::wstring missing = path(L"brak");
    appendLogLine(missing, L"x");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(missing)));
}

TEST_F(AppendLogLine, FolderInPlaceOfLogIsLeftAlone)
{
    ASSERT_TRUE(CreateDirectoryW(path(L"update.log").c_str(), nullptr));
    appendLogLine(folder_, L"x");
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(path(L"update.log"))));
}

TEST_F(AppendLogLine, LogHeldWithoutSharingLosesTheEntry)
{
    writeBytes(L"update.log", "a\r\n");
    HANDLE holder = CreateFileW(path(L"update.log").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    appendLogLine(folder_, L"x");
    CloseHandle(holder);
    EXPECT_EQ(readBytes(L"update.log"), "a\r\n");
}

TEST(FormatSystemError, KnownCodeGivesTrimmedSystemText)
{
    for (unsigned long code : {2ul, 5ul}) {
        std::wstring text = formatSystemError(code);
        SCOPED_TRACE(code);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.rfind(L"kod b", 0), std::wstring::npos);
        EXPECT_FALSE(std::iswspace(text.back()));
        EXPECT_FALSE(std::iswspace(text.front()));
        EXPECT_EQ(text.find(std::to_wstring(code)), std::wstring::npos);
    }
}

TEST(FormatSystemError, UnknownCodeGivesFallback)
{
    struct Row {
        unsigned long code;
        std::wstring text;
    };
    const Row rows[] = {
        {12157, L"kod b\x0142\x0119" L"du 12157"},
        {0xE0001234ul, L"kod b\x0142\x0119" L"du 3758101044"},
        {4294967295ul, L"kod b\x0142\x0119" L"du 4294967295"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(formatSystemError(row.code), row.text) << row.code;
    }
}

// The network failures a user meets: where the system has no text, each gets a sentence of its own.
TEST(FormatSystemError, NetworkSentencesWhereTheSystemHasNoText)
{
    const unsigned long codes[] = {
        12002, 12007, 12029, 12030, 12152,                             // timeout, name, connect, cut, answer
        12156,                                                         // a refused redirect
        12157, 12175, 12037, 12038, 12044, 12045, 12057, 12169, 12170, 12179,  // secure channel, certificate
        12166, 12167, 12177, 12178, 12180, 12187, 12188,               // proxy script, detection, proxy TLS
        10054, 10060,                                                  // Winsock codes Wine passes up
    };
    std::set<std::wstring> sentences;
    for (unsigned long code : codes) {
        SCOPED_TRACE(code);
        std::wstring systemText = formatSystemError(code);
        std::wstring text = formatSystemError(code, ErrorWording::NetworkSentences);
        if (systemText != L"kod b\x0142\x0119" L"du " + std::to_wstring(code)) {
            EXPECT_EQ(text, systemText);
            continue;
        }
        ASSERT_GT(text.size(), 10u);
        EXPECT_TRUE(std::iswupper(text.front()));
        EXPECT_EQ(text.back(), L'.');
        EXPECT_EQ(text.find(L"kod b"), std::wstring::npos);
        EXPECT_TRUE(sentences.insert(text).second) << "the same sentence twice";
    }
    EXPECT_GE(sentences.size(), 20u);
}

TEST(FormatSystemError, NetworkSentencesLeaveOtherCodesAsTheyAre)
{
    for (unsigned long code : {12001ul, 12150ul, 0xE0001234ul, 4294967295ul}) {
        EXPECT_EQ(formatSystemError(code, ErrorWording::NetworkSentences), formatSystemError(code)) << code;
    }
    EXPECT_EQ(formatSystemError(2, ErrorWording::NetworkSentences), formatSystemError(2));
}

}  // namespace
