#include <gtest/gtest.h>

#include <tuple>

#include "progress/progress_state.h"

namespace {

auto Fields(const ProgressValues& v) {
    return std::tuple(v.downloadedBytes, v.totalBytes, v.bytesPerSecond, v.lastSampleTick, v.lastSampleBytes);
}

TEST(AdvanceProgress, RenewsTheSpeedOncePerSecondAveragedOverTheWindow) {
    constexpr std::uint64_t t = 5'000'000, mib = 1 << 20, gib5 = 5ull << 30;  // t: a tick well after boot
    const ProgressValues sampled{1000, 0, 123.0, t, 1000};
    // Before; received, total and the tick of the report; after.
    const std::tuple<ProgressValues, std::uint64_t, std::uint64_t, std::uint64_t, ProgressValues> cases[] = {
        {{0, 0, 55.0, 0, 0}, 8192, 1000, t, {8192, 1000, 0.0, t, 8192}},  // the first report
        {sampled, 9000, 3000, t + 999, {9000, 3000, 123.0, t, 1000}},
        {sampled, 3048, 0, t + 1000, {3048, 0, 2048.0, t + 1000, 3048}},
        {{0, 0, 0.0, t, 0}, mib, 0, t + 2000, {mib, 0, 524288.0, t + 2000, mib}},
        {{0, 0, 0.0, t, gib5}, gib5 + mib, 0, t + 1000, {gib5 + mib, 0, double(mib), t + 1000, gib5 + mib}}};
    for (const auto& [before, received, total, now, after] : cases)
        EXPECT_EQ(Fields(AdvanceProgress(before, received, total, now)), Fields(after)) << received << " at " << now;
}

}  // namespace
