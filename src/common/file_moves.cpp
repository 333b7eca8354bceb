#include "common/file_moves.h"

#include <windows.h>

#include <algorithm>

namespace ovan {

namespace {

const DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
const DWORD kRetryForMs = 2000;
const DWORD kFirstPauseMs = 20;
const DWORD kLongestPauseMs = 250;

bool heldForAMoment(DWORD code)
{
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION || code == ERROR_ACCESS_DENIED;
}

}  // namespace

bool moveReplacing(const std::wstring& from, const std::wstring& to, unsigned long& code)
{
    DWORD waited = 0;
    DWORD pause = kFirstPauseMs;
    while (!MoveFileExW(from.c_str(), to.c_str(), kMoveFlags)) {
        code = GetLastError();
        if (!heldForAMoment(code) || waited >= kRetryForMs) {
            return false;
        }
        DWORD step = std::min(pause, kRetryForMs - waited);
        Sleep(step);
        waited += step;
        pause = std::min(pause * 2, kLongestPauseMs);
    }
    return true;
}

}  // namespace ovan
