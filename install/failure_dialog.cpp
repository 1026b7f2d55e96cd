#include "install/failure_dialog.h"

#include <exdisp.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>

#include <string>

#include "build_config.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/text.h"
#include "install/failure_message.h"

namespace {

constexpr wchar_t kOpenVerb[] = L"open";

VARIANT TextVariant(BSTR text) {
    VARIANT variant{};
    variant.vt = VT_BSTR;
    variant.bstrVal = text;
    return variant;
}

// Asks the desktop's Explorer, which runs as the signed-in user without
// elevation, to open the page: the browser then does not inherit our
// administrator rights. COM must be running on this thread.
bool ShellExecuteThroughDesktop(const wchar_t* page) {
    IShellWindows* rawWindows = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                reinterpret_cast<void**>(&rawWindows))))
        return false;
    const UniqueCom<IShellWindows> windows(rawWindows);

    VARIANT noLocation{};
    long desktopWindow = 0;
    IDispatch* rawDesktop = nullptr;
    if (windows->FindWindowSW(&noLocation, &noLocation, SWC_DESKTOP, &desktopWindow, SWFO_NEEDDISPATCH, &rawDesktop) !=
            S_OK ||
        !rawDesktop)
        return false;
    const UniqueCom<IDispatch> desktop(rawDesktop);

    IServiceProvider* rawProvider = nullptr;
    if (FAILED(desktop->QueryInterface(IID_IServiceProvider, reinterpret_cast<void**>(&rawProvider)))) return false;
    const UniqueCom<IServiceProvider> provider(rawProvider);
    IShellBrowser* rawBrowser = nullptr;
    if (FAILED(provider->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, reinterpret_cast<void**>(&rawBrowser))))
        return false;
    const UniqueCom<IShellBrowser> browser(rawBrowser);
    IShellView* rawView = nullptr;
    if (FAILED(browser->QueryActiveShellView(&rawView))) return false;
    const UniqueCom<IShellView> view(rawView);
    IDispatch* rawBackground = nullptr;
    if (FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, reinterpret_cast<void**>(&rawBackground))))
        return false;
    const UniqueCom<IDispatch> background(rawBackground);
    IShellFolderViewDual* rawFolderView = nullptr;
    if (FAILED(background->QueryInterface(IID_IShellFolderViewDual, reinterpret_cast<void**>(&rawFolderView))))
        return false;
    const UniqueCom<IShellFolderViewDual> folderView(rawFolderView);
    IDispatch* rawApplication = nullptr;
    if (FAILED(folderView->get_Application(&rawApplication))) return false;
    const UniqueCom<IDispatch> application(rawApplication);
    IShellDispatch2* rawShell = nullptr;
    if (FAILED(application->QueryInterface(IID_IShellDispatch2, reinterpret_cast<void**>(&rawShell)))) return false;
    const UniqueCom<IShellDispatch2> shell(rawShell);

    const UniqueBstr file(SysAllocString(page));
    const UniqueBstr verb(SysAllocString(kOpenVerb));
    if (!file || !verb) return false;
    VARIANT none{};
    VARIANT show{};
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    return SUCCEEDED(shell->ShellExecute(file.get(), none, none, TextVariant(verb.get()), show));
}

// True when the desktop shell took the page; false when that route is not
// there (no Explorer, or it does not answer) and nothing was opened.
bool OpenAsSignedInUser(const wchar_t* page) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) return false;
    const bool opened = ShellExecuteThroughDesktop(page);
    CoUninitialize();
    return opened;
}

void OpenInBrowser(const wchar_t* page) {
    const std::string url = WideToUtf8(page);
    if (OpenAsSignedInUser(page)) {
        Log("opened %s through the desktop shell, as the signed-in user", url.c_str());
        return;
    }
    const auto result =
        reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, kOpenVerb, page, nullptr, nullptr, SW_SHOWNORMAL));
    Log("opened %s with ShellExecuteW, the desktop shell being unavailable (result %lld, above 32 is success)",
        url.c_str(), static_cast<long long>(result));
}

}  // namespace

void ShowFailureDialog(HWND owner, const wchar_t* text, const wchar_t* page) {
    if (page) OpenInBrowser(page);
    const std::wstring message = FailureMessage(text, page != nullptr);
    // Owned by the installer's window, where a second start looks for it.
    // Under a hidden owner it has no taskbar button (the Shell makes one
    // only for a window nobody owns), and the foreground lock may open it
    // behind the browser: so it is kept above other windows, and asks for
    // the foreground, which Windows grants only where its rules allow.
    const UINT reachable = IsWindowVisible(owner) ? 0 : MB_TOPMOST | MB_SETFOREGROUND;
    const int answer = MessageBoxW(owner, message.c_str(), kFailureCaption, MB_OKCANCEL | MB_ICONERROR | reachable);
    Log("failure dialog answered with %s", answer == IDOK ? "OK" : "Cancel");
    if (answer == IDOK) {
        const std::wstring supportPage = std::wstring(L"https://") + kSupportHost;
        OpenInBrowser(supportPage.c_str());
    }
}
