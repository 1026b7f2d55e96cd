#include <gtest/gtest.h>

#include "common/widen.h"

TEST(WidenBytes, SignExtendsEachByteToOneUnit) {
    EXPECT_EQ(WidenBytes(std::string_view("a\x80\0\xFF", 4)), std::wstring(L"a\xFF80\0\xFFFF", 4));
}
