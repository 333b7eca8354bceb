#include "update/disk_space.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

const uint64_t kMiB = 1024 * 1024;

TEST(DiskSpace, MegabytesAreRoundedApartSoThatNeededReadsAboveFree)
{
    const struct {
        uint64_t bytes;
        const wchar_t* up;
        const wchar_t* down;
    } cases[] = {
        {0, L"0,0 MB", L"0,0 MB"},
        {1, L"0,1 MB", L"0,0 MB"},
        {kMiB, L"1,0 MB", L"1,0 MB"},
        {kMiB + 1, L"1,1 MB", L"1,0 MB"},
        // 9.96 MiB rounds up into the next whole megabyte.
        {10 * kMiB - kMiB / 25, L"10,0 MB", L"9,9 MB"},
        // Beyond 32 bits: 5 GiB and a half megabyte.
        {5 * 1024 * kMiB + kMiB / 2, L"5120,5 MB", L"5120,5 MB"},
        {UINT64_MAX, L"17592186044416,0 MB", L"17592186044415,9 MB"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ovan::megabytesText(c.bytes, true), c.up) << c.bytes;
        EXPECT_EQ(ovan::megabytesText(c.bytes, false), c.down) << c.bytes;
    }
}

}  // namespace
