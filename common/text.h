// Conversions between UTF-8 and UTF-16 through the Windows code pages.
#pragma once

#include <string>

// Falls back to the ANSI code page when UTF-8 gives nothing; empty when
// both fail. The result holds no terminating NUL.
std::wstring Utf8ToWide(const std::string& utf8);

// Empty when the conversion fails.
std::string WideToUtf8(const std::wstring& wide);
