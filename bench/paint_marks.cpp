#include "paint_marks.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr DWORD kPathUnits = 1024;

// Touched on the UI thread only; read once at exit, on the same thread.
long long paints = 0;
long long paintCounts = 0;  // QueryPerformanceCounter units spent inside paints
double firstPaintMs = 0;
double lastPaintMs = 0;

double EpochMs() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);  // under Wine: CLOCK_REALTIME, sub-millisecond
    const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<double>(ticks) / 1e4 - 11644473600000.0;
}

double Seconds(const FILETIME& time) {
    return static_cast<double>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
}

void WriteMarks() {
    wchar_t path[kPathUnits];
    const DWORD length = GetEnvironmentVariableW(L"TARVEX_BENCH_MARKS", path, kPathUnits);
    if (length == 0 || length >= kPathUnits) return;
    FILETIME created, exited, kernel, user;
    const double threadCpu =
        GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user) ? Seconds(kernel) + Seconds(user) : -1;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    if (FILE* out = _wfopen(path, L"wb")) {
        std::fprintf(out,
                     "{\"paints\":%lld,\"paint_s\":%.6f,\"first_paint_ms\":%.3f,\"last_paint_ms\":%.3f,"
                     "\"ui_thread_cpu_s\":%.3f}\n",
                     paints, static_cast<double>(paintCounts) / static_cast<double>(frequency.QuadPart), firstPaintMs,
                     lastPaintMs, threadCpu);
        std::fclose(out);
    }
}

}  // namespace

long long PaintMarkStart() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

void MarkPaint(long long start) {
    paintCounts += PaintMarkStart() - start;
    lastPaintMs = EpochMs();
    if (paints++ == 0) {
        firstPaintMs = lastPaintMs;
        std::atexit(WriteMarks);
    }
}
