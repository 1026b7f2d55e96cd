#include <windows.h>
#include <gtest/gtest.h>

#include "common/text.h"

TEST(Utf8ToWide, ConvertsTheDisplayName) {
    EXPECT_EQ(Utf8ToWide("tarvex \xE6\x95\xB0\xE6\x8D\xAE\xE6\x81\xA2\xE5\xA4\x8D"), L"tarvex \u6570\u636E\u6062\u590D");
    EXPECT_EQ(Utf8ToWide(""), L"");
}

TEST(Utf8ToWide, ResultHoldsNoTerminatingNul) {
    EXPECT_EQ(Utf8ToWide("abc").size(), 3u);
}

TEST(WideToUtf8, RoundTripsNonAsciiText) {
    const std::wstring wide = L"https://h/\u00E9\u6570?q=\U0001F600";
    EXPECT_EQ(Utf8ToWide(WideToUtf8(wide)), wide);
    EXPECT_EQ(WideToUtf8(L"\u00E9"), "\xC3\xA9");
    EXPECT_EQ(WideToUtf8(L""), "");
}
