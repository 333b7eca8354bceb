#include "common/file_moves.h"

#include "common/brief_hold.h"

#include <windows.h>

namespace ovan {

bool moveReplacing(const std::wstring& from, const std::wstring& to, unsigned long& code)
{
    return waitOutBriefHold(
        [&] { return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE; },
        code);
}

}  // namespace ovan
