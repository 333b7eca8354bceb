#include "transfer/http_get.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

struct Arrival {
    uint64_t atMs;
    uint64_t bytes;
};

const uint64_t kKiB = 1024;

// count pieces of size bytes, one every stepMs, the first stepMs after fromMs.
std::vector<Arrival> evenly(uint64_t fromMs, uint64_t stepMs, uint64_t size, int count)
{
    std::vector<Arrival> arrivals;
    for (int i = 1; i <= count; ++i) {
        arrivals.push_back({fromMs + i * stepMs, size});
    }
    return arrivals;
}

std::vector<Arrival> joined(std::vector<Arrival> first, const std::vector<Arrival>& then)
{
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

// The index of the first arrival the pace refuses, -1 when it keeps up to the end.
int firstRefused(const std::vector<Arrival>& arrivals)
{
    ovan::TransferPace pace(0, ovan::NetworkWindows());
    for (size_t i = 0; i < arrivals.size(); ++i) {
        if (!pace.keepsUp(arrivals[i].bytes, arrivals[i].atMs)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

TEST(TransferPace, SlowLinesPassDripsFailWithinAMinute)
{
    struct Row {
        const char* label;
        std::vector<Arrival> arrivals;
        int refusedAt;
    };
    const Row rows[] = {
        {"64 KiB a minute in 8 KiB pieces, for ten minutes", evenly(0, 7500, 8 * kKiB, 80), -1},
        {"one byte every 10 s", evenly(0, 10000, 1, 20), 5},
        {"a small body done within the minute", evenly(0, 5000, 100, 11), -1},
        {"the whole 64 KiB in the piece at the minute", {{59999, 64 * kKiB - 1}, {60000, 1}}, -1},
        {"63 KiB by the minute", {{1000, 63 * kKiB}, {60000, 0}}, 1},
        // Earlier speed earns no credit: the drip after a fast start is caught a minute later.
        {"a fast start, then one byte every 10 s", joined({{100, 100 * 1024 * kKiB}}, evenly(100, 10000, 1, 20)), 6},
        {"16 KiB a minute, well under the floor", evenly(0, 15000, 4 * kKiB, 20), 3},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(firstRefused(row.arrivals), row.refusedAt) << row.label;
    }
}

}  // namespace
