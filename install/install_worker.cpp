#include "install/install_worker.h"

#include <cstdint>
#include <cwchar>
#include <string>

#include "build_config.h"
#include "common/files.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/text.h"
#include "common/widen.h"
#include "common/windows_version.h"
#include "install/channel.h"
#include "install/failure_dialog.h"
#include "install/failure_message.h"
#include "install/program_file.h"
#include "install/setup_signer.h"
#include "net/download.h"
#include "progress/progress.h"

namespace {

// Setup programs often hand over to a copy of themselves, or a bootstrapper
// to its next stage, run from the same exe, and end at once; the file can
// be deleted only when that is done too. Long enough for most
// installations to finish, short enough not to linger for hours.
constexpr DWORD kHandOverPatienceMs = 15 * 60 * 1000;

struct ProbeLocation {
    HKEY root;
    const wchar_t* key;
    const char* name;  // for the log
};
// The per-machine key names the 32-bit view explicitly; the per-user key
// has no such view.
const ProbeLocation kProbeLocations[] = {
    {HKEY_LOCAL_MACHINE,
     L"SOFTWARE\\WOW6432Node\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}", "per machine"},
    {HKEY_CURRENT_USER, L"Software\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}",
     "per user"},
};
constexpr wchar_t kVersionValue[] = L"pv";
constexpr DWORD kVersionUnits = 256;

bool IsWebView2Registered() {
    for (const ProbeLocation& location : kProbeLocations) {
        HKEY rawKey = nullptr;
        const LSTATUS opened = RegOpenKeyExW(location.root, location.key, 0, KEY_READ, &rawKey);
        if (opened != ERROR_SUCCESS) {
            Log("WebView2 %s: no key (error %ld)", location.name, static_cast<long>(opened));
            continue;
        }
        UniqueRegKey key(rawKey);
        wchar_t version[kVersionUnits] = {};
        DWORD size = sizeof version;
        DWORD type = 0;  // any type is read as text
        const LSTATUS read =
            RegQueryValueExW(key.get(), kVersionValue, nullptr, &type, reinterpret_cast<BYTE*>(version), &size);
        key.reset();
        if (read != ERROR_SUCCESS) {
            Log("WebView2 %s: no pv (error %ld)", location.name, static_cast<long>(read));
            continue;
        }
        const std::wstring_view text(version, wcsnlen(version, kVersionUnits));
        const bool usable = IsUsableRuntimeVersion(text);
        Log("WebView2 %s: pv \"%s\"%s", location.name, WideToUtf8(std::wstring(text)).c_str(),
            usable ? "" : ", not a runtime");
        if (usable) return true;
    }
    return false;
}

Channel ChooseChannel() {
    const bool atLeast61 = IsOsVersionAtLeast(6, 1, 0);
    const bool atLeast62 = atLeast61 && IsOsVersionAtLeast(6, 2, 0);
    if (IsLegacyOnlyWindows(atLeast61, atLeast62)) {
        Log("channel: legacy, for Windows 7");
        return Channel::Legacy;
    }
    const bool registered = IsWebView2Registered();
    Log("channel: %s, %s", registered ? "release" : "legacy",
        registered ? "a WebView2 runtime is registered" : "no WebView2 runtime is registered");
    return ChannelFor(registered);
}

// Judged through the handle that holds it, so the file judged is the file
// started. Logs why not.
bool IsWholeProgram(HANDLE file) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        Log("setup program's size unknown (error %lu)", GetLastError());
        return false;
    }
    DWORD readError = 0;
    // Each read at an offset of its own, wherever the file pointer stands.
    const ReadFileAt readAt = [&](std::uint64_t offset, void* bytes, std::size_t count) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD read = 0;
        if (!ReadFile(file, bytes, static_cast<DWORD>(count), &read, &at)) {
            readError = GetLastError();
            return false;
        }
        if (read == count) return true;
        readError = ERROR_HANDLE_EOF;  // a short read, though nobody could have shrunk the file
        return false;
    };
    std::string reason;
    switch (JudgeProgramFile(static_cast<std::uint64_t>(size.QuadPart), readAt, reason)) {
        case ProgramFile::Whole:
            return true;
        case ProgramFile::Incomplete:
            Log("download incomplete: %s", reason.c_str());
            return false;
        case ProgramFile::NotAProgram:
            Log("download is not a Windows program: %s", reason.c_str());
            return false;
        case ProgramFile::Unreadable:
            Log("setup program %s (error %lu)", reason.c_str(), readError);
            return false;
    }
    return false;
}

