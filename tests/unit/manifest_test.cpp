#include "common/text.h"
#include "common/working_names.h"
#include "manifest/update_manifest.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace ovan;

std::string narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

TEST(FindStringValue, Table)
{
    struct Row {
        std::wstring source, key;
        bool found;
        std::wstring value;  // "previous" when it must stay untouched
    };
    const Row rows[] = {
        {L"{\"version\": \"1.2.3\"}", L"version", true, L"1.2.3"},
        {L"{\"version\":\"\"}", L"version", true, L""},
        {L"{\"version\": \" \"}", L"version", true, L" "},
        {L"{\"version\"\t:\r\n \x3000\"1\"}", L"version", true, L"1"},
        {L"{\"version\" junk : \"1\"}", L"version", true, L"1"},
        {L"{\"version\": 1.2}", L"version", false, L"previous"},
        {L"{\"version\": null}", L"version", false, L"previous"},
        {L"{\"version\": {\"a\": \"b\"}}", L"version", false, L"previous"},
        {L"{\"version\"}", L"version", false, L"previous"},
        {L"{\"version\":   ", L"version", false, L"previous"},
        {L"{\"version\": \"1.0", L"version", false, L"previous"},
        {L"{\"wersja\": \"1.0\"}", L"version", false, L"previous"},
        {L"{version: \"1.0\"}", L"version", false, L"previous"},
        {L"", L"version", false, L"previous"},
        {L"{\"a\": \"x\\\"y\"}", L"a", true, L"x\\\"y"},
        {L"{\"url\": \"https:\\/\\/h\\/a\"}", L"url", true, L"https:\\/\\/h\\/a"},
        {L"{\"a\": \"\\u0105\"}", L"a", true, L"\\u0105"},
        // An escaped backslash still hides the quote after it: the scan runs on to the next quote.
        {L"{\"a\": \"x\\\\\", \"b\": \"y\"}", L"a", true, L"x\\\\\", "},
        {L"{\"a\": \"x\\\\\"}", L"a", false, L"previous"},
        // The first quoted occurrence decides, even when it stands as a value.
        {L"{\"note\": \"version\", \"size\": 5, \"version\": \"2\"}", L"version", false, L"previous"},
        {L"{\"x\": \"version\": \"7\"}", L"version", true, L"7"},
        {L"{\"version\": \"1\", \"version\": \"2\"}", L"version", true, L"1"},
        {L"{\"name\": \"\x0105\x4E00\"}", L"name", true, L"\x0105\x4E00"},
    };
    for (const Row& row : rows) {
        std::wstring value = L"previous";
        EXPECT_EQ(findStringValue(row.source, row.key, value), row.found) << narrow(row.source);
        EXPECT_EQ(value, row.value) << narrow(row.source);
    }
}


const std::wstring kDigest = L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::wstring kUpperDigest = L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

std::wstring fileObject(const std::wstring& name, const std::wstring& url = L"https://h/f")
{
    return L"{\"name\": \"" + name + L"\", \"url\": \"" + url + L"\", \"sha256\": \"" + kDigest + L"\"}";
}

std::wstring document(const std::wstring& files, const std::wstring& version = L"1.1.0")
{
    return L"{\"version\": \"" + version + L"\", \"files\": [" + files + L"]}";
}

