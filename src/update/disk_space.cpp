#include "update/disk_space.h"

#include <windows.h>

namespace ovan {

namespace {

const uint64_t kMegabyte = 1024 * 1024;

}  // namespace

bool freeBytesFor(const std::wstring& folder, uint64_t& free)
{
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) {
        return false;
    }
    free = available.QuadPart;
    return true;
}

bool roomForDownloads(const std::wstring& folder, uint64_t needed, std::wstring& errorText)
{
    uint64_t free = 0;
    if (!freeBytesFor(folder, free) || (free >= kDiskReserveBytes && needed <= free - kDiskReserveBytes)) {
        return true;
    }
    uint64_t withReserve = needed > UINT64_MAX - kDiskReserveBytes ? UINT64_MAX : needed + kDiskReserveBytes;
    // Rounded apart, so that the needed figure always reads larger than the free one.
    errorText = L"Za mało miejsca na dysku, aby pobrać pliki programu: potrzeba " + megabytesText(withReserve, true) +
                L", a wolne jest tylko " + megabytesText(free, false) + L".";
    return false;
}

std::wstring megabytesText(uint64_t bytes, bool roundUp)
{
    uint64_t whole = bytes / kMegabyte;
    uint64_t rest = bytes % kMegabyte;
    uint64_t tenths = roundUp ? (rest * 10 + kMegabyte - 1) / kMegabyte : rest * 10 / kMegabyte;
    if (tenths == 10) {
        ++whole;
        tenths = 0;
    }
    return std::to_wstring(whole) + L"," + std::to_wstring(tenths) + L" MB";
}

}  // namespace ovan
