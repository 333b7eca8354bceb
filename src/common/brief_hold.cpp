#include "common/brief_hold.h"

#include <windows.h>

#include <algorithm>

namespace ovan {

namespace {

const DWORD kRetryForMs = 2000;
const DWORD kFirstPauseMs = 20;
const DWORD kLongestPauseMs = 250;

bool heldForAMoment(DWORD code)
{
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION || code == ERROR_ACCESS_DENIED;
}

}  // namespace

bool waitOutBriefHold(const std::function<bool()>& attempt, unsigned long& code)
{
    DWORD waited = 0;
    DWORD pause = kFirstPauseMs;
    while (!attempt()) {
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
