#include "progress/progress_state.h"

std::atomic<std::uint64_t> downloadedBytes{0};
std::atomic<std::uint64_t> totalBytes{0};
std::atomic<double> bytesPerSecond{0.0};
std::atomic<std::uint64_t> lastSampleTick{0};
std::atomic<std::uint64_t> lastSampleBytes{0};

ProgressValues AdvanceProgress(const ProgressValues& state, std::uint64_t received, std::uint64_t total,
                               std::uint64_t now) {
    ProgressValues next = state;
    next.downloadedBytes = received;
    next.totalBytes = total;
    if (state.lastSampleTick == 0) {
        next.bytesPerSecond = 0.0;
    } else {
        const std::uint64_t elapsedMs = now - state.lastSampleTick;
        if (elapsedMs < kSampleWindowMs) return next;
        const std::uint64_t bytes = received - state.lastSampleBytes;
        next.bytesPerSecond = static_cast<double>(bytes) / (static_cast<double>(elapsedMs) / 1000.0);
    }
    next.lastSampleBytes = received;
    next.lastSampleTick = now;
    return next;
}

ProgressValues LoadProgress() {
    constexpr auto relaxed = std::memory_order_relaxed;
    return {downloadedBytes.load(relaxed), totalBytes.load(relaxed), bytesPerSecond.load(relaxed),
            lastSampleTick.load(relaxed), lastSampleBytes.load(relaxed)};
}

void StoreProgress(const ProgressValues& values) {
    constexpr auto relaxed = std::memory_order_relaxed;
    downloadedBytes.store(values.downloadedBytes, relaxed);
    totalBytes.store(values.totalBytes, relaxed);
    bytesPerSecond.store(values.bytesPerSecond, relaxed);
    lastSampleTick.store(values.lastSampleTick, relaxed);
    lastSampleBytes.store(values.lastSampleBytes, relaxed);
}
