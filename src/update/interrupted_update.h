#pragma once

#include "common/paths.h"

#include <string>

namespace ovan {

// Finishes a transaction that an earlier run left behind, as its record tells: when current.txt already
// holds the new version only the clean-up is completed, otherwise the previous release is put back as a
// rollback would have. True when there was none or it is finished; false with errorText when it cannot
// be finished now (the record and every backup then stay for the next start). keepsInstalledRecord: a
// finished transaction's record of the installed files is moved into place, not dropped.
bool finishInterruptedUpdate(const AppFolder& appFolder, bool keepsInstalledRecord, std::wstring& errorText);

}  // namespace ovan
