// The texts of the failure dialog.
#pragma once

#include <string>
#include <string_view>

inline constexpr wchar_t kDownloadFailedText[] = L"下载失败，请检查网络连接或联系客服。";
inline constexpr wchar_t kStartFailedText[] = L"安装程序启动失败，请检查安装包或联系客服。";
inline constexpr wchar_t kFailureCaption[] = L"系统提示";

// The failure text, a blank line, the sentence that the download page has
// been opened (only when there is one), and what OK and Cancel do.
std::wstring FailureMessage(std::wstring_view failureText, bool pageOpened);
