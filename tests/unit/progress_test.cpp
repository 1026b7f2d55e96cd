#include <gtest/gtest.h>

#include "progress/progress_state.h"

namespace {

constexpr std::uint64_t kStart = 5'000'000;  // an arbitrary tick well after boot

ProgressValues Seeded(std::uint64_t bytes) { return AdvanceProgress({}, bytes, 1000, kStart); }

TEST(ProgressSampling, FirstReportSeedsTheSampleAndShowsNoSpeed) {
    const ProgressValues state = Seeded(8192);
    EXPECT_EQ(state.downloadedBytes, 8192u);
    EXPECT_EQ(state.totalBytes, 1000u);
    EXPECT_EQ(state.bytesPerSecond, 0.0);
    EXPECT_EQ(state.lastSampleTick, kStart);
    EXPECT_EQ(state.lastSampleBytes, 8192u);
}

TEST(ProgressSampling, ReportsInsideTheWindowOnlyUpdateTheCounters) {
    ProgressValues state = AdvanceProgress(Seeded(0), 4096, 2000, kStart + 500);
    state.bytesPerSecond = 123.0;  // an earlier speed must survive
    state = AdvanceProgress(state, 9000, 3000, kStart + 999);
    EXPECT_EQ(state.downloadedBytes, 9000u);
    EXPECT_EQ(state.totalBytes, 3000u);
    EXPECT_EQ(state.bytesPerSecond, 123.0);
    EXPECT_EQ(state.lastSampleTick, kStart);
    EXPECT_EQ(state.lastSampleBytes, 0u);
}

TEST(ProgressSampling, AReportExactlyOneSecondLaterRenewsSpeedAndSample) {
    const ProgressValues state = AdvanceProgress(Seeded(1000), 3048, 0, kStart + 1000);
    EXPECT_DOUBLE_EQ(state.bytesPerSecond, 2048.0);
    EXPECT_EQ(state.lastSampleTick, kStart + 1000);
    EXPECT_EQ(state.lastSampleBytes, 3048u);
}

TEST(ProgressSampling, SpeedIsAveragedOverTheWholeElapsedWindow) {
    const ProgressValues state = AdvanceProgress(Seeded(0), 1'048'576, 0, kStart + 2000);
    EXPECT_DOUBLE_EQ(state.bytesPerSecond, 524'288.0);
}

TEST(ProgressSampling, NoAnnouncedTotalIsKeptAsZeroWhileCountersAdvance) {
    ProgressValues state = AdvanceProgress({}, 100, 0, kStart);
    state = AdvanceProgress(state, 5000, 0, kStart + 1500);
    EXPECT_EQ(state.totalBytes, 0u);
    EXPECT_EQ(state.downloadedBytes, 5000u);
    EXPECT_GT(state.bytesPerSecond, 0.0);
}

TEST(ProgressSampling, CountsAbove4GiBDoNotWrap) {
    const std::uint64_t fiveGiB = 5ull << 30;
    const ProgressValues state = AdvanceProgress(Seeded(fiveGiB - 1'000'000), fiveGiB, 6ull << 30, kStart + 1000);
    EXPECT_EQ(state.downloadedBytes, fiveGiB);
    EXPECT_EQ(state.totalBytes, 6ull << 30);
    EXPECT_DOUBLE_EQ(state.bytesPerSecond, 1'000'000.0);
}

TEST(ProgressState, StoredValuesAreLoadedBackFieldByField) {
    const ProgressValues values{1, 2, 3.5, 4, 5};
    StoreProgress(values);
    const ProgressValues loaded = LoadProgress();
    EXPECT_EQ(loaded.downloadedBytes, 1u);
    EXPECT_EQ(loaded.totalBytes, 2u);
    EXPECT_EQ(loaded.bytesPerSecond, 3.5);
    EXPECT_EQ(loaded.lastSampleTick, 4u);
    EXPECT_EQ(loaded.lastSampleBytes, 5u);
    StoreProgress({});
}

}  // namespace
