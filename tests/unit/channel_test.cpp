#include <gtest/gtest.h>

#include "install/channel.h"
#include "install/failure_message.h"

namespace {

TEST(ChannelChoice, OnlyWindows7IsLegacyWithoutAsking) {
    EXPECT_TRUE(IsLegacyOnlyWindows(true, false));   // 6.1, any service pack
    EXPECT_FALSE(IsLegacyOnlyWindows(false, false)); // 6.0: probe like 6.2+
    EXPECT_FALSE(IsLegacyOnlyWindows(true, true));   // 6.2 and later
}

TEST(ChannelChoice, RuntimeDecidesElsewhere) {
    EXPECT_EQ(ChannelFor(true), Channel::Release);
    EXPECT_EQ(ChannelFor(false), Channel::Legacy);
}

TEST(RuntimeVersion, PlaceholderAndEmptyMeanNoRuntime) {
    EXPECT_FALSE(IsUsableRuntimeVersion(L""));
    EXPECT_FALSE(IsUsableRuntimeVersion(L"0.0.0.0"));
    EXPECT_TRUE(IsUsableRuntimeVersion(L"120.0.2210.91"));
}

TEST(RuntimeVersion, OnlyTheExactPlaceholderCounts) {
    EXPECT_TRUE(IsUsableRuntimeVersion(L"0.0.0.0 "));
    EXPECT_TRUE(IsUsableRuntimeVersion(L"0.0.0.0.1"));
    EXPECT_TRUE(IsUsableRuntimeVersion(L"0.0.0"));
    EXPECT_TRUE(IsUsableRuntimeVersion(L" "));
}

TEST(ChannelUrl, HostAndPathOfEachChannel) {
    EXPECT_EQ(ChannelUrl("download.example.com", Channel::Legacy), "https://download.example.com/tarvex-data/win7");
    EXPECT_EQ(ChannelUrl("localhost:47443", Channel::Release), "https://localhost:47443/tarvex-data/release");
}

TEST(FailureMessage, WithThePageOpened) {
    EXPECT_EQ(FailureMessage(kDownloadFailedText, true),
              L"\u4e0b\u8f7d\u5931\u8d25\uff0c\u8bf7\u68c0\u67e5\u7f51\u7edc\u8fde\u63a5\u6216\u8054\u7cfb\u5ba2\u670d\u3002"
              L"\n\n\u5df2\u4e3a\u60a8\u6253\u5f00\u4e0b\u8f7d\u9875\u9762\uff0c\u8bf7\u624b\u52a8\u5b89\u88c5\u3002\n\n"
              L"\u70b9\u51fb\"\u786e\u5b9a\"\u8054\u7cfb\u5ba2\u670d\n\u70b9\u51fb\"\u53d6\u6d88\"\u7a0d\u540e\u5904\u7406");
}

TEST(FailureMessage, WithoutAPageThePageSentenceIsLeftOut) {
    EXPECT_EQ(FailureMessage(kStartFailedText, false),
              L"\u5b89\u88c5\u7a0b\u5e8f\u542f\u52a8\u5931\u8d25\uff0c\u8bf7\u68c0\u67e5\u5b89\u88c5\u5305\u6216\u8054"
              L"\u7cfb\u5ba2\u670d\u3002\n\n"
              L"\u70b9\u51fb\"\u786e\u5b9a\"\u8054\u7cfb\u5ba2\u670d\n\u70b9\u51fb\"\u53d6\u6d88\"\u7a0d\u540e\u5904\u7406");
}

}  // namespace
