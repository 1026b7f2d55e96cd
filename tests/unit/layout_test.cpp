#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ui/layout.h"

namespace {

constexpr ViewRect kClient{0, 0, 560, 310};

ProgressViewInput WithTrackImage(std::uint64_t downloaded, std::uint64_t total) {
    ProgressViewInput input;
    input.client = kClient;
    input.hasTrackImage = true;
    input.trackImageWidth = 480;
    input.trackImageHeight = 8;
    input.downloaded = downloaded;
    input.total = total;
    return input;
}

void ExpectRect(const ViewRect& r, int left, int top, int right, int bottom) {
    EXPECT_EQ(r.left, left);
    EXPECT_EQ(r.top, top);
    EXPECT_EQ(r.right, right);
    EXPECT_EQ(r.bottom, bottom);
}

TEST(ViewGeometry, WindowWithTrackImage) {
    const ProgressViewLayout layout = LayOutProgressView(WithTrackImage(0, 0));
    ExpectRect(layout.bar, 40, 275, 520, 283);
    ExpectRect(layout.title, 20, 8, 460, 46);
    ExpectRect(layout.closeGlyph, 524, 8, 552, 46);
    ExpectRect(layout.percentage, 40, 247, 200, 267);
    ExpectRect(layout.speed, 360, 247, 520, 267);
}

TEST(ViewGeometry, FallbackBarFollowsTheClientWidth) {
    ProgressViewInput input;
    input.client = kClient;
    const ProgressViewLayout wide = LayOutProgressView(input);
    ExpectRect(wide.bar, 60, 275, 500, 287);
    ExpectRect(wide.percentage, 60, 247, 220, 267);
    ExpectRect(wide.speed, 340, 247, 500, 267);
    input.client = {0, 0, 300, 310};
    const ProgressViewLayout narrow = LayOutProgressView(input);
    EXPECT_EQ(narrow.bar.right - narrow.bar.left, 220);
    EXPECT_EQ(narrow.bar.left, 40);
}

TEST(ViewGeometry, TrackImageWiderThanTheClientIsSqueezed) {
    ProgressViewInput input = WithTrackImage(0, 0);
    input.client = {0, 0, 500, 310};
    const ProgressViewLayout layout = LayOutProgressView(input);
    EXPECT_EQ(layout.bar.right - layout.bar.left, 460);
    EXPECT_EQ(layout.bar.left, 20);
}

TEST(ViewFill, HalfWayFillsHalfTheBar) {
    const ProgressViewLayout layout = LayOutProgressView(WithTrackImage(500, 1000));
    EXPECT_EQ(layout.fillWidth, 240);
    EXPECT_FALSE(layout.fillIsCircle);
    EXPECT_EQ(layout.percentText, L"50%");
}

TEST(ViewFill, BelowOneBarPixelThereIsNoFill) {
    const ProgressViewLayout layout = LayOutProgressView(WithTrackImage(1, 961));
    EXPECT_EQ(layout.fillWidth, 0);
    EXPECT_FALSE(layout.fillIsCircle);
    EXPECT_EQ(layout.percentText, L"0%");
    EXPECT_EQ(LayOutProgressView(WithTrackImage(1, 960)).fillWidth, 1);
}

TEST(ViewFill, RoundingOfPercentageAndFillDiffer) {
    const ProgressViewLayout almost = LayOutProgressView(WithTrackImage(996, 1000));
    EXPECT_EQ(almost.percentText, L"100%");
    EXPECT_EQ(almost.fillWidth, 478);
    const ProgressViewLayout little = LayOutProgressView(WithTrackImage(4, 1000));
    EXPECT_EQ(little.percentText, L"0%");
    EXPECT_EQ(little.fillWidth, 2);
    EXPECT_TRUE(little.fillIsCircle);
}

TEST(ViewFill, NarrowFillsAreTheCircleUpToTheBarHeight) {
    EXPECT_TRUE(LayOutProgressView(WithTrackImage(8, 480)).fillIsCircle);
    EXPECT_FALSE(LayOutProgressView(WithTrackImage(9, 480)).fillIsCircle);
}

TEST(ViewFill, NoTotalMeansNoFillWhateverWasReceived) {
    const ProgressViewLayout layout = LayOutProgressView(WithTrackImage(123456, 0));
    EXPECT_EQ(layout.fillWidth, 0);
    EXPECT_EQ(layout.percentText, L"0%");
}

TEST(ViewFill, MoreThanTheTotalIsAFullBar) {
    const ProgressViewLayout layout = LayOutProgressView(WithTrackImage(5000, 1000));
    EXPECT_EQ(layout.fillWidth, 480);
    EXPECT_EQ(layout.percentText, L"100%");
    EXPECT_DOUBLE_EQ(ProgressFraction(~0ull, 1), 1.0);
}

TEST(SpeedText, KilobytesUpToJustBelowOneMegabyte) {
    EXPECT_EQ(SpeedText(0), L"0 KB/s");
    EXPECT_EQ(SpeedText(-5), L"0 KB/s");
    EXPECT_EQ(SpeedText(std::numeric_limits<double>::quiet_NaN()), L"0 KB/s");
    EXPECT_EQ(SpeedText(1), L"0 KB/s");
    EXPECT_EQ(SpeedText(524'288), L"512 KB/s");
    EXPECT_EQ(SpeedText(1'048'575), L"1024 KB/s");
}

TEST(SpeedText, MegabytesWithTwoDecimals) {
    EXPECT_EQ(SpeedText(1'048'576), L"1.00 MB/s");
    EXPECT_EQ(SpeedText(10'485'760), L"10.00 MB/s");
}

TEST(SpeedText, AbsurdSpeedsAreCutToTheBuffer) {
    const std::wstring text = SpeedText(1e300);
    EXPECT_EQ(text.size(), static_cast<size_t>(kSpeedTextUnits - 1));
    EXPECT_EQ(text.substr(0, 3), L"953");
    EXPECT_EQ(SpeedText(std::numeric_limits<double>::infinity()).substr(0, 3), L"inf");
}

TEST(CloseGlyphHit, EdgesOfTheBandAreInclusive) {
    EXPECT_TRUE(IsCloseGlyphHit(kClient, 524, 12));
    EXPECT_TRUE(IsCloseGlyphHit(kClient, 552, 40));
    EXPECT_FALSE(IsCloseGlyphHit(kClient, 523, 20));
    EXPECT_FALSE(IsCloseGlyphHit(kClient, 553, 20));
    EXPECT_FALSE(IsCloseGlyphHit(kClient, 540, 11));
    EXPECT_FALSE(IsCloseGlyphHit(kClient, 540, 41));
}

TEST(CloseGlyphHit, GlyphBoxRowsOutsideTheBandDoNotClose) {
    EXPECT_FALSE(IsCloseGlyphHit(kClient, 540, 9));
    EXPECT_FALSE(IsCloseGlyphHit(kClient, 540, 45));
    EXPECT_FALSE(IsCloseGlyphHit(kClient, 65535, 20));
}

}  // namespace
