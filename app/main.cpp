// Process entry, the progress window and its message loop.
//
// Threads: everything here runs on the UI thread. WM_CREATE starts the
// install worker on a detached thread and hands it only the window handle
// and its own copy of the setup program's full path; the worker talks back
// through InvalidateRect, ShowWindow, PostMessageW and message boxes owned
// by the window. The bitmap, the two images, the GDI+ token and the path
// below are touched on this thread only.
#include <windows.h>
#include <commctrl.h>
#include <gdiplus.h>

#include <system_error>
#include <thread>

#include "build_config.h"
#include "common/dll_search.h"
#include "common/files.h"
#include "common/handles.h"
#include "common/log.h"
#include "install/install_worker.h"
#include "registration/registration.h"
#include "ui/layout.h"
#include "ui/paint.h"
#include "ui/png_resource.h"

namespace {

constexpr wchar_t kClassName[] = L"TarvexInstaller";
constexpr wchar_t kWindowTitle[] = L"Tarvex Installer";
constexpr int kWindowWidth = 560;
constexpr int kWindowHeight = 310;

constexpr WORD kIconId = 101;
constexpr WORD kBackgroundId = 102;
constexpr WORD kTrackImageId = 201;
constexpr WORD kFillImageId = 202;
constexpr wchar_t kPngType[] = L"PNG";

constexpr wchar_t kErrorCaption[] = L"错误";
constexpr wchar_t kBackgroundFailedText[] = L"背景图加载失败！";
constexpr wchar_t kStartupFailedText[] = L"安装程序初始化失败！";
constexpr int kStartupFailedExitCode = 1;

// One installer at a time in a sign-in session (the Local namespace is the
// session's own): people start it again while the first is slow to show.
// Windows removes the mark with the last process that holds it, so a run
// that crashed leaves none behind.
constexpr wchar_t kRunningMark[] = L"Local\\TarvexInstaller.Running";
// How long a first run that is still starting may take to make its window.
constexpr DWORD kFirstWindowWaitMs = 5000;
constexpr DWORD kFirstWindowPollMs = 100;

HINSTANCE instance = nullptr;
HWND mainWindow = nullptr;
HBITMAP backgroundBitmap = nullptr;
ULONG_PTR gdiplusToken = 0;
UniqueGpBitmap trackImage;
UniqueGpBitmap fillImage;
// Resolved before the worker starts: the current directory is the process's
// own, and a relative path used from a second thread is not supported.
std::wstring setupProgramPath;

HBITMAP LoadBackground(HWND owner) {
    auto bitmap = static_cast<HBITMAP>(
        LoadImageW(instance, MAKEINTRESOURCEW(kBackgroundId), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
    if (!bitmap) MessageBoxW(owner, kBackgroundFailedText, kErrorCaption, MB_ICONERROR);
    return bitmap;
}

void StartGdiplus() {
    Gdiplus::GdiplusStartupInput input;  // version 1, no debug callback, no suppressions
    if (Gdiplus::GdiplusStartup(&gdiplusToken, &input, nullptr) != Gdiplus::Ok) gdiplusToken = 0;
}

// False when the worker could not be started; nothing else can do the
// installation then.
bool StartInstallWorker(HWND window) {
    // std::thread reports a failed start only by throwing.
    try {
        std::thread(InstallWorker, window, setupProgramPath).detach();
        return true;
    } catch (const std::system_error& failure) {
        Log("the install worker could not be started: %s", failure.what());
        return false;
    }
}

void CentreOnScreen(HWND window) {
    RECT frame{};
    GetWindowRect(window, &frame);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOZORDER | SWP_NOSIZE);
}

// `showCommand`: the entry's, passed as the creation parameter.
LRESULT OnCreate(HWND window, int showCommand) {
    StartGdiplus();
    // The entry loaded it once already; this is the copy the window owns.
    if (backgroundBitmap) DeleteObject(backgroundBitmap);
    backgroundBitmap = LoadBackground(window);
    trackImage = LoadPngResource(kTrackImageId, kPngType);
    fillImage = LoadPngResource(kFillImageId, kPngType);
    // Shown before the worker starts: a worker that has its setup program
    // at once would hide the window before its first show, which does
    // nothing then, and the window would come up over the setup program.
    CentreOnScreen(window);
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    if (!StartInstallWorker(window)) return -1;  // creation fails; WM_DESTROY releases the above
    RegisterProduct();
    return 0;
}

void OnDestroy() {
    if (backgroundBitmap) {
        DeleteObject(backgroundBitmap);
        backgroundBitmap = nullptr;
    }
    // The images are GDI+ objects: gone before GDI+ shuts down.
    trackImage.reset();
    fillImage.reset();
    if (gdiplusToken != 0) {
        Gdiplus::GdiplusShutdown(gdiplusToken);
        gdiplusToken = 0;
    }
    PostQuitMessage(0);
}

void OnLeftButtonUp(HWND window, LPARAM position) {
    RECT client{};
    GetClientRect(window, &client);
    const unsigned x = LOWORD(position);
    const unsigned y = HIWORD(position);
    if (IsCloseGlyphHit({client.left, client.top, client.right, client.bottom}, x, y))
        PostMessageW(window, WM_CLOSE, 0, 0);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            return OnCreate(window, static_cast<int>(reinterpret_cast<INT_PTR>(
                                        reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams)));
        case WM_DESTROY:
            OnDestroy();
            return 0;
        case WM_PAINT:
            PaintProgressView(window, backgroundBitmap, trackImage.get(), fillImage.get());
            return 0;
        case WM_LBUTTONUP:
            OnLeftButtonUp(window, lParam);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool IsElevated() {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return false;
    const UniqueHandle token(rawToken);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

// What customer service needs to know of the machine, and nothing of the user.
void LogEnvironment() {
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    // As the program sees it: with no supported-OS list in the manifest,
    // Windows 8.1 and later say 6.2.
    GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
    Log("tarvex installer %s on Windows %lu.%lu build %lu service pack %u, %s", kInstallerVersion,
        version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber, version.wServicePackMajor,
        IsElevated() ? "elevated" : "not elevated");
}

// The failure box, when one is up, is what the installer shows: owned by
// the window, which it disables or which is hidden by then. Else the
// window, while shown; null while the setup program runs.
HWND ShownBy(HWND installer) {
    struct Search {
        HWND owner;
        HWND box;
    } search{installer, nullptr};
    EnumWindows(
        [](HWND candidate, LPARAM data) -> BOOL {
            auto* found = reinterpret_cast<Search*>(data);
            if (GetWindow(candidate, GW_OWNER) != found->owner || !IsWindowVisible(candidate)) return TRUE;
            found->box = candidate;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (search.box) return search.box;
    return IsWindowVisible(installer) ? installer : nullptr;
}

// True when another installer runs in this session: what it shows is
// brought to the front. A mark whose holder shows no installer window in
// time (a program squatting on the name) does not stop us. `mark` keeps
// ours for as long as this run lasts.
bool ShowRunningInstaller(UniqueHandle& mark) {
    mark.reset(CreateMutexW(nullptr, FALSE, kRunningMark));
    // A mark made by a process of another elevation may be denied to us.
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED) return false;
    HWND running = nullptr;
    for (const ULONGLONG deadline = GetTickCount64() + kFirstWindowWaitMs;
         !(running = FindWindowW(kClassName, nullptr)) && GetTickCount64() < deadline;)
        Sleep(kFirstWindowPollMs);
    if (!running) return false;
    if (HWND shown = ShownBy(running)) SetForegroundWindow(shown);
    return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE processInstance, HINSTANCE, PWSTR, int showCommand) {
    RestrictDllSearchToSystemFolder();
    // Before anything that a running installer's log, registration or
    // download would notice.
    UniqueHandle runningMark;
    if (ShowRunningInstaller(runningMark)) {
        Log("another installer is running in this session: shown it and left");
        return 0;
    }
    OpenRunLog();
    LogEnvironment();
    instance = processInstance;
    setupProgramPath = FullPath(kSetupProgramName);
    if (setupProgramPath.empty())
        Log("no full path for the setup program in the current directory (error %lu)", GetLastError());

    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kClassName;

    backgroundBitmap = LoadBackground(nullptr);
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconId));
    RegisterClassW(&windowClass);

    mainWindow = CreateWindowExW(0, kClassName, kWindowTitle, WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT, kWindowWidth,
                                 kWindowHeight, nullptr, nullptr, instance,
                                 reinterpret_cast<void*>(static_cast<INT_PTR>(showCommand)));
    if (!mainWindow) {
        Log("the window could not be created (error %lu)", GetLastError());
        // Without a window there is nothing to show and no way to close a
        // message loop; say so and leave instead of waiting forever.
        if (backgroundBitmap) DeleteObject(backgroundBitmap);
        // A window that failed in WM_CREATE went through WM_DESTROY, which
        // posted the quit message; left waiting, it would end the box at once.
        MSG quit;
        PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
        MessageBoxW(nullptr, kStartupFailedText, kErrorCaption, MB_ICONERROR);
        return kStartupFailedExitCode;
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
