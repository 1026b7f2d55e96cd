#include <gtest/gtest.h>

#include "common/widen.h"

TEST(WidenBytes, AsciiBecomesTheSameCharacters) {
    EXPECT_EQ(WidenBytes("tarvex-setup.exe"), L"tarvex-setup.exe");
    EXPECT_EQ(WidenBytes(""), L"");
}

TEST(WidenBytes, HighBytesAreSignExtendedToSixteenBits) {
    const std::wstring wide = WidenBytes("\x80\xE6\xFF");
    ASSERT_EQ(wide.size(), 3u);
    EXPECT_EQ(static_cast<unsigned>(wide[0]), 0xFF80u);
    EXPECT_EQ(static_cast<unsigned>(wide[1]), 0xFFE6u);
    EXPECT_EQ(static_cast<unsigned>(wide[2]), 0xFFFFu);
}

TEST(WidenBytes, EmbeddedNulIsKept) {
    EXPECT_EQ(WidenBytes(std::string_view("a\0b", 3)).size(), 3u);
}
