#include "update/update_transaction.h"

#include "common/file_moves.h"
#include "common/file_removal.h"
#include "common/scoped_handle.h"
#include "common/working_names.h"
#include "diagnostics/error_text.h"
#include "diagnostics/update_log.h"
#include "transfer/sha256_file.h"
#include "update/resume_note.h"
#include "update/stage_file.h"
#include "update/transaction_record.h"
#include "versions/local_version.h"

#include <windows.h>

namespace ovan {

namespace {

const wchar_t* const kObsoleteExecutable = L"OVANView.exe";

bool prepareStagingFolder(const std::wstring& stagingFolder, const AppFolder& appFolder, const UpdateManifest& manifest,
                          bool resume, std::wstring& errorText)
{
    appendLogLine(appFolder, L"Przygotowanie katalogu tymczasowego");
    if (resume && clearStagingKeepingResumable(stagingFolder, manifest)) {
        return true;
    }
    removeTree(stagingFolder);
    // Whatever could not be removed (a link the platform cannot remove by itself) is never written through.
    if (!CreateDirectoryW(stagingFolder.c_str(), nullptr)) {
        errorText = L"Nie udało się utworzyć katalogu tymczasowego: " + stagingFolder;
        return false;
    }
    return true;
}

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

bool stageAll(HttpSession& session, const UpdateManifest& manifest, const AppFolder& appFolder,
              const UpdateSettings& settings, std::vector<StagedFile>& stagedFiles, std::wstring& errorText)
{
    for (const ManifestFileEntry& entry : manifest.files) {
        StagedFile record = stagedFileFor(entry.name, appFolder);
        unsigned long systemError = 0;
        PathState target = examinePath(record.targetPath, systemError);
        if (target == PathState::Unknown) {
            errorText = pathNotExaminedText(record.targetPath, systemError);
            return false;
        }
        record.targetExisted = target == PathState::Present;
        if (settings.skipUnchanged && record.targetExisted && alreadyInstalled(entry, record.targetPath)) {
            appendLogLine(appFolder, L"Plik bez zmian: " + entry.name);
            continue;
        }
        if (!stageFile(session, entry, record.stagingPath, appFolder, errorText,
                       {settings.durableWrites, settings.resumeDownloads, settings.compressedDownloads})) {
            return false;
        }
        stagedFiles.push_back(std::move(record));
    }
    return true;
}

RecordedTransaction transactionOf(const UpdateManifest& manifest, const std::vector<StagedFile>& stagedFiles)
{
    RecordedTransaction transaction;
    transaction.version = manifest.version;
    transaction.deletesObsoleteExecutable = !listsObsoleteExecutable(manifest);
    for (const StagedFile& record : stagedFiles) {
        RecordedEntry entry;
        entry.name = lastPathElement(record.targetPath);
        entry.targetExisted = record.targetExisted;
        transaction.entries.push_back(entry);
    }
    return transaction;
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

// A leftover backup of an earlier run is thrown away before a new one is taken; a backup whose file
// is missing may be the only copy left of it, and stays.
bool discardLeftoverBackup(const StagedFile& record, std::wstring& errorText)
{
    if (!record.targetExisted) {
        return true;
    }
    unsigned long systemError = 0;
    switch (examinePath(record.backupPath, systemError)) {
    case PathState::Present:
        removeFile(record.backupPath, systemError);
        return true;
    case PathState::Missing:
        return true;
    case PathState::Unknown:
        break;
    }
    errorText = pathNotExaminedText(record.backupPath, systemError);
    return false;
}

bool swapOne(StagedFile& record, size_t index, TransactionRecord& journal, const AppFolder& appFolder,
             std::wstring& errorText)
{
    if (!discardLeftoverBackup(record, errorText)) {
        return false;
    }
    std::wstring fileName = lastPathElement(record.targetPath);
    if (record.targetExisted) {
        appendLogLine(appFolder, L"Tworzenie kopii: " + fileName);
        if (!journal.noteBackup(index, errorText) ||
            !moveFile(record.targetPath, record.backupPath, L"Nie udało się utworzyć kopii pliku: ", record.targetPath,
                      errorText)) {
            return false;
        }
        record.backedUp = true;
    }
    appendLogLine(appFolder, L"Podmiana pliku: " + fileName);
    if (!journal.noteReplace(index, errorText) ||
        !moveFile(record.stagingPath, record.targetPath, L"Nie udało się podmienić pliku: ", record.targetPath,
                  errorText)) {
        return false;
    }
    record.replaced = true;
    return true;
}

bool swapAll(std::vector<StagedFile>& stagedFiles, TransactionRecord& journal, const AppFolder& appFolder,
             bool& previousReleaseIntact, std::wstring& errorText)
{
    for (size_t index = 0; index < stagedFiles.size(); ++index) {
        if (!swapOne(stagedFiles[index], index, journal, appFolder, errorText)) {
            std::wstring ignored;
            // Only a rollback that put every file back ends the transaction; otherwise the next start finishes it.
            previousReleaseIntact = restoreBackups(stagedFiles, appFolder, ignored) && journal.remove();
            return false;
        }
    }
    return true;
}

bool commit(const UpdateManifest& manifest, const AppFolder& appFolder, const std::vector<StagedFile>& stagedFiles, TransactionRecord& journal, bool durable,
            bool& previousReleaseIntact, std::wstring& errorText)
{
    if (!writeLocalVersion(joinPath(appFolder, kVersionFileName), manifest.version, durable)) {
        // The new files stay in place with the backups beside them; the next run reads the old version.
        previousReleaseIntact = false;
        journal.remove();
        errorText = L"Pliki programu zostały podmienione, ale nie udało się zapisać current.txt";
        return false;
    }
    appendLogLine(appFolder, L"Zapisano nową wersję do current.txt: " + manifest.version);
    cleanUpCommitted(stagedFiles, appFolder, !listsObsoleteExecutable(manifest));
    journal.remove();
    return true;
}

bool swapAndCommit(const UpdateManifest& manifest, const AppFolder& appFolder, const std::wstring& stagingFolder,
                   std::vector<StagedFile>& stagedFiles, const UpdateSettings& settings, bool& previousReleaseIntact,
                   std::wstring& errorText)
{
    appendLogLine(appFolder, L"Rozpoczynam podmianę plików");
    TransactionRecord journal(appFolder, settings.durableWrites);
    return journal.create(transactionOf(manifest, stagedFiles), stagingFolder, errorText) &&
           swapAll(stagedFiles, journal, appFolder, previousReleaseIntact, errorText) &&
           commit(manifest, appFolder, stagedFiles, journal, settings.durableWrites,
                  previousReleaseIntact, errorText);
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
    previousReleaseIntact = true;
    std::wstring stagingFolder = joinPath(appFolder, kStagingFolderName);
    std::vector<StagedFile> stagedFiles;
    return prepareStagingFolder(stagingFolder, appFolder, manifest, settings.resumeDownloads, errorText) &&
           stageAll(session, manifest, appFolder, settings, stagedFiles, errorText) &&
           swapAndCommit(manifest, appFolder, stagingFolder, stagedFiles, settings, previousReleaseIntact, errorText);
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

void cleanUpCommitted(const std::vector<StagedFile>& stagedFiles, const AppFolder& appFolder,
                      bool deletesObsoleteExecutable)
{
    for (const StagedFile& record : stagedFiles) {
        unsigned long ignored = 0;
        removeFile(record.backupPath, ignored);
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
