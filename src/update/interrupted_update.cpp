#include "update/interrupted_update.h"

#include "common/file_removal.h"
#include "common/text.h"
#include "common/working_names.h"
#include "diagnostics/error_text.h"
#include "diagnostics/update_log.h"
#include "update/installed_record.h"
#include "update/transaction_record.h"
#include "update/update_transaction.h"
#include "versions/local_version.h"

#include <vector>

namespace ovan {

namespace {

// What the moves noted in the record did, read from what lies on disk: a noted move may not have happened.
bool examineEntry(const RecordedEntry& entry, StagedFile& record, std::wstring& errorText)
{
    PathState target = PathState::Unknown;
    PathState backup = PathState::Unknown;
    PathState staged = PathState::Unknown;
    if (!examinePathOrExplain(record.targetPath, target, errorText) ||
        !examinePathOrExplain(record.backupPath, backup, errorText) ||
        !examinePathOrExplain(record.stagingPath, staged, errorText)) {
        return false;
    }
    record.targetExisted = entry.targetExisted;
    // The backup move happened when the target is gone, or when the replacement was noted after it.
    record.backedUp = entry.backupNoted && backup == PathState::Present &&
                      (target == PathState::Missing || entry.replaceNoted);
    // An added file is in place when the staged file has left the staging folder for the target. A replaced
    // file is never removed here: its backup moves over it, and without a backup it is the old file put back.
    record.replaced = !entry.targetExisted && entry.replaceNoted && staged == PathState::Missing &&
                      target == PathState::Present;
    return true;
}

bool recordsOf(const RecordedTransaction& transaction, const AppFolder& appFolder, std::vector<StagedFile>& records,
               std::wstring& errorText)
{
    for (const RecordedEntry& entry : transaction.entries) {
        StagedFile record = stagedFileFor(entry.name, appFolder);
        if (!examineEntry(entry, record, errorText)) {
            return false;
        }
        records.push_back(record);
    }
    return true;
}

// A draft of the record of the installed files was complete before current.txt took the new version.
void completeCleanUp(const RecordedTransaction& transaction, const AppFolder& appFolder, bool keepsInstalledRecord)
{
    appendLogLine(appFolder, L"Kończenie przerwanej aktualizacji do wersji " + transaction.version);
    if (keepsInstalledRecord) {
        placeInstalledRecord(appFolder);
    } else {
        discardInstalledRecordDraft(appFolder);
    }
    std::vector<std::wstring> backups;
    for (const RecordedEntry& entry : transaction.entries) {
        backups.push_back(stagedFileFor(entry.name, appFolder).backupPath);
    }
    cleanUpCommitted(backups, appFolder, transaction.deletesObsoleteExecutable);
}

bool putPreviousReleaseBack(const RecordedTransaction& transaction, const AppFolder& appFolder,
                            std::wstring& errorText)
{
    appendLogLine(appFolder, L"Przywracanie poprzedniej wersji po przerwanej aktualizacji do wersji " +
                                 transaction.version);
    std::vector<StagedFile> records;
    if (!recordsOf(transaction, appFolder, records, errorText) || !restoreBackups(records, appFolder, errorText)) {
        return false;
    }
    // A version and a record written for the release that never came in go with it.
    unsigned long ignored = 0;
    removeFile(joinPath(appFolder, kVersionTempName), ignored);
    discardInstalledRecordDraft(appFolder);
    removeTree(joinPath(appFolder, kStagingFolderName));
    return true;
}

}  // namespace

bool finishInterruptedUpdate(const AppFolder& appFolder, bool keepsInstalledRecord, std::wstring& errorText)
{
    RecordedTransaction transaction;
    switch (readTransactionRecord(appFolder, transaction)) {
    case RecordState::Missing:
        return true;
    case RecordState::Unreadable:
        errorText = L"Nie udało się odczytać zapisu przerwanej aktualizacji: " + transactionRecordPath(appFolder);
        return false;
    case RecordState::Read:
        break;
    }
    std::wstring installedVersion;
    if (!readLocalVersion(appFolder, installedVersion, errorText)) {
        return false;
    }
    if (installedVersion == trimWhitespace(transaction.version)) {
        completeCleanUp(transaction, appFolder, keepsInstalledRecord);
    } else if (!putPreviousReleaseBack(transaction, appFolder, errorText)) {
        return false;
    }
    removeTransactionRecord(appFolder);
    return true;
}

}  // namespace ovan
