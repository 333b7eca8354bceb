#include "update/update_transaction.h"

#include "common/file_moves.h"
#include "common/file_removal.h"
#include "common/working_names.h"
#include "diagnostics/error_text.h"
#include "diagnostics/update_log.h"
#include "transfer/sha256_file.h"
#include "update/resume_note.h"
#include "update/stage_file.h"
#include "versions/local_version.h"

#include <windows.h>

namespace ovan {

namespace {

const wchar_t* const kObsoleteExecutable = L"OVANView.exe";

bool pathPresent(const std::wstring& path)
{
    unsigned long ignored = 0;
    return examinePath(path, ignored) != PathState::Missing;
}

// An installed file that already is what the manifest offers needs no download and no move.
bool alreadyInstalled(const ManifestFileEntry& entry, const std::wstring& targetPath)
{
    DWORD attributes = GetFileAttributesW(targetPath.c_str());
    std::wstring digest;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           sha256FileHex(targetPath, digest) && digest == toUpperAscii(entry.sha256);
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

}  // namespace

UpdateTransaction::UpdateTransaction(HttpSession& session, const UpdateManifest& manifest, const AppFolder& appFolder,
                                     const UpdateSettings& settings)
    : session_(session),
      manifest_(manifest),
      appFolder_(appFolder),
      settings_(settings),
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

bool UpdateTransaction::stage(std::wstring& errorText)
{
    for (const ManifestFileEntry& entry : manifest_.files) {
        if (!stageEntry(entry, errorText)) {
            return false;
        }
    }
    return true;
}

bool UpdateTransaction::stageEntry(const ManifestFileEntry& entry, std::wstring& errorText)
{
    StagedFile record = stagedFileFor(entry.name, appFolder_);
    PathState target = PathState::Unknown;
    if (!examinePathOrExplain(record.targetPath, target, errorText)) {
        return false;
    }
    record.targetExisted = target == PathState::Present;
    if (settings_.skipUnchanged && record.targetExisted && alreadyInstalled(entry, record.targetPath)) {
        appendLogLine(appFolder_, L"Plik bez zmian: " + entry.name);
        return true;
    }
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
    transaction.deletesObsoleteExecutable = !listsObsoleteExecutable(manifest_);
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

bool UpdateTransaction::commit(std::wstring& errorText)
{
    if (!writeLocalVersion(joinPath(appFolder_, kVersionFileName), manifest_.version, settings_.staging.durable)) {
        // The new files stay in place with the backups beside them; the next run reads the old version.
        previousReleaseIntact_ = false;
        record_.remove();
        errorText = L"Pliki programu zostały podmienione, ale nie udało się zapisać current.txt";
        return false;
    }
    appendLogLine(appFolder_, L"Zapisano nową wersję do current.txt: " + manifest_.version);
    cleanUpCommitted(backupsToRemove(), appFolder_, !listsObsoleteExecutable(manifest_));
    record_.remove();
    return true;
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
    UpdateTransaction transaction(session, manifest, appFolder, settings);
    bool applied = transaction.prepare(errorText) && transaction.stage(errorText) && transaction.swap(errorText) &&
                   transaction.commit(errorText);
    previousReleaseIntact = transaction.previousReleaseIntact();
    return applied;
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
