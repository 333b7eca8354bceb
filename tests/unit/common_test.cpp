#include "common/paths.h"
#include "common/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace ovan;

std::string hexOf(const std::wstring& text)
{
    std::string out;
    char buffer[8];
    for (wchar_t c : text) {
        snprintf(buffer, sizeof buffer, "%04X ", static_cast<unsigned>(c));
        out += buffer;
    }
    return out;
}

struct SpaceCase {
    wchar_t c;
    bool space;
};

// Below U+0100 the set is fixed; above it Wine's character table decides, so the rows there
// record what the platform reports rather than what iswspace of the runtime says.
const SpaceCase kSpaceCases[] = {
    {0x0009, true},  {0x000A, true},  {0x000B, true},  {0x000C, true},  {0x000D, true},  {0x0020, true},
    {0x0085, true},  {0x00A0, true},  {0x1680, true},  {0x2000, true},  {0x2003, true},  {0x200A, true},
    {0x2028, true},  {0x2029, true},  {0x202F, true},  {0x205F, true},  {0x3000, true},  {0x0000, false},
    {0x0008, false}, {0x000E, false}, {0x001C, false}, {0x001F, false}, {0x0021, false}, {0x0041, false},
    {0x0084, false}, {0x00AD, false}, {0x00FF, false}, {0x180E, false}, {0x200B, false}, {0xFEFF, false},
    {0x00F3, false}, {0x4E00, false},
};

TEST(TrimWhitespace, SpaceClassAtBothEnds)
{
    for (const SpaceCase& row : kSpaceCases) {
        SCOPED_TRACE(hexOf(std::wstring(1, row.c)));
        EXPECT_EQ(isWhiteSpace(row.c), row.space);
        std::wstring around = std::wstring(1, row.c) + L"a b" + std::wstring(1, row.c);
        EXPECT_EQ(trimWhitespace(around), row.space ? L"a b" : around);
    }
}

TEST(TrimWhitespace, InnerCharactersAndLineBreaksStay)
{
    EXPECT_EQ(trimWhitespace(L" \t1.0\r\n2.0\x3000x\n"), L"1.0\r\n2.0\x3000x");
    EXPECT_EQ(trimWhitespace(L"\x200B" L"1.0 "), L"\x200B" L"1.0");
    EXPECT_EQ(trimWhitespace(L"x"), L"x");
}

TEST(TrimWhitespace, OnlyWhiteSpaceGivesEmpty)
{
    EXPECT_EQ(trimWhitespace(L""), L"");
    EXPECT_EQ(trimWhitespace(L" "), L"");
    EXPECT_EQ(trimWhitespace(L"\t\n\v\f\r \x85\xA0\x3000\x2003"), L"");
}

TEST(ToUpperAscii, OnlyLatinLettersChange)
{
    EXPECT_EQ(toUpperAscii(L"09afAFxyz-\x00E9\x0105\xFF41"), L"09AFAFXYZ-\x00E9\x0105\xFF41");
}