// Starts the setup program without arguments, with the installer's own
// directory and environment, and waits for it. False if it did not start.
bool RunAndAwait(const std::wstring& launchPath) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    // Without a command line Windows passes the path as it stands, and a
    // folder such as "Zhang San" splits the setup program's argv. Quoted, in
    // a buffer of our own: CreateProcessW may write into it.
    std::wstring commandLine = L"\"" + launchPath + L"\"";
    if (!CreateProcessW(launchPath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started)) {
        Log("setup program did not start (error %lu)", GetLastError());
        return false;
    }
    UniqueHandle thread(started.hThread);
    UniqueHandle process(started.hProcess);
    Log("setup program started");
    WaitForSingleObject(process.get(), INFINITE);
    DWORD exitCode = 0;
    if (GetExitCodeProcess(process.get(), &exitCode)) Log("setup program ended with exit code %lu", exitCode);
    return true;
}

// By name, once the handle that kept it unchanged is closed: that handle
// shares no delete access, so that nobody else could remove it meanwhile.
// Waits up to `patienceMs` for whatever still runs or holds it.
void DeleteSetupProgram(UniqueHandle held, const std::wstring& launchPath, DWORD patienceMs) {
    held.reset();
    ULONGLONG waitedMs = 0;
    std::string where;
    const DeleteOutcome outcome = DeleteWhenReleased(launchPath, patienceMs, waitedMs, where);
    const double waitedSeconds = static_cast<double>(waitedMs) / 1000;
    if (outcome == DeleteOutcome::Failed)
        Log("setup program could not be deleted, waited %.1f s (error %lu)", waitedSeconds, GetLastError());
    else if (outcome == DeleteOutcome::AtRestart)
        Log("setup program still in use after %.1f s: Windows deletes it at the next restart", waitedSeconds);
    else if (outcome == DeleteOutcome::LeftInPlace)
        Log("setup program still in use after %.1f s, on %s, which Windows cannot clear at restart: left in place",
            waitedSeconds, where.c_str());
    else if (outcome == DeleteOutcome::AlreadyGone)
        Log("setup program deleted after %.1f s, by another program", waitedSeconds);
    else if (waitedMs > 0)
        Log("setup program deleted after %.1f s, when nothing ran or held it any more", waitedSeconds);
}

}  // namespace

void InstallWorker(HWND window, const std::wstring& setupPath) {
    const std::string url = ChannelUrl(kDownloadHost, ChooseChannel());
    const std::wstring downloadPage = WidenBytes(url);

    std::string error;  // for diagnosis only; the user sees the dialog's text
    // Held from its creation until it is deleted, so that nobody can swap
    // what we start elevated.
    UniqueHandle setupProgram;
    if (!DownloadFile(url, setupPath, error, BindOnProgress(window), &setupProgram)) {
        // The window stays up, showing how far the download got, until the user closes it.
        ShowFailureDialog(window, kDownloadFailedText, downloadPage.c_str());
        return;
    }

    if (!setupProgram) Log("setup program could not be held unchanged");
    // A transfer cut short may still end without an error: what arrived is
    // judged before anything else is done with it, and a broken one is a
    // failed download, not a setup program that fails.
    if (setupProgram && !IsWholeProgram(setupProgram.get())) {
        DeleteSetupProgram(std::move(setupProgram), setupPath, kBriefHoldMs);
        ShowFailureDialog(window, kDownloadFailedText, downloadPage.c_str());
        return;
    }
    // A file we could not hold may not be what was downloaded, and one from
    // another publisher must not run: neither is left for anyone to run by
    // hand, nor is the dialog kept waiting for long. Nothing is started, so
    // the window stays up and owns the box, as after a failed download.
    if (!setupProgram || !IsFromPinnedPublisher(setupProgram.get(), setupPath)) {
        DeleteSetupProgram(std::move(setupProgram), setupPath, kBriefHoldMs);
        ShowFailureDialog(window, kStartFailedText, downloadPage.c_str());
        PostMessageW(window, WM_CLOSE, 0, 0);
        return;
    }
    // Hiding the window in front activates another one, usually the browser
    // the installer came from, and a process we start then may not take the
    // foreground: its window would open behind, its taskbar button flashing.
    // So we allow it while our window is still in front; once hidden, we
    // could no longer grant anything. The grant is to any process, since
    // the setup program may hand over to another one.
    if (GetForegroundWindow() == window) AllowSetForegroundWindow(ASFW_ANY);
    ShowWindow(window, SW_HIDE);
    // One that did not start stays, held until the dialog is answered.
    if (RunAndAwait(setupPath))
        DeleteSetupProgram(std::move(setupProgram), setupPath, kHandOverPatienceMs);
    else
        ShowFailureDialog(window, kStartFailedText, downloadPage.c_str());
    PostMessageW(window, WM_CLOSE, 0, 0);
}
