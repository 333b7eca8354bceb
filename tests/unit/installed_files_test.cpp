#include "temp_folder.h"

#include "common/scoped_handle.h"
#include "transfer/sha256_file.h"
#include "update/installed_files.h"
#include "update/installed_record.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using ovan::FileStamp;
using ovan::InstalledDigest;
using ovan::InstalledRecord;
using ovan::InstalledState;
using ovan::RecordedFile;

const std::wstring kDigestA(64, L'A');
const std::string kDigestText(64, 'A');
const std::string kHeader = "OVAN installed files 1\r\n";
const uint64_t kFourGiB = 4ull * 1024 * 1024 * 1024;

ovan::ByteBuffer bytesOf(const std::string& text)
{
    return ovan::ByteBuffer(text.begin(), text.end());
}

bool parses(const std::string& text, InstalledRecord& record)
{
    return ovan::parseInstalledRecord(bytesOf(text), record);
}

TEST(InstalledRecordFormat, ReadsBackSizesBeyondFourGiBAndNamesOfAnyKind)
{
    InstalledRecord written;
    // Sizes and times a 32-bit count would cut: just past 4 GiB, and the largest a 64-bit one holds.
    written[L"big.bin"] = RecordedFile{FileStamp{kFourGiB + 1, 133000000000000001ull}, kDigestA};
    written[L"max.bin"] = RecordedFile{FileStamp{UINT64_MAX, UINT64_MAX}, std::wstring(64, L'F')};
    written[L"zażółć\tz\\n.dll"] = RecordedFile{FileStamp{0, 0}, std::wstring(64, L'0')};
    std::string bytes = ovan::installedRecordBytes(written);

    InstalledRecord read;
    ASSERT_TRUE(ovan::parseInstalledRecord(ovan::ByteBuffer(bytes.begin(), bytes.end()), read)) << bytes;
    ASSERT_EQ(read.size(), written.size());
    for (const auto& file : written) {
        ASSERT_EQ(read.count(file.first), 1u);
        EXPECT_EQ(read[file.first].stamp, file.second.stamp);
        EXPECT_EQ(read[file.first].sha256, file.second.sha256);
    }
    EXPECT_NE(bytes.find("\tbig.bin\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("\t18446744073709551615\t18446744073709551615\t"), std::string::npos);

    InstalledRecord empty;
    EXPECT_TRUE(parses(kHeader, empty));
    EXPECT_TRUE(empty.empty());
}

TEST(InstalledRecordFormat, ADamagedRecordIsNotUsedAtAll)
{
    const std::string line = "file\t5\t7\t" + kDigestText + "\tapp.dll\r\n";
    const struct {
        const char* label;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"other header", "OVAN installed files 2\r\n" + line},
        {"header cut off", "OVAN installed files 1"},
        {"byte-order mark", "\xef\xbb\xbf" + kHeader + line},
        {"last line cut off", kHeader + line.substr(0, line.size() - 2)},
        {"line feeds only", "OVAN installed files 1\nfile\t5\t7\t" + kDigestText + "\tapp.dll\n"},
        {"size beyond 64 bits", kHeader + "file\t18446744073709551616\t7\t" + kDigestText + "\tapp.dll\r\n"},
        {"time beyond 64 bits", kHeader + "file\t5\t99999999999999999999\t" + kDigestText + "\tapp.dll\r\n"},
        {"signed size", kHeader + "file\t-5\t7\t" + kDigestText + "\tapp.dll\r\n"},
        {"empty size", kHeader + "file\t\t7\t" + kDigestText + "\tapp.dll\r\n"},
        {"short digest", kHeader + "file\t5\t7\t" + kDigestText.substr(1) + "\tapp.dll\r\n"},
        {"lower-case digest", kHeader + "file\t5\t7\t" + std::string(64, 'a') + "\tapp.dll\r\n"},
        {"field missing", kHeader + "file\t5\t" + kDigestText + "\tapp.dll\r\n"},
        {"field too many", kHeader + "file\t5\t7\t" + kDigestText + "\tapp.dll\tx\r\n"},
        {"unknown line", kHeader + line + "zero\r\n"},
        {"empty name", kHeader + "file\t5\t7\t" + kDigestText + "\t\r\n"},
        {"unknown escape", kHeader + "file\t5\t7\t" + kDigestText + "\tapp\\x.dll\r\n"},
        {"name twice", kHeader + line + line},
        {"not UTF-8", kHeader + "file\t5\t7\t" + kDigestText + "\tapp\xff.dll\r\n"},
        {"zeros after a crash", kHeader + std::string(64, '\0') + "\r\n"},
    };
    for (const auto& c : cases) {
        InstalledRecord read;
        read[L"left.dll"] = RecordedFile{};
        EXPECT_FALSE(parses(c.text, read)) << c.label;
        EXPECT_TRUE(read.empty()) << c.label;
    }
}

class InstalledFilesTest : public TempFolderTest {
protected:
    FileStamp stampOf(const std::wstring& name) const
    {
        FileStamp stamp;
        EXPECT_TRUE(ovan::readFileStamp(path(name), stamp));
        return stamp;
    }
};

TEST_F(InstalledFilesTest, TheRecordIsTrustedOnlyWhileSizeAndLastWriteTimeHold)
{
    writeBytes(L"app.dll", "installed bytes");
    std::wstring actual;
    ASSERT_TRUE(ovan::sha256FileHex(path(L"app.dll"), actual));
    FileStamp stamp = stampOf(L"app.dll");
    EXPECT_EQ(stamp.size, 15u);

    const struct {
        const char* label;
        FileStamp recorded;
        bool trusted;
    } cases[] = {
        {"as recorded", stamp, true},
        {"another size", FileStamp{stamp.size + 1, stamp.lastWriteTime}, false},
        {"another time", FileStamp{stamp.size, stamp.lastWriteTime + 1}, false},
        {"size 4 GiB apart", FileStamp{stamp.size + kFourGiB, stamp.lastWriteTime}, false},
    };
    for (const auto& c : cases) {
        InstalledRecord record;
        record[L"app.dll"] = RecordedFile{c.recorded, kDigestA};
        InstalledDigest digest = ovan::installedFileDigest(record, L"app.dll", path(L"app.dll"));
        EXPECT_EQ(digest.state, InstalledState::Read) << c.label;
        EXPECT_EQ(digest.sha256, c.trusted ? kDigestA : actual) << c.label;
        EXPECT_EQ(digest.hashed, !c.trusted) << c.label;
        EXPECT_EQ(digest.stamp, stamp) << c.label;
    }
    // A record of another name says nothing about this file.
    InstalledRecord other;
    other[L"App.dll"] = RecordedFile{stamp, kDigestA};
    EXPECT_EQ(ovan::installedFileDigest(other, L"app.dll", path(L"app.dll")).sha256, actual);
}

TEST_F(InstalledFilesTest, AFileBeyondFourGiBIsKnownByItsRecordWithoutBeingRead)
{
    {
        ovan::FileHandle file(CreateFileW(path(L"huge.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file);
        LARGE_INTEGER end = {};
        end.QuadPart = static_cast<LONGLONG>(kFourGiB + 4096);
        // Sparse where the file system allows it: nothing is written, and the test never reads it.
        ASSERT_TRUE(SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.get()));
    }
    FileStamp stamp = stampOf(L"huge.bin");
    EXPECT_EQ(stamp.size, kFourGiB + 4096);
    InstalledRecord record;
    record[L"huge.bin"] = RecordedFile{stamp, kDigestA};
    InstalledDigest digest = ovan::installedFileDigest(record, L"huge.bin", path(L"huge.bin"));
    EXPECT_EQ(digest.sha256, kDigestA);
    EXPECT_FALSE(digest.hashed);
}

TEST_F(InstalledFilesTest, WhatIsNoReadableFileHasNoDigest)
{
    ASSERT_TRUE(CreateDirectoryW(path(L"folder.dll").c_str(), nullptr));
    writeBytes(L"held.dll", "bytes");
    ovan::FileHandle holder(CreateFileW(path(L"held.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    InstalledRecord none;
    EXPECT_EQ(ovan::installedFileDigest(none, L"gone.dll", path(L"gone.dll")).state, InstalledState::Missing);
    EXPECT_EQ(ovan::installedFileDigest(none, L"folder.dll", path(L"folder.dll")).state, InstalledState::NotAFile);
    EXPECT_EQ(ovan::installedFileDigest(none, L"held.dll", path(L"held.dll")).state, InstalledState::Unreadable);
    // Held or not, a file the record still describes needs no reading.
    InstalledRecord record;
    record[L"held.dll"] = RecordedFile{stampOf(L"held.dll"), kDigestA};
    EXPECT_EQ(ovan::installedFileDigest(record, L"held.dll", path(L"held.dll")).sha256, kDigestA);
}

TEST_F(InstalledFilesTest, AMissingOrDamagedRecordFileReadsAsEmpty)
{
    EXPECT_TRUE(ovan::readInstalledRecord(folder_).empty());
    InstalledRecord written;
    written[L"app.dll"] = RecordedFile{FileStamp{kFourGiB, 1}, kDigestA};
    ovan::writeInstalledRecord(folder_, written, true);
    EXPECT_EQ(GetFileAttributesW(path(L"_installed_files.tmp").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(ovan::readInstalledRecord(folder_).at(L"app.dll").stamp, written[L"app.dll"].stamp);

    std::string bytes = readBytes(L"_installed_files");
    writeBytes(L"_installed_files", bytes.substr(0, bytes.size() - 1));
    EXPECT_TRUE(ovan::readInstalledRecord(folder_).empty());
    DeleteFileW(path(L"_installed_files").c_str());
    ASSERT_TRUE(CreateDirectoryW(path(L"_installed_files").c_str(), nullptr));
    EXPECT_TRUE(ovan::readInstalledRecord(folder_).empty());
}

}  // namespace
