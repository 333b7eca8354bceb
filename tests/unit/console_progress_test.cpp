#include "update/console_progress.h"

#include <gtest/gtest.h>

namespace {

TEST(ProgressLine, PercentWhenSizeKnownElseBytes)
{
    struct Row {
        uint64_t received, total;
        std::wstring line;
    };
    const uint64_t mib = 1024 * 1024;
    const Row rows[] = {
        {0, 8 * mib, L"app.dll: 0% (0.0 / 8.0 MB)"},
        {4718592, 8 * mib, L"app.dll: 56% (4.5 / 8.0 MB)"},
        {8 * mib - 1, 8 * mib, L"app.dll: 99% (8.0 / 8.0 MB)"},
        {8 * mib, 8 * mib, L"app.dll: 100% (8.0 / 8.0 MB)"},
        // Sizes past 4 GiB must not wrap in the percentage.
        {5 * 1024 * mib, 10 * 1024 * mib, L"app.dll: 50% (5120.0 / 10240.0 MB)"},
        {0, 0, L"app.dll: 0 B (0.0 MB)"},
        {3 * mib + 12345, 0, L"app.dll: 3158073 B (3.0 MB)"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ovan::progressLine(L"app.dll", row.received, row.total), row.line) << row.received;
    }
}

}  // namespace
