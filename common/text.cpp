#include "common/text.h"

#include <windows.h>

namespace {

std::wstring ToWide(UINT codePage, const std::string& bytes) {
    const int units = MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (units < 1) return {};
    std::wstring wide(static_cast<size_t>(units), L'\0');
    if (MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), units) != units)
        return {};
    return wide;
}

}  // namespace

std::wstring Utf8ToWide(const std::string& utf8) {
    if (utf8.empty()) return {};
    std::wstring wide = ToWide(CP_UTF8, utf8);
    if (wide.empty()) wide = ToWide(CP_ACP, utf8);
    return wide;
}

std::string WideToUtf8(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    if (bytes < 1) return {};
    std::string utf8(static_cast<size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), bytes, nullptr,
                            nullptr) != bytes)
        return {};
    return utf8;
}
