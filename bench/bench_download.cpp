// Bench program: one download under Wine, measured from inside the process,
// printed as one line of JSON: bytes, wall and CPU seconds of the transfer,
// the process's peak working set and (callback "memory") the largest
// working set sampled during the transfer.
//
//   bench_download ceiling URL [READ_BYTES]
//       a bare WinHTTP read loop: 64 KiB reads (or READ_BYTES), no callback,
//       bytes discarded
//   bench_download download URL SAVEPATH [onprogress|memory|arithmetic|none]
//       the real DownloadFile on a worker thread, as the installer calls it,
//       with the callback
//         onprogress  the real OnProgress, bound to a hidden window of this
//                     program   [default]
//         memory      the same, and the working set sampled once per MiB
//         arithmetic  OnProgress's state update without InvalidateRect
//         none        no callback
//
// Threads: in download mode the main thread owns the hidden window and only
// waits for the worker; the worker is the only writer of the progress state.
#include <windows.h>
#include <winhttp.h>
#include <psapi.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "common/files.h"
#include "common/handles.h"
#include "common/text.h"
#include "common/widen.h"
#include "net/download.h"
#include "net/url.h"
#include "progress/progress.h"
#include "progress/progress_state.h"

namespace {

constexpr wchar_t kUserAgent[] = L"TarvexInstaller/1.0";
// Large reads: the ceiling should be what WinHTTP and TLS can give, not
// what a small buffer allows. Other sizes are for timing splits.
constexpr DWORD kCeilingReadBytes = 64 * 1024;
constexpr wchar_t kWindowClass[] = L"TarvexBenchHidden";
// Reading the working set costs a look into /proc under Wine: once per MiB.
constexpr std::uint64_t kMemorySampleBytes = 1 << 20;

bool Fail(std::string& error, std::string text) {
    error = std::move(text);
    return false;
}

// A window of this program's own; destroyed on its owning thread.
using UniqueWindow = UniqueOf<HWND, &DestroyWindow>;

struct Measure {
    LARGE_INTEGER wallStart;
    ULONGLONG cpuStart;
};

struct Elapsed {
    double wallSeconds;
    double cpuSeconds;
};

ULONGLONG ProcessCpu100ns() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto ticks = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return ticks(kernel) + ticks(user);
}

Measure StartMeasure() {
    Measure m{};
    QueryPerformanceCounter(&m.wallStart);
    m.cpuStart = ProcessCpu100ns();
    return m;
}

// Working set now (`peak` false) or the process's peak so far.
std::size_t WorkingSet(bool peak) {
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) return 0;
    return peak ? memory.PeakWorkingSetSize : memory.WorkingSetSize;
}

Elapsed StopMeasure(const Measure& m) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return {static_cast<double>(now.QuadPart - m.wallStart.QuadPart) / static_cast<double>(frequency.QuadPart),
            static_cast<double>(ProcessCpu100ns() - m.cpuStart) / 1e7};
}

// `transferWorkingSet`: the largest working set sampled during the
// transfer, 0 when not sampled.
void PrintResult(const char* mode, bool ok, std::uint64_t bytes, const Elapsed& elapsed, const std::string& error,
                 std::size_t transferWorkingSet) {
    std::printf("{\"mode\":\"%s\",\"ok\":%s,\"error\":\"%s\",\"bytes\":%" PRIu64
                ",\"wall_s\":%.6f,\"cpu_s\":%.6f,\"peak_working_set\":%zu,\"transfer_working_set\":%zu}\n",
                mode, ok ? "true" : "false", error.c_str(), bytes, elapsed.wallSeconds, elapsed.cpuSeconds,
                WorkingSet(true), transferWorkingSet);
}

bool ReadAll(const std::string& url, DWORD readBytes, std::uint64_t& bytes, std::string& error) {
    std::wstring host, path;
    int port = 0;
    if (!ParseHttpsUrl(url, host, port, path)) return Fail(error, "bad URL");
    UniqueInternet session(
        WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return Fail(error, "WinHttpOpen");
    UniqueInternet connection(WinHttpConnect(session.get(), host.c_str(), static_cast<INTERNET_PORT>(port), 0));
    if (!connection) return Fail(error, "WinHttpConnect");
    UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!request) return Fail(error, "WinHttpOpenRequest");
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        return Fail(error, "WinHttpSendRequest");
    if (!WinHttpReceiveResponse(request.get(), nullptr)) return Fail(error, "WinHttpReceiveResponse");
    DWORD status = 0, size = sizeof status;
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    if (status != 200) return Fail(error, "status " + std::to_string(status));

    auto buffer = std::make_unique<char[]>(readBytes);
    for (;;) {
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), buffer.get(), readBytes, &read)) return Fail(error, "WinHttpReadData");
        if (read == 0) return true;
        bytes += read;
    }
}