TEST(ParseManifest, AcceptedDocuments)
{
    struct Row {
        const char* what;
        std::wstring text;
        std::wstring version;
        std::vector<ManifestFileEntry> files;
    };
    const ManifestFileEntry a{L"a.dll", L"https://h/f", kUpperDigest};
    const ManifestFileEntry b{L"b.exe", L"https://h/f", kUpperDigest};
    const Row rows[] = {
        {"one file", document(fileObject(L"a.dll")), L"1.1.0", {a}},
        {"two files, trailing comma", document(fileObject(L"a.dll") + L",\n" + fileObject(L"b.exe") + L","),
         L"1.1.0", {a, b}},
        {"junk between objects", document(L" 7, \"x\", " + fileObject(L"a.dll") + L" true " + fileObject(L"b.exe")),
         L"1.1.0", {a, b}},
        {"values trimmed, digest upper-cased",
         document(L"{\"name\": \" a.dll\t\", \"url\": \"\x3000https://h/f \", \"sha256\": \"  " + kDigest + L"\n\"}"),
         L"1.1.0", {a}},
        {"keys in any order, extra key ignored",
         document(L"{\"sha256\": \"" + kDigest + L"\", \"size\": 12, \"url\": \"https://h/f\", \"name\": \"a.dll\"}"),
         L"1.1.0", {a}},
        {"blank version kept as it is", document(fileObject(L"a.dll"), L" "), L" ", {a}},
        {"version not trimmed or decoded", document(fileObject(L"a.dll"), L" 1.0\\n"), L" 1.0\\n", {a}},
        {"escaped slashes stay", document(fileObject(L"a.dll", L"https:\\/\\/h\\/f")), L"1.1.0",
         {{L"a.dll", L"https:\\/\\/h\\/f", kUpperDigest}}},
        {"only a to z are upper-cased",
         document(L"{\"name\": \"a\", \"url\": \"u\", \"sha256\": \"ab\x00E9\x0105z\"}"), L"1.1.0",
         {{L"a", L"u", L"AB\x00E9\x0105Z"}}},
        {"files key without colon", L"{\"version\": \"2\", \"files\" [" + fileObject(L"a.dll") + L"]}", L"2", {a}},
        {"Polish file name", document(fileObject(L"ł\x00F3d\x017A.dll")), L"1.1.0",
         {{L"ł\x00F3d\x017A.dll", L"https://h/f", kUpperDigest}}},
        {"size as a string of digits",
         document(L"{\"name\": \"a.dll\", \"url\": \"https://h/f\", \"sha256\": \"" + kDigest +
                  L"\", \"size\": \"18446744073709551615\"}"),
         L"1.1.0", {{L"a.dll", L"https://h/f", kUpperDigest, true, UINT64_MAX}}},
        {"name and its backup name differ", document(fileObject(L"a.dll") + fileObject(L"a.dll.bak")), L"1.1.0",
         {a, {L"a.dll.bak", L"https://h/f", kUpperDigest}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        UpdateManifest manifest;
        manifest.files.push_back({L"stale", L"stale", L"stale"});
        ASSERT_TRUE(parseManifest(row.text, manifest));
        EXPECT_EQ(manifest.version, row.version);
        ASSERT_EQ(manifest.files.size(), row.files.size());
        for (size_t i = 0; i < row.files.size(); ++i) {
            EXPECT_EQ(manifest.files[i].name, row.files[i].name) << i;
            EXPECT_EQ(manifest.files[i].url, row.files[i].url) << i;
            EXPECT_EQ(manifest.files[i].sha256, row.files[i].sha256) << i;
            EXPECT_EQ(manifest.files[i].hasSize, row.files[i].hasSize) << i;
            EXPECT_EQ(manifest.files[i].size, row.files[i].size) << i;
        }
    }
}

TEST(ParseManifest, RefusedDocuments)
{
    struct Row {
        const char* what;
        std::wstring text;
        ManifestDefect defect;
    };
    const std::wstring one = fileObject(L"a.dll");
    const Row rows[] = {
        {"empty text", L"", ManifestDefect::NoVersion},
        {"numeric version", L"{\"version\": 2, \"files\": [" + one + L"]}", ManifestDefect::NoVersion},
        {"empty version", document(one, L""), ManifestDefect::EmptyVersion},
        {"no files key", L"{\"version\": \"1\", \"pliki\": [" + one + L"]}", ManifestDefect::NoFilesKey},
        {"no list after files", L"{\"version\": \"1\", \"files\": " + one + L"}", ManifestDefect::NoFileList},
        {"list never closed", L"{\"version\": \"1\", \"files\": [" + one, ManifestDefect::NoFileList},
        {"empty list", document(L""), ManifestDefect::NoFiles},
        {"list of non-objects", document(L"\"a.dll\", 3"), ManifestDefect::NoFiles},
        {"bracket inside an address ends the list", document(fileObject(L"a.dll", L"https://h/[1]")),
         ManifestDefect::UnclosedObject},
        {"object not closed before the list ends", document(L"{\"name\": \"a\"") + L"}", ManifestDefect::UnclosedObject},
        {"nested object hides the address",
         document(L"{\"name\": \"a\", \"meta\": {\"x\": \"y\"}, \"url\": \"u\", \"sha256\": \"d\"}"),
         ManifestDefect::MissingField},
        {"missing sha256", document(L"{\"name\": \"a\", \"url\": \"u\"}"), ManifestDefect::MissingField},
        {"numeric url", document(L"{\"name\": \"a\", \"url\": 5, \"sha256\": \"d\"}"), ManifestDefect::MissingField},
        {"blank name", document(L"{\"name\": \" \t\", \"url\": \"u\", \"sha256\": \"d\"}"), ManifestDefect::EmptyField},
        {"empty digest", document(L"{\"name\": \"a\", \"url\": \"u\", \"sha256\": \"\"}"), ManifestDefect::EmptyField},
        {"one bad object of two", document(one + L", {\"name\": \"b\", \"url\": \"u\"}"), ManifestDefect::MissingField},
        {"backslash in name", document(fileObject(L"..\\\\x.dll")), ManifestDefect::NotPlainName},
        {"slash in name", document(fileObject(L"sub/x.dll")), ManifestDefect::NotPlainName},
        {"drive in name", document(fileObject(L"C:x.dll")), ManifestDefect::NotPlainName},
        {"dot", document(fileObject(L".")), ManifestDefect::NotPlainName},
        {"dot dot", document(fileObject(L"..")), ManifestDefect::NotPlainName},
        {"trailing dot", document(fileObject(L"a.dll.")), ManifestDefect::NotPlainName},
        {"repeated name", document(one + fileObject(L"a.dll")), ManifestDefect::NameClash},
        {"repeated name in another case", document(one + fileObject(L"A.DLL")), ManifestDefect::NameClash},
        {"name on another's backup", document(one + fileObject(L"a.dll.OLD")), ManifestDefect::NameClash},
        {"backup named first", document(fileObject(L"a.dll.old") + one), ManifestDefect::NameClash},
        {"device name", document(one + fileObject(L"NUL")), ManifestDefect::NotPlainName},
        {"device name with an extension", document(fileObject(L"aux.dll")), ManifestDefect::NotPlainName},
        {"size with a unit", document(L"{\"name\": \"a\", \"url\": \"u\", \"sha256\": \"d\", \"size\": \"12 B\"}"),
         ManifestDefect::BadSize},
        {"empty size", document(L"{\"name\": \"a\", \"url\": \"u\", \"sha256\": \"d\", \"size\": \"\"}"),
         ManifestDefect::BadSize},
        {"negative size", document(L"{\"name\": \"a\", \"url\": \"u\", \"sha256\": \"d\", \"size\": \"-1\"}"),
         ManifestDefect::BadSize},
        {"size beyond 64 bits",
         document(L"{\"name\": \"a\", \"url\": \"u\", \"sha256\": \"d\", \"size\": \"18446744073709551616\"}"),
         ManifestDefect::BadSize},
        {"the staging folder", document(one + fileObject(L"_update_tmp")), ManifestDefect::WorkingName},
        {"the log in another case", document(fileObject(L"Update.LOG")), ManifestDefect::WorkingName},
        {"the version file's backup", document(fileObject(L"current.txt.old")), ManifestDefect::WorkingName},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        UpdateManifest manifest;
        EXPECT_EQ(scanManifest(row.text, manifest), row.defect);
        EXPECT_FALSE(parseManifest(row.text, manifest));
    }
}

TEST(ParseManifest, VersionIsOverwrittenOnlyWhenFound)
{
    UpdateManifest manifest;
    manifest.version = L"poprzednia";
    EXPECT_FALSE(parseManifest(L"{\"files\": []}", manifest));
    EXPECT_EQ(manifest.version, L"poprzednia");
}

// Pieces that the scanner treats specially, so that random documents hit its edges often.
const wchar_t* const kFragments[] = {
    L"{", L"}", L"[", L"]", L"\"", L"\\", L":", L",", L" ", L"\t", L"\x3000", L"\\\"", L"\"version\"", L"\"files\"",
    L"\"name\"", L"\"url\"", L"\"sha256\"", L"\"1.0\"", L"\"\"", L"\"a.dll\"", L"\"..\"", L"\"A.DLL\"",
    L"\"a.dll.old\"", L"\"x/y\"", L"7", L"null", L"\x0105", L"\xD800", L"\xFEFF",
};

std::wstring randomManifest(std::mt19937& random)
{
    std::wstring text = document(fileObject(L"a.dll") + L"," + fileObject(L"b.dll"));
    std::uniform_int_distribution<int> edits(0, 8);
    std::uniform_int_distribution<size_t> fragment(0, sizeof kFragments / sizeof kFragments[0] - 1);
    for (int n = edits(random); n > 0; --n) {
        size_t at = std::uniform_int_distribution<size_t>(0, text.size())(random);
        switch (random() % 3) {
        case 0:
            text.insert(at, kFragments[fragment(random)]);
            break;
        case 1:
            text.erase(at, std::uniform_int_distribution<size_t>(1, 12)(random));
            break;
        default:
            text = random() % 2 ? text.substr(0, at) : text.substr(at);
            break;
        }
    }
    return text;
}

TEST(ParseManifest, RandomDocumentsParseSoundlyOrAreRefused)
{
    std::mt19937 random(20241207);
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        std::wstring text = randomManifest(random);
        UpdateManifest manifest;
        if (!parseManifest(text, manifest)) {
            continue;
        }
        ++accepted;
        ASSERT_FALSE(manifest.version.empty()) << narrow(text);
        ASSERT_FALSE(manifest.files.empty()) << narrow(text);
        for (size_t k = 0; k < manifest.files.size(); ++k) {
            const ManifestFileEntry& entry = manifest.files[k];
            ASSERT_TRUE(isPlainFileName(entry.name)) << narrow(text);
            ASSERT_FALSE(entry.url.empty()) << narrow(text);
            ASSERT_EQ(entry.sha256.find_first_of(L"abcdefghijklmnopqrstuvwxyz"), std::wstring::npos) << narrow(text);
            for (size_t j = 0; j < k; ++j) {
                ASSERT_FALSE(fileNamesClash(manifest.files[j].name, entry.name)) << narrow(text);
            }
        }
    }
    // The mutations must leave enough documents intact for the checks above to mean something.
    EXPECT_GT(accepted, 1000);
}

TEST(FileNames, PlainNamesAndClashes)
{
    struct Plain {
        std::wstring name;
        bool plain;
    };
    const Plain plains[] = {
        {L"app.dll", true},   {L".config", true},   {L"a b.txt", true}, {L"\x0142\x00F3d\x017A", true},
        {L"a\\b", false},     {L"a/b", false},      {L"C:", false},     {L"a:stream", false},
        {L".", false},        {L"..", false},       {L"a.", false},     {L"a ", false},
        {L"", false},
        {L"NUL", false},      {L"con", false},      {L"Aux.dll", false}, {L"prn.tar.gz", false},
        {L"nul .txt", false}, {L"COM1", false},     {L"lpt9.log", false}, {L"COM0", false},
        {L"LPT\x00B2", false}, {L"CONIN$", false},  {L"conout$.txt", false},
        {L"NULL", true},      {L"con1", true},      {L"COM10", true},   {L"LPT", true},
        {L"xcon", true},      {L"CONIN", true},     {L"a.nul", true},   {L"AUX_1.dll", true},
    };
    for (const Plain& row : plains) {
        EXPECT_EQ(isPlainFileName(row.name), row.plain) << narrow(row.name);
    }

    struct Clash {
        std::wstring a, b;
        bool clash;
    };
    const Clash clashes[] = {
        {L"a.dll", L"a.dll", true},      {L"a.dll", L"A.Dll", true},   {L"a.dll", L"a.dll.old", true},
        {L"a.dll.OLD", L"A.DLL", true},  {L"\x0105.dll", L"\x0104.DLL", true},
        {L"a.dll", L"b.dll", false},     {L"a.dll", L"a.dll.new", false}, {L"a.dll", L"a.dll.old.old", false},
    };
    for (const Clash& row : clashes) {
        EXPECT_EQ(fileNamesClash(row.a, row.b), row.clash) << narrow(row.a) << " / " << narrow(row.b);
        EXPECT_EQ(fileNamesClash(row.b, row.a), row.clash) << narrow(row.b) << " / " << narrow(row.a);
    }
}

// Every name that already stands for something in an empty folder is a device, and must be refused.
using DeviceNames = TempFolderTest;

TEST_F(DeviceNames, WhatTheSystemFindsInAnEmptyFolderIsRefused)
{
    std::vector<std::wstring> candidates = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$",
                                            L"nul.txt", L"Con.dll", L"aux.tar.gz", L"NUL  .txt", L"conout$.log"};
    for (const wchar_t* port : {L"COM", L"LPT", L"com", L"Lpt"}) {
        for (wchar_t digit : std::wstring(L"0123456789\x00B9\x00B2\x00B3")) {
            candidates.push_back(port + std::wstring(1, digit));
            candidates.push_back(port + std::wstring(1, digit) + L".dll");
        }
    }
    int present = 0;
    for (const std::wstring& name : candidates) {
        if (GetFileAttributesW(path(name).c_str()) != INVALID_FILE_ATTRIBUTES) {
            ++present;
            EXPECT_FALSE(isPlainFileName(name)) << narrow(name);
        }
        EXPECT_TRUE(isDeviceName(name)) << narrow(name);
    }
    // NUL, CON and their kind are there on every system; without them the comparison proves nothing.
    EXPECT_GT(present, 10);
}

