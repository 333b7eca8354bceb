#include "update/update_transaction.h"

#include "diagnostics/error_text.h"
#include "diagnostics/update_log.h"
#include "update/stage_file.h"
#include "versions/local_version.h"

#include <windows.h>

#include <filesystem>
#include <system_error>

namespace ovan {

namespace {

const DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

void removeQuietly(const std::wstring& path)
{
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

void removeTreeQuietly(const std::wstring& path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

bool prepareStagingFolder(const std::wstring& stagingFolder, const AppFolder& appFolder, std::wstring& errorText)
{
    appendLogLine(appFolder, L"Przygotowanie katalogu tymczasowego");
    removeTreeQuietly(stagingFolder);
    std::error_code error;
    std::filesystem::create_directories(stagingFolder, error);
    if (error) {
        errorText = L"Nie udało się utworzyć katalogu tymczasowego: " + stagingFolder;
        return false;
    }
    return true;
}

bool stageAll(const UpdateManifest& manifest, const AppFolder& appFolder, const std::wstring& stagingFolder,
              std::vector<StagedFile>& stagedFiles, std::wstring& errorText)
{
    for (const ManifestFileEntry& entry : manifest.files) {
        StagedFile record;
        record.stagingPath = joinPath(stagingFolder, entry.name + L".new");
        record.targetPath = joinPath(appFolder, entry.name);
        record.backupPath = joinPath(appFolder, entry.name + L".old");
        unsigned long systemError = 0;
        PathState target = examinePath(record.targetPath, systemError);
        if (target == PathState::Unknown) {
            errorText = pathNotExaminedText(record.targetPath, systemError);
            return false;
        }
        record.targetExisted = target == PathState::Present;
        if (!stageFile(entry, record.stagingPath, appFolder, errorText)) {
            return false;
        }
        stagedFiles.push_back(std::move(record));
    }
    return true;
}

bool moveFile(const std::wstring& from, const std::wstring& to, const wchar_t* failureLiteral,
              const std::wstring& targetPath, std::wstring& errorText)
{
    if (MoveFileExW(from.c_str(), to.c_str(), kMoveFlags)) {
        return true;
    }
    DWORD code = GetLastError();
    errorText = failureLiteral + targetPath + L"\n\n" + formatSystemError(code);
    return false;
}

// A leftover backup of an earlier run is thrown away before a new one is taken.
bool discardLeftoverBackup(const StagedFile& record, std::wstring& errorText)
{
    unsigned long systemError = 0;
    switch (examinePath(record.backupPath, systemError)) {
    case PathState::Present:
        removeQuietly(record.backupPath);
        return true;
    case PathState::Missing:
        return true;
    case PathState::Unknown:
        break;
    }
    errorText = pathNotExaminedText(record.backupPath, systemError);
    return false;
}

bool swapOne(StagedFile& record, const AppFolder& appFolder, std::wstring& errorText)
{
    if (!discardLeftoverBackup(record, errorText)) {
        return false;
    }
    std::wstring fileName = lastPathElement(record.targetPath);
    if (record.targetExisted) {
        appendLogLine(appFolder, L"Tworzenie kopii: " + fileName);
        if (!moveFile(record.targetPath, record.backupPath, L"Nie udało się utworzyć kopii pliku: ", record.targetPath,
                      errorText)) {
            return false;
        }
        record.backedUp = true;
    }
    appendLogLine(appFolder, L"Podmiana pliku: " + fileName);
    if (!moveFile(record.stagingPath, record.targetPath, L"Nie udało się podmienić pliku: ", record.targetPath,
                  errorText)) {
        return false;
    }
    record.replaced = true;
    return true;
}

bool swapAll(std::vector<StagedFile>& stagedFiles, const AppFolder& appFolder, std::wstring& errorText)
{
    appendLogLine(appFolder, L"Rozpoczynam podmianę plików");
    for (StagedFile& record : stagedFiles) {
        if (!swapOne(record, appFolder, errorText)) {
            restoreBackups(stagedFiles, appFolder);
            return false;
        }
    }
    return true;
}

bool pathPresent(const std::wstring& path)
{
    unsigned long ignored = 0;
    return examinePath(path, ignored) != PathState::Missing;
}

void removeBackups(const std::vector<StagedFile>& stagedFiles)
{
    for (const StagedFile& record : stagedFiles) {
        if (pathPresent(record.backupPath)) {
            removeQuietly(record.backupPath);
        }
    }
}

bool commit(const UpdateManifest& manifest, const AppFolder& appFolder, const std::wstring& stagingFolder,
            const std::vector<StagedFile>& stagedFiles, std::wstring& errorText)
{
    if (!writeLocalVersion(joinPath(appFolder, L"current.txt"), manifest.version)) {
        errorText = L"Pliki programu zostały podmienione, ale nie udało się zapisać current.txt";
        return false;
    }
    appendLogLine(appFolder, L"Zapisano nową wersję do current.txt: " + manifest.version);
    removeBackups(stagedFiles);
    removeTreeQuietly(stagingFolder);
    deleteObsoleteExecutable(appFolder);
    return true;
}

}  // namespace

bool applyUpdate(const UpdateManifest& manifest, const AppFolder& appFolder, std::wstring& errorText)
{
    std::wstring stagingFolder = joinPath(appFolder, L"_update_tmp");
    std::vector<StagedFile> stagedFiles;
    return prepareStagingFolder(stagingFolder, appFolder, errorText) &&
           stageAll(manifest, appFolder, stagingFolder, stagedFiles, errorText) &&
           swapAll(stagedFiles, appFolder, errorText) &&
           commit(manifest, appFolder, stagingFolder, stagedFiles, errorText);
}

void restoreBackups(std::vector<StagedFile>& stagedFiles, const AppFolder& appFolder)
{
    for (auto record = stagedFiles.rbegin(); record != stagedFiles.rend(); ++record) {
        if (record->replaced && pathPresent(record->targetPath)) {
            removeQuietly(record->targetPath);
        }
        if (record->backedUp && pathPresent(record->backupPath) &&
            !MoveFileExW(record->backupPath.c_str(), record->targetPath.c_str(), kMoveFlags)) {
            DWORD code = GetLastError();
            appendLogLine(appFolder, L"Nie udało się przywrócić kopii: " + record->targetPath + L" | " +
                                         formatSystemError(code));
        }
    }
}

void deleteObsoleteExecutable(const AppFolder& appFolder)
{
    std::wstring path = joinPath(appFolder, L"OVANView.exe");
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return;
    }
    DeleteFileW(path.c_str());
}

}  // namespace ovan