int Ceiling(const std::string& url, DWORD readBytes) {
    std::uint64_t bytes = 0;
    std::string error;
    const Measure m = StartMeasure();
    const bool ok = readBytes > 0 && ReadAll(url, readBytes, bytes, error);
    PrintResult("ceiling", ok, bytes, StopMeasure(m), error, 0);
    return ok ? 0 : 1;
}

// Never shown: InvalidateRect on it marks this window only, and nothing
// ever paints it.
UniqueWindow CreateHiddenWindow() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassW(&windowClass);
    return UniqueWindow(CreateWindowExW(0, kWindowClass, L"", WS_POPUP, 0, 0, 560, 310, nullptr, nullptr,
                                        windowClass.hInstance, nullptr));
}

int Download(const std::string& url, const std::string& savePath, const std::string& callback) {
    const UniqueWindow hiddenWindow = CreateHiddenWindow();
    HWND window = hiddenWindow.get();
    ProgressCallback onProgress;
    std::size_t transferWorkingSet = 0;
    if ((callback == "onprogress" || callback == "memory") && !window) {
        std::fprintf(stderr, "no hidden window\n");
        return 2;
    }
    if (callback == "onprogress") {
        onProgress = BindOnProgress(window);
    } else if (callback == "memory") {
        // Under Wine a thread pool worker starts just after some transfers
        // end and touches about 1 MiB, so the process's peak depends on
        // timing; the samples cover the transfer alone.
        onProgress = [window, &transferWorkingSet, nextSample = std::uint64_t{0}](std::uint64_t received,
                                                                                  std::uint64_t total) mutable {
            OnProgress(window, received, total);
            if (received < nextSample) return;
            nextSample = received + kMemorySampleBytes;
            transferWorkingSet = std::max(transferWorkingSet, WorkingSet(false));
        };
    } else if (callback == "arithmetic") {
        onProgress = [](std::uint64_t received, std::uint64_t total) {
            StoreProgress(AdvanceProgress(LoadProgress(), received, total, GetTickCount64()));
        };
    } else if (callback != "none") {
        std::fprintf(stderr, "unknown callback %s\n", callback.c_str());
        return 2;
    }

    std::string error;
    bool ok = false;
    const Measure m = StartMeasure();
    const std::wstring fullSavePath = FullPath(WidenBytes(savePath));  // before the thread, as the installer does
    std::thread([&] { ok = DownloadFile(url, fullSavePath, error, onProgress); }).join();
    const Elapsed elapsed = StopMeasure(m);
    WIN32_FILE_ATTRIBUTE_DATA saved{};
    const std::uint64_t bytes = GetFileAttributesExA(savePath.c_str(), GetFileExInfoStandard, &saved)
                                    ? (static_cast<std::uint64_t>(saved.nFileSizeHigh) << 32) | saved.nFileSizeLow
                                    : 0;
    PrintResult(("download-" + callback).c_str(), ok, bytes, elapsed, error, transferWorkingSet);
    return ok ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::string mode = argc > 1 ? WideToUtf8(argv[1]) : "";
    if (mode == "ceiling" && (argc == 3 || argc == 4))
        return Ceiling(WideToUtf8(argv[2]), argc == 4 ? static_cast<DWORD>(_wtoi(argv[3])) : kCeilingReadBytes);
    if (mode == "download" && (argc == 4 || argc == 5))
        return Download(WideToUtf8(argv[2]), WideToUtf8(argv[3]), argc == 5 ? WideToUtf8(argv[4]) : "onprogress");
    std::fprintf(
        stderr,
        "usage: bench_download ceiling URL [READ_BYTES] | download URL SAVEPATH [onprogress|memory|arithmetic|none]\n");
    return 2;
}
