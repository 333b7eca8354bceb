#pragma once

namespace ovan {

// Names the launcher keeps for itself in the AppFolder; no release file may carry one of them.
const wchar_t* const kStagingFolderName = L"_update_tmp";
const wchar_t* const kVersionFileName = L"current.txt";
// current.txt is written under this name first and then moved over the old file.
const wchar_t* const kVersionTempName = L"current.txt.tmp";
const wchar_t* const kLogFileName = L"update.log";
// The record of a swap under way, kept until the transaction has ended.
const wchar_t* const kJournalName = L"_update_journal";
// The record of the installed files and the draft that is moved over it.
const wchar_t* const kInstalledRecordName = L"_installed_files";
const wchar_t* const kInstalledRecordTempName = L"_installed_files.tmp";

const wchar_t* const kWorkingNames[] = {kStagingFolderName, kVersionFileName, kVersionTempName, kLogFileName,
                                        kJournalName, kInstalledRecordName, kInstalledRecordTempName};

}  // namespace ovan
