#include "temp_folder.h"

#include "update/transaction_record.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using ovan::RecordedEntry;
using ovan::RecordedTransaction;
using ovan::RecordState;

class TransactionRecordTest : public TempFolderTest {
protected:
    void SetUp() override
    {
        TempFolderTest::SetUp();
        ASSERT_TRUE(CreateDirectoryW(path(L"_update_tmp").c_str(), nullptr));
    }

    RecordedTransaction sample() const
    {
        RecordedTransaction transaction;
        // Values hold what a line-based record must keep apart: tabs, line ends, backslashes, non-ASCII.
        transaction.version = L" 2.0\tbeta\\n\r\n";
        transaction.deletesObsoleteExecutable = true;
        for (const wchar_t* name : {L"zażółć.dll", L"a\\b.dll", L"plain.dll"}) {
            RecordedEntry entry;
            entry.name = name;
            entry.targetExisted = name[0] != L'p';
            transaction.entries.push_back(entry);
        }
        return transaction;
    }

    RecordState read(RecordedTransaction& transaction) const
    {
        return ovan::readTransactionRecord(folder_, transaction);
    }

    void append(const std::string& bytes) const
    {
        std::ofstream out(std::filesystem::path(path(L"_update_journal")), std::ios::binary | std::ios::app);
        out << bytes;
    }
};

TEST_F(TransactionRecordTest, ReadsBackWhatWasWrittenAndNoted)
{
    std::wstring errorText;
    {
        ovan::TransactionRecord record(folder_, true);
        ASSERT_TRUE(record.create(sample(), path(L"_update_tmp"), errorText)) << errorText;
        ASSERT_TRUE(record.noteBackup(0, errorText));
        ASSERT_TRUE(record.noteReplace(0, errorText));
        ASSERT_TRUE(record.noteReplace(2, errorText));
    }
    // The draft was moved into place, not copied.
    EXPECT_EQ(GetFileAttributesW(path(L"_update_tmp\\_update_journal").c_str()), INVALID_FILE_ATTRIBUTES);

    RecordedTransaction read;
    ASSERT_EQ(this->read(read), RecordState::Read);
    RecordedTransaction written = sample();
    EXPECT_EQ(read.version, written.version);
    EXPECT_TRUE(read.deletesObsoleteExecutable);
    ASSERT_EQ(read.entries.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(read.entries[i].name, written.entries[i].name);
        EXPECT_EQ(read.entries[i].targetExisted, written.entries[i].targetExisted);
    }
    EXPECT_TRUE(read.entries[0].backupNoted && read.entries[0].replaceNoted);
    EXPECT_FALSE(read.entries[1].backupNoted || read.entries[1].replaceNoted);
    EXPECT_TRUE(!read.entries[2].backupNoted && read.entries[2].replaceNoted);

    EXPECT_TRUE(ovan::removeTransactionRecord(folder_));
    EXPECT_EQ(this->read(read), RecordState::Missing);
}

TEST_F(TransactionRecordTest, ALineCutOffWhileBeingNotedIsIgnored)
{
    std::wstring errorText;
    {
        ovan::TransactionRecord record(folder_, false);
        ASSERT_TRUE(record.create(sample(), path(L"_update_tmp"), errorText));
    }
    // A crash in the middle of noting a move: that move had not been made.
    append("backup\t1");
    RecordedTransaction read;
    ASSERT_EQ(this->read(read), RecordState::Read);
    EXPECT_FALSE(read.entries[1].backupNoted);
}

TEST_F(TransactionRecordTest, ARecordThatCannotBeTrustedIsUnreadable)
{
    const struct {
        const char* label;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"other header", "OVAN update record 2\r\nversion\t1\r\nobsolete\t0\r\n"},
        {"no obsolete line", "OVAN update record 1\r\nversion\t1\r\nentry\t1\tapp.dll\r\n"},
        {"flag not 0 or 1", "OVAN update record 1\r\nversion\t1\r\nobsolete\t0\r\nentry\tyes\tapp.dll\r\n"},
        {"move of no entry", "OVAN update record 1\r\nversion\t1\r\nobsolete\t0\r\nentry\t1\tapp.dll\r\nbackup\t1\r\n"},
        {"move without index", "OVAN update record 1\r\nversion\t1\r\nobsolete\t0\r\nentry\t1\tapp.dll\r\nreplace\t\r\n"},
        {"unknown line", "OVAN update record 1\r\nversion\t1\r\nobsolete\t0\r\nentry\t1\tapp.dll\r\nzero\r\n"},
        {"unknown escape", "OVAN update record 1\r\nversion\t1\\x\r\nobsolete\t0\r\n"},
        {"not UTF-8", "OVAN update record 1\r\nversion\t\xff\r\nobsolete\t0\r\n"},
        {"zeros after a crash", std::string(64, '\0') + "\r\n"},
    };
    for (const auto& c : cases) {
        writeBytes(L"_update_journal", c.bytes);
        RecordedTransaction read;
        EXPECT_EQ(this->read(read), RecordState::Unreadable) << c.label;
    }
    // A folder in its place cannot be read either, and is no reason to think there is no record.
    DeleteFileW(path(L"_update_journal").c_str());
    ASSERT_TRUE(CreateDirectoryW(path(L"_update_journal").c_str(), nullptr));
    RecordedTransaction read;
    EXPECT_EQ(this->read(read), RecordState::Unreadable);
}

}  // namespace
