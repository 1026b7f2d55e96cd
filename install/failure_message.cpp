#include "install/failure_message.h"

namespace {

constexpr wchar_t kSeparator[] = L"\n\n";
constexpr wchar_t kPageSentence[] = L"已为您打开下载页面，请手动安装。\n\n";
constexpr wchar_t kChoiceLines[] = L"点击\"确定\"联系客服\n点击\"取消\"稍后处理";

}  // namespace

std::wstring FailureMessage(std::wstring_view failureText, bool pageOpened) {
    std::wstring message(failureText);
    message += kSeparator;
    if (pageOpened) message += kPageSentence;
    message += kChoiceLines;
    return message;
}