TEST(Paths, JoinPathPutsOneSeparator)
{
    struct Row {
        std::wstring left, right, joined;
    };
    const Row rows[] = {
        {L"C:\\app", L"update.log", L"C:\\app\\update.log"},
        {L"C:\\app\\", L"update.log", L"C:\\app\\update.log"},
        {L"C:/app/", L"update.log", L"C:/app/update.log"},
        {L"C:\\", L"current.txt", L"C:\\current.txt"},
        {L"C:\\app", L"_update_tmp\\a.dll.new", L"C:\\app\\_update_tmp\\a.dll.new"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(joinPath(row.left, row.right), row.joined) << hexOf(row.left);
    }
}

TEST(Paths, ParentPathKeepsRootSeparator)
{
    struct Row {
        std::wstring path, parent;
    };
    const Row rows[] = {
        {L"C:\\app\\OVANLauncher.exe", L"C:\\app"},
        {L"C:\\x.exe", L"C:\\"},
        {L"C:\\a\\\\b.exe", L"C:\\a"},
        {L"C:/a/b.exe", L"C:/a"},
        {L"C:\\a\\b\\", L"C:\\a\\b"},
        {L"\\\\server\\share\\x.exe", L"\\\\server\\share\\"},
        {L"\\x.exe", L"\\"},
        {L"x.exe", L""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(parentPath(row.path), row.parent) << hexOf(row.path);
    }
}

TEST(Paths, LastPathElement)
{
    EXPECT_EQ(lastPathElement(L"C:\\app\\b.exe"), L"b.exe");
    EXPECT_EQ(lastPathElement(L"C:/app/b.exe"), L"b.exe");
    EXPECT_EQ(lastPathElement(L"b.exe"), L"b.exe");
}

struct Utf8Case {
    const char* what;
    std::vector<unsigned char> bytes;
    bool wellFormed;
    std::wstring decoded;
};

const std::vector<Utf8Case>& utf8Cases()
{
    static const std::vector<Utf8Case> cases = {
        {"empty", {}, true, L""},
        {"ascii with NUL", {'a', 0x00, 'b'}, true, std::wstring(L"a\0b", 3)},
        {"2-byte", {0xC3, 0xB3}, true, L"\x00F3"},
        {"smallest 2-byte", {0xC2, 0x80}, true, L"\x0080"},
        {"3-byte", {0xE2, 0x82, 0xAC}, true, L"\x20AC"},
        {"smallest 3-byte", {0xE0, 0xA0, 0x80}, true, L"\x0800"},
        {"last before surrogates", {0xED, 0x9F, 0xBF}, true, L"\xD7FF"},
        {"byte-order mark decodes as a character", {0xEF, 0xBB, 0xBF}, true, L"\xFEFF"},
        {"4-byte", {0xF0, 0x9F, 0x98, 0x80}, true, L"\xD83D\xDE00"},
        {"U+10FFFF", {0xF4, 0x8F, 0xBF, 0xBF}, true, L"\xDBFF\xDFFF"},
        {"overlong C0 80", {0xC0, 0x80}, false, L""},
        {"overlong C1 BF", {0xC1, 0xBF}, false, L""},
        {"overlong E0 80 80", {0xE0, 0x80, 0x80}, false, L""},
        {"overlong E0 9F BF", {0xE0, 0x9F, 0xBF}, false, L""},
        {"overlong F0 8F BF BF", {0xF0, 0x8F, 0xBF, 0xBF}, false, L""},
        {"surrogate ED A0 80", {0xED, 0xA0, 0x80}, false, L""},
        {"surrogate ED BF BF", {0xED, 0xBF, 0xBF}, false, L""},
        {"above U+10FFFF", {0xF4, 0x90, 0x80, 0x80}, false, L""},
        {"lead F5", {0xF5, 0x80, 0x80, 0x80}, false, L""},
        {"byte FF", {'a', 0xFF}, false, L""},
        {"truncated 2-byte", {'a', 0xC3}, false, L""},
        {"truncated 3-byte", {0xE2, 0x82}, false, L""},
        {"truncated 4-byte", {0xF0, 0x9F, 0x98}, false, L""},
        {"stray continuation", {0x80}, false, L""},
        {"stray continuation inside", {'a', 0xBF, 'b'}, false, L""},
        {"lead without continuation", {0xC3, 'A'}, false, L""},
        {"3-byte broken at third", {0xE2, 0x82, 0x41}, false, L""},
        {"4-byte broken at fourth", {0xF0, 0x9F, 0x98, 0x41}, false, L""},
        {"Latin-1 byte", {0xE9, '1', '.', '0'}, false, L""},
    };
    return cases;
}

TEST(Utf8, WellFormednessAndStrictDecoding)
{
    for (const Utf8Case& row : utf8Cases()) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(isWellFormedUtf8(row.bytes.data(), row.bytes.size()), row.wellFormed);
        std::wstring text = L"untouched";
        EXPECT_EQ(decodeUtf8(row.bytes.data(), row.bytes.size(), text), row.wellFormed);
        if (row.wellFormed) {
            EXPECT_EQ(text, row.decoded) << hexOf(text);
            EXPECT_EQ(encodeUtf8(text), std::string(row.bytes.begin(), row.bytes.end()));
        } else {
            EXPECT_EQ(text, L"untouched");
        }
    }
}

TEST(Utf8, ByteOrderMarkOffset)
{
    const unsigned char withMark[] = {0xEF, 0xBB, 0xBF, '1'};
    const unsigned char wrongMark[] = {0xEF, 0xBB, 0xBE, '1'};
    EXPECT_EQ(utf8ContentOffset(withMark, 4), 3u);
    EXPECT_EQ(utf8ContentOffset(withMark, 3), 3u);
    EXPECT_EQ(utf8ContentOffset(withMark, 2), 0u);
    EXPECT_EQ(utf8ContentOffset(wrongMark, 4), 0u);
    EXPECT_EQ(utf8ContentOffset(nullptr, 0), 0u);
}

}  // namespace
