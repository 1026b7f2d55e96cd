#include "install/failure_dialog.h"

#include <shellapi.h>

#include <string>

#include "build_config.h"
#include "install/failure_message.h"

namespace {

void OpenInBrowser(const wchar_t* page) { ShellExecuteW(nullptr, L"open", page, nullptr, nullptr, SW_SHOWNORMAL); }

}  // namespace

void ShowFailureDialog(HWND owner, const wchar_t* text, const wchar_t* page) {
    if (page) OpenInBrowser(page);
    const std::wstring message = FailureMessage(text, page != nullptr);
    if (MessageBoxW(owner, message.c_str(), kFailureCaption, MB_OKCANCEL | MB_ICONERROR) == IDOK) {
        const std::wstring supportPage = std::wstring(L"https://") + kSupportHost;
        OpenInBrowser(supportPage.c_str());
    }
}