TEST(FileNames, WorkingNamesAndTheirBackups)
{
    for (const wchar_t* working : kWorkingNames) {
        std::wstring name = working;
        EXPECT_STREQ(clashingWorkingName(name), working) << narrow(name);
        EXPECT_STREQ(clashingWorkingName(name + L".OLD"), working) << narrow(name);
        EXPECT_STREQ(clashingWorkingName(toUpperAscii(name)), working) << narrow(name);
    }
    for (const wchar_t* free : {L"app.dll", L"current.txt.new", L"update.log.1", L"_update_tmp2", L"current"}) {
        EXPECT_EQ(clashingWorkingName(free), nullptr) << narrow(free);
    }
}

TEST(ParseManifest, ACompressedCopyIsTakenOnlyWhole)
{
    struct Row {
        std::wstring members;
        std::wstring zlibUrl;
        uint64_t zlibSize;
    };
    const Row rows[] = {
        {L", \"zlib_url\": \" https://h/a.z \", \"zlib_size\": \"42\"", L"https://h/a.z", 42},
        {L", \"zlib_size\": \"42\", \"zlib_url\": \"https://h/a.z\"", L"https://h/a.z", 42},
        {L", \"zlib_url\": \"https://h/a.z\"", L"", 0},
        {L", \"zlib_url\": \"https://h/a.z\", \"zlib_size\": 42", L"", 0},
        {L", \"zlib_url\": \"https://h/a.z\", \"zlib_size\": \"-1\"", L"", 0},
        {L"", L"", 0},
    };
    for (const Row& row : rows) {
        UpdateManifest manifest;
        std::wstring object = L"{\"name\": \"a.dll\", \"url\": \"https://h/a\", \"sha256\": \"" + kDigest + L"\"" +
                              row.members + L"}";
        ASSERT_TRUE(parseManifest(document(object), manifest)) << narrow(row.members);
        EXPECT_EQ(manifest.files[0].zlibUrl, row.zlibUrl) << narrow(row.members);
        if (!row.zlibUrl.empty()) {
            EXPECT_EQ(manifest.files[0].zlibSize, row.zlibSize) << narrow(row.members);
        }
        EXPECT_EQ(manifest.files[0].url, L"https://h/a");
    }
}

