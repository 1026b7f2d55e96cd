// Progress of the one download of a run, shared by the install worker
// (the only writer, through OnProgress) and the painter (the only reader).
//
// Threads: each field is a separate relaxed atomic word. The reader may
// combine values of different reports; nothing relies on the fields being
// consistent with one another, so no lock and no ordering is needed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

// (bytes received so far, total bytes announced or 0); may be empty.
using ProgressCallback = std::function<void(std::uint64_t, std::uint64_t)>;

extern std::atomic<std::uint64_t> downloadedBytes;
extern std::atomic<std::uint64_t> totalBytes;
extern std::atomic<double> bytesPerSecond;
extern std::atomic<std::uint64_t> lastSampleTick;  // 0: no sample taken yet
extern std::atomic<std::uint64_t> lastSampleBytes;

// The five fields as plain values, for the arithmetic below.
struct ProgressValues {
    std::uint64_t downloadedBytes = 0;
    std::uint64_t totalBytes = 0;
    double bytesPerSecond = 0.0;
    std::uint64_t lastSampleTick = 0;
    std::uint64_t lastSampleBytes = 0;
};

// The speed is averaged over windows of at least this long.
inline constexpr std::uint64_t kSampleWindowMs = 1000;

// The state after one report of `received` of `total` bytes at tick `now`
// (milliseconds): counters always taken over, the speed and the sample
// renewed at most once per sampling window.
ProgressValues AdvanceProgress(const ProgressValues& state, std::uint64_t received, std::uint64_t total,
                               std::uint64_t now);

ProgressValues LoadProgress();
void StoreProgress(const ProgressValues& values);
