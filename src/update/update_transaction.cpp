#include "update/update_transaction.h"

#include "common/file_bytes.h"
#include "common/file_moves.h"
#include "common/file_removal.h"
#include "common/working_names.h"
#include "diagnostics/error_text.h"
#include "diagnostics/update_log.h"
#include "update/disk_space.h"
#include "update/installation_check.h"
#include "update/installed_files.h"
#include "update/resume_note.h"
#include "update/stage_file.h"
#include "versions/local_version.h"

#include <windows.h>

#include <cstdint>

namespace ovan {

namespace {

const wchar_t* const kObsoleteExecutable = L"OVANView.exe";

bool pathPresent(const std::wstring& path)
{
    unsigned long ignored = 0;
    return examinePath(path, ignored) != PathState::Missing;
}

bool moveFile(const std::wstring& from, const std::wstring& to, const wchar_t* failureLiteral,
              const std::wstring& targetPath, std::wstring& errorText)
{
    unsigned long code = 0;
    if (moveReplacing(from, to, code)) {
        return true;
    }
    errorText = failureLiteral + targetPath + L"\n\n" + formatSystemError(code);
    return false;
}

// A file whose backup path holds a leftover that stays has its moves noted one by one, as they come;
// every other file's moves are noted once, with the plan, before the first move.
bool notedEachTime(const StagedFile& record)
{
    return record.targetExisted && record.leftoverBackup;
}

bool putBack(const StagedFile& record, const AppFolder& appFolder, std::wstring& failureText)
{
    unsigned long code = 0;
    // removeFile is true for a path that holds nothing.
    if (record.replaced && !removeFile(record.targetPath, code) && !record.backedUp) {
        // An added file that stays would mix two releases; a replaced one is overwritten by its backup below.
        failureText = L"Nie udało się usunąć pliku: " + record.targetPath + L"\n\n" + formatSystemError(code);
        return false;
    }
    if (record.backedUp && pathPresent(record.backupPath) && !moveReplacing(record.backupPath, record.targetPath, code)) {
        std::wstring systemText = formatSystemError(code);
        appendLogLine(appFolder, L"Nie udało się przywrócić kopii: " + record.targetPath + L" | " + systemText);
        failureText = L"Nie udało się przywrócić kopii: " + record.targetPath + L"\n\n" + systemText;
        return false;
    }
    return true;
}

bool runTransaction(HttpSession& session, const UpdateManifest& manifest, const AppFolder& appFolder,
                    const UpdateSettings& settings, const TransactionPlan& plan, bool& previousReleaseIntact,
                    std::wstring& errorText)
{
    UpdateTransaction transaction(session, manifest, appFolder, settings, plan);
    bool applied = transaction.prepare(errorText) && transaction.fits(errorText) && transaction.stage(errorText) &&
                   transaction.swap(errorText) && transaction.commit(errorText);
    previousReleaseIntact = transaction.previousReleaseIntact();
    return applied;
}

}  // namespace

UpdateTransaction::UpdateTransaction(HttpSession& session, const UpdateManifest& manifest, const AppFolder& appFolder,
                                     const UpdateSettings& settings, const TransactionPlan& plan)
    : session_(session),
      manifest_(manifest),
      appFolder_(appFolder),
      settings_(settings),
      plan_(plan),
      stagingFolder_(joinPath(appFolder, kStagingFolderName)),
      record_(appFolder, settings.staging.durable)
{
}

bool UpdateTransaction::prepare(std::wstring& errorText)
{
    appendLogLine(appFolder_, L"Przygotowanie katalogu tymczasowego");
    if (settings_.staging.resume && clearStagingKeepingResumable(stagingFolder_, manifest_)) {
        return true;
    }
    removeTree(stagingFolder_);
    // Whatever could not be removed (a link the platform cannot remove by itself) is never written through.
    if (!CreateDirectoryW(stagingFolder_.c_str(), nullptr)) {
        errorText = L"Nie udało się utworzyć katalogu tymczasowego: " + stagingFolder_;
        return false;
    }
    return true;
}

// Counted are the sizes the manifest gives, less what a partial file kept for resuming already holds.
bool UpdateTransaction::fits(std::wstring& errorText) const
{
    uint64_t needed = 0;
    for (size_t index = 0; index < manifest_.files.size(); ++index) {
        const ManifestFileEntry& entry = manifest_.files[index];
        uint64_t kept = 0;
        if (alreadyInstalled(index) || !entry.hasSize ||
            (settings_.staging.resume && fileLength(stagedFileFor(entry.name, appFolder_).stagingPath, kept) &&
             kept >= entry.size)) {
            continue;
        }
        uint64_t missing = entry.size - kept;
        needed = missing > UINT64_MAX - needed ? UINT64_MAX : needed + missing;
    }
    return needed == 0 || roomForDownloads(appFolder_, needed, errorText);
}

bool UpdateTransaction::stage(std::wstring& errorText)
{
    for (size_t index = 0; index < manifest_.files.size(); ++index) {
        if (!stageEntry(index, errorText)) {
            return false;
        }
    }
    return true;
}

bool UpdateTransaction::alreadyInstalled(size_t index) const
{
    return index < plan_.installed.size() && plan_.installed[index];
}

bool UpdateTransaction::stageEntry(size_t index, std::wstring& errorText)
{
    const ManifestFileEntry& entry = manifest_.files[index];
    if (alreadyInstalled(index)) {
        if (!plan_.repair) {
            appendLogLine(appFolder_, L"Plik bez zmian: " + entry.name);
        }
        return true;
    }
    StagedFile record = stagedFileFor(entry.name, appFolder_);
    PathState target = PathState::Unknown;
    if (!examinePathOrExplain(record.targetPath, target, errorText)) {
        return false;
    }
    record.targetExisted = target == PathState::Present;
    if (!stageFile(session_, entry, record.stagingPath, appFolder_, errorText, settings_.staging)) {
        return false;
    }
    stagedFiles_.push_back(std::move(record));
    return true;
}

bool UpdateTransaction::swap(std::wstring& errorText)
{
    appendLogLine(appFolder_, L"Rozpoczynam podmianę plików");
    if (!discardLeftoverBackups(errorText) || !record_.create(planned(), stagingFolder_, errorText)) {
        return false;
    }
    for (size_t index = 0; index < stagedFiles_.size(); ++index) {
        if (!swapOne(index, errorText)) {
            // Only a rollback that put every file back ends the transaction; otherwise the next start finishes it.
            previousReleaseIntact_ = rollBack();
            return false;
        }
    }
    return true;
}

// Backups of an earlier run go before the plan is noted, so that a backup found after an interruption is
// this transaction's own. A backup whose file is missing may be the only copy left of it, and stays; it is
// looked for now, while the AppFolder may still be small, as the commit removes it (a missing name costs a
// scan of the folder under Wine).
bool UpdateTransaction::discardLeftoverBackups(std::wstring& errorText)
{
    for (StagedFile& record : stagedFiles_) {
        if (!record.targetExisted) {
            record.leftoverBackup = pathPresent(record.backupPath);
            continue;
        }
        PathState backup = PathState::Unknown;
        if (!examinePathOrExplain(record.backupPath, backup, errorText)) {
            return false;
        }
        unsigned long ignored = 0;
        record.leftoverBackup = backup == PathState::Present && !removeFile(record.backupPath, ignored);
    }
    return true;
}

RecordedTransaction UpdateTransaction::planned() const
{
    RecordedTransaction transaction;
    transaction.version = manifest_.version;
    transaction.deletesObsoleteExecutable = deletesObsoleteExecutable();
    for (const StagedFile& record : stagedFiles_) {
        RecordedEntry entry;
        entry.name = lastPathElement(record.targetPath);
        entry.targetExisted = record.targetExisted;
        entry.backupNoted = record.targetExisted && !notedEachTime(record);
        entry.replaceNoted = !notedEachTime(record);
        transaction.entries.push_back(entry);
    }
    return transaction;
}

bool UpdateTransaction::swapOne(size_t index, std::wstring& errorText)
{
    StagedFile& record = stagedFiles_[index];
    if (record.targetExisted) {
        appendLogLine(appFolder_, L"Tworzenie kopii: " + lastPathElement(record.targetPath));
        if (!moveBackup(index, errorText)) {
            return false;
        }
        record.backedUp = true;
    }
    appendLogLine(appFolder_, L"Podmiana pliku: " + lastPathElement(record.targetPath));
    if (!moveIntoPlace(index, errorText)) {
        return false;
    }
    record.replaced = true;
    return true;
}

bool UpdateTransaction::moveBackup(size_t index, std::wstring& errorText)
{
    const StagedFile& record = stagedFiles_[index];
    return (!notedEachTime(record) || record_.noteBackup(index, errorText)) &&
           moveFile(record.targetPath, record.backupPath, L"Nie udało się utworzyć kopii pliku: ", record.targetPath,
                    errorText);
}

bool UpdateTransaction::moveIntoPlace(size_t index, std::wstring& errorText)
{
    const StagedFile& record = stagedFiles_[index];
    return (!notedEachTime(record) || record_.noteReplace(index, errorText)) &&
           moveFile(record.stagingPath, record.targetPath, L"Nie udało się podmienić pliku: ", record.targetPath,
                    errorText);
}

bool UpdateTransaction::rollBack()
{
    std::wstring ignored;
    return restoreBackups(stagedFiles_, appFolder_, ignored) && record_.remove();
}

// The record of the installed files is drafted before current.txt is written, so that a start after an
// interruption that finds the new version finds the draft complete, and is moved into place after it.
bool UpdateTransaction::commit(std::wstring& errorText)
{
    bool drafted = settings_.keepsInstalledRecord &&
                   draftInstalledRecord(appFolder_, installedNow(), settings_.staging.durable);
    if (!plan_.repair &&
        !writeLocalVersion(joinPath(appFolder_, kVersionFileName), manifest_.version, settings_.staging.durable)) {
        // The new files stay in place with the backups beside them; the next run reads the old version.
        previousReleaseIntact_ = false;
        record_.remove();
        discardInstalledRecordDraft(appFolder_);
        errorText = L"Pliki programu zostały podmienione, ale nie udało się zapisać current.txt";
        return false;
    }
    if (!plan_.repair) {
        appendLogLine(appFolder_, L"Zapisano nową wersję do current.txt: " + manifest_.version);
    }
    if (drafted) {
        placeInstalledRecord(appFolder_);
    }
    cleanUpCommitted(backupsToRemove(), appFolder_, deletesObsoleteExecutable());
    record_.remove();
    return true;
}

// A repair leaves alone what its release does not list.
bool UpdateTransaction::deletesObsoleteExecutable() const
{
    return !plan_.repair && !listsObsoleteExecutable(manifest_);
}

// Every listed file now holds the manifest's bytes: those swapped in were verified, the others found so.
InstalledRecord UpdateTransaction::installedNow() const
{
    InstalledRecord installed;
    for (const ManifestFileEntry& entry : manifest_.files) {
        RecordedFile file;
        if (readFileStamp(joinPath(appFolder_, entry.name), file.stamp)) {
            file.sha256 = toUpperAscii(entry.sha256);
            installed[entry.name] = file;
        }
    }
    return installed;
}

// Only backups known to be there are removed: a name that is not there costs a scan of the folder.
std::vector<std::wstring> UpdateTransaction::backupsToRemove() const
{
    std::vector<std::wstring> backups;
    for (const StagedFile& record : stagedFiles_) {
        if (record.backedUp || record.leftoverBackup) {
            backups.push_back(record.backupPath);
        }
    }
    return backups;
}

bool examinePathOrExplain(const std::wstring& path, PathState& state, std::wstring& errorText)
{
    unsigned long systemError = 0;
    state = examinePath(path, systemError);
    if (state == PathState::Unknown) {
        errorText = pathNotExaminedText(path, systemError);
        return false;
    }
    return true;
}

StagedFile stagedFileFor(const std::wstring& name, const AppFolder& appFolder)
{
    StagedFile record;
    record.stagingPath = joinPath(joinPath(appFolder, kStagingFolderName), name + L".new");
    record.targetPath = joinPath(appFolder, name);
    record.backupPath = joinPath(appFolder, name + L".old");
    return record;
}

bool applyUpdate(HttpSession& session, const UpdateManifest& manifest, const AppFolder& appFolder,
                 const UpdateSettings& settings, bool& previousReleaseIntact, std::wstring& errorText)
{
    TransactionPlan plan;
    if (settings.skipUnchanged) {
        plan.installed = checkInstallation(manifest, appFolder, readInstalledRecord(appFolder), false).intact;
    }
    return runTransaction(session, manifest, appFolder, settings, plan, previousReleaseIntact, errorText);
}

bool repairFiles(HttpSession& session, const UpdateManifest& manifest, const AppFolder& appFolder,
                 const UpdateSettings& settings, const std::vector<bool>& intact, bool& previousReleaseIntact,
                 std::wstring& errorText)
{
    TransactionPlan plan;
    plan.installed = intact;
    plan.repair = true;
    return runTransaction(session, manifest, appFolder, settings, plan, previousReleaseIntact, errorText);
}

bool restoreBackups(std::vector<StagedFile>& stagedFiles, const AppFolder& appFolder, std::wstring& failureText)
{
    bool complete = true;
    for (auto record = stagedFiles.rbegin(); record != stagedFiles.rend(); ++record) {
        std::wstring failure;
        if (!putBack(*record, appFolder, failure) && complete) {
            complete = false;
            failureText = failure;
        }
    }
    return complete;
}

void cleanUpCommitted(const std::vector<std::wstring>& backupPaths, const AppFolder& appFolder,
                      bool deletesObsoleteExecutable)
{
    for (const std::wstring& backupPath : backupPaths) {
        unsigned long ignored = 0;
        removeFile(backupPath, ignored);
    }
    removeTree(joinPath(appFolder, kStagingFolderName));
    if (deletesObsoleteExecutable) {
        deleteObsoleteExecutable(appFolder);
    }
}

void deleteObsoleteExecutable(const AppFolder& appFolder)
{
    std::wstring path = joinPath(appFolder, kObsoleteExecutable);
    DWORD attributes = GetFileAttributesW(path.c_str());
    unsigned long ignored = 0;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        removeFile(path, ignored);
    }
}

bool listsObsoleteExecutable(const UpdateManifest& manifest)
{
    for (const ManifestFileEntry& entry : manifest.files) {
        if (sameFileName(entry.name, kObsoleteExecutable)) {
            return true;
        }
    }
    return false;
}

}  // namespace ovan