// Patches stand in a list after the files; each object is taken whole or left out, and the files before the
// list read as they would without it.
TEST(ParseManifest, PatchesAfterTheFileListJoinTheirFiles)
{
    std::wstring files = L"{\"version\": \"2.0\", \"files\": [{\"name\": \"a.dll\", \"url\": \"https://h/a\", \"sha256\": \"" +
                         kDigest + L"\"}, {\"name\": \"b.dll\", \"url\": \"https://h/b\", \"sha256\": \"" + kDigest +
                         L"\"}]";
    std::wstring patch = L"{\"name\": \"b.dll\", \"source_sha256\": \"ab12\", \"url\": \" https://h/p \", \"sha256\": "
                         L"\"cd34\", \"size\": \"77\"}";
    std::wstring text = files + L", \"deltas\": [" + patch + L", {\"name\": \"a.dll\", \"url\": \"https://h/q\"}, " +
                        L"{\"name\": \"b.dll\", \"source_sha256\": \"ef\", \"url\": \"https://h/r\", \"sha256\": \"9\", "
                        L"\"size\": \"x\"}, {\"name\": \"c.dll\", \"source_sha256\": \"ef\", \"url\": \"https://h/s\", "
                        L"\"sha256\": \"9\", \"size\": \"1\"}]}";
    UpdateManifest manifest;
    ASSERT_TRUE(parseManifest(text, manifest));
    ASSERT_EQ(manifest.files.size(), 2u);
    EXPECT_TRUE(manifest.files[0].deltas.empty());
    ASSERT_EQ(manifest.files[1].deltas.size(), 1u);
    const ManifestDelta& delta = manifest.files[1].deltas[0];
    EXPECT_EQ(delta.sourceSha256, L"AB12");
    EXPECT_EQ(delta.url, L"https://h/p");
    EXPECT_EQ(delta.sha256, L"CD34");
    EXPECT_EQ(delta.size, 77u);
    // The same list inside a file's object would end the file list at its ] and lose b.dll.
    std::wstring nested = L"{\"version\": \"2.0\", \"files\": [{\"name\": \"a.dll\", \"url\": \"https://h/a\", \"sha256\": \"" +
                          kDigest + L"\", \"deltas\": [" + patch + L"]}, {\"name\": \"b.dll\", \"url\": \"https://h/b\", "
                          L"\"sha256\": \"" + kDigest + L"\"}]}";
    ASSERT_TRUE(parseManifest(nested, manifest));
    EXPECT_EQ(manifest.files.size(), 1u);
}

}  // namespace
