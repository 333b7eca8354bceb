#pragma once

#include "common/paths.h"
#include "common/scoped_handle.h"

#include <cstddef>
#include <string>
#include <vector>

namespace ovan {

// One file of a swap, as its record tells it.
struct RecordedEntry {
    std::wstring name;
    bool targetExisted = false;
    // The move was noted just before it was made: it may or may not have happened.
    bool backupNoted = false;
    bool replaceNoted = false;
};

struct RecordedTransaction {
    std::wstring version;
    bool deletesObsoleteExecutable = false;
    std::vector<RecordedEntry> entries;
};

// The record of a swap under way, a file of the AppFolder that stays until the transaction has
// ended, so that a start after an interruption can finish it.
class TransactionRecord {
public:
    TransactionRecord(const AppFolder& appFolder, bool durable);

    // Written whole in the staging folder and then moved into place: it is there complete or not at all.
    // The moves it notes already are the plan: after an interruption the disk tells which were made.
    bool create(const RecordedTransaction& transaction, const std::wstring& stagingFolder, std::wstring& errorText);

    // A move left out of the plan is noted, and flushed, just before it is made.
    bool noteBackup(size_t index, std::wstring& errorText);
    bool noteReplace(size_t index, std::wstring& errorText);

    // True when no record is left.
    bool remove();

private:
    bool append(const std::wstring& line, std::wstring& errorText);

    AppFolder appFolder_;
    bool durable_;
    FileHandle file_;
};

std::wstring transactionRecordPath(const AppFolder& appFolder);

// True when no record is left.
bool removeTransactionRecord(const AppFolder& appFolder);

enum class RecordState { Missing, Read, Unreadable };

// A record whose last line was cut off is read without that line: the move it was about to note
// had not been made.
RecordState readTransactionRecord(const AppFolder& appFolder, RecordedTransaction& transaction);

}  // namespace ovan
