#pragma once

#include "common/paths.h"
#include "manifest/update_manifest.h"
#include "transfer/http_get.h"
#include "update/installed_record.h"
#include "update/stage_file.h"
#include "update/transaction_record.h"

#include <string>
#include <vector>

namespace ovan {

struct StagedFile {
    std::wstring stagingPath;
    std::wstring targetPath;
    std::wstring backupPath;
    bool targetExisted = false;
    // Something an earlier run left at the backup path stays there: this file's moves are noted one by one.
    bool leftoverBackup = false;
    bool backedUp = false;
    bool replaced = false;
};

// The existence test of a transaction: false, with the reason, when the system cannot tell.
bool examinePathOrExplain(const std::wstring& path, PathState& state, std::wstring& errorText);

// The paths of one entry, flags cleared: staged in the staging folder, backed up beside its target.
StagedFile stagedFileFor(const std::wstring& name, const AppFolder& appFolder);

// The maker's choices that change how an update is applied.
struct UpdateSettings {
    // An installed file that already has the manifest's digest is neither downloaded nor moved.
    bool skipUnchanged = false;
    // The commit writes the record of the installed files.
    bool keepsInstalledRecord = false;
    // How each file is staged; its durable choice holds for the transaction record and current.txt too.
    StageOptions staging;
};

// What one transaction installs of its manifest's files.
struct TransactionPlan {
    // Per manifest entry, when not empty: the installed file already is the manifest's, so it is neither
    // downloaded nor moved.
    std::vector<bool> installed;
    // A repair of the installed version: current.txt is not written, nothing the manifest does not list is
    // touched, and the files already installed pass without a line.
    bool repair = false;
};

// One update, from the staging folder to the clean-up; lives for one applyUpdate call.
class UpdateTransaction {
public:
    UpdateTransaction(HttpSession& session, const UpdateManifest& manifest, const AppFolder& appFolder,
                      const UpdateSettings& settings, const TransactionPlan& plan);

    bool prepare(std::wstring& errorText);
    // Before the first download: the files to download fit on the AppFolder's volume.
    bool fits(std::wstring& errorText) const;
    bool stage(std::wstring& errorText);
    bool swap(std::wstring& errorText);
    bool commit(std::wstring& errorText);

    // After a failure: whether the installed release is still complete as it was.
    bool previousReleaseIntact() const { return previousReleaseIntact_; }

private:
    bool alreadyInstalled(size_t index) const;
    bool stageEntry(size_t index, std::wstring& errorText);
    bool discardLeftoverBackups(std::wstring& errorText);
    RecordedTransaction planned() const;
    bool swapOne(size_t index, std::wstring& errorText);
    bool moveBackup(size_t index, std::wstring& errorText);
    bool moveIntoPlace(size_t index, std::wstring& errorText);
    bool rollBack();
    bool deletesObsoleteExecutable() const;
    InstalledRecord installedNow() const;
    std::vector<std::wstring> backupsToRemove() const;

    HttpSession& session_;
    const UpdateManifest& manifest_;
    const AppFolder& appFolder_;
    const UpdateSettings settings_;
    const TransactionPlan plan_;
    const std::wstring stagingFolder_;
    std::vector<StagedFile> stagedFiles_;
    TransactionRecord record_;
    bool previousReleaseIntact_ = true;
};

// Stages and verifies every file (with skipUnchanged, every file not installed already), then swaps them in with
// backups; rolls back a failed swap. On false, previousReleaseIntact tells whether the installed release is
// still complete as it was.
bool applyUpdate(HttpSession& session, const UpdateManifest& manifest, const AppFolder& appFolder,
                 const UpdateSettings& settings, bool& previousReleaseIntact, std::wstring& errorText);

// The same transaction for the files of the installed version that are not intact (per manifest entry).
bool repairFiles(HttpSession& session, const UpdateManifest& manifest, const AppFolder& appFolder,
                 const UpdateSettings& settings, const std::vector<bool>& intact, bool& previousReleaseIntact,
                 std::wstring& errorText);

// Puts back what the swap replaced, last record first; each failure is logged and the rest goes on.
// True when every file is back; otherwise failureText names the first file that is not.
bool restoreBackups(std::vector<StagedFile>& stagedFiles, const AppFolder& appFolder, std::wstring& failureText);

// What a committed update leaves to tidy: the given backups, the staging folder, and the obsolete
// executable when the release no longer ships it. Failures are not reported.
void cleanUpCommitted(const std::vector<std::wstring>& backupPaths, const AppFolder& appFolder,
                      bool deletesObsoleteExecutable);

// Deletes the executable the application no longer ships, if it lies in the AppFolder.
void deleteObsoleteExecutable(const AppFolder& appFolder);

// Whether a release keeps the executable that older releases shipped and later ones drop.
bool listsObsoleteExecutable(const UpdateManifest& manifest);

}  // namespace ovan
