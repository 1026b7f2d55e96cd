#include <gtest/gtest.h>

#include <limits>
#include <tuple>
#include <vector>

#include "ui/layout.h"

namespace {

ProgressViewInput View(int width, bool withTrackImage, std::uint64_t downloaded = 0, std::uint64_t total = 0) {
    return {{0, 0, width, 310}, withTrackImage, 480, 8, downloaded, total, 0.0};
}

TEST(ProgressView, BarIsTheTrackImageOrFollowsTheClientWidth) {
    // Client width, track image; then the bar's left, width and height. Its top is 35 px above the bottom.
    // The window's own width, 560, is in the screenshots.
    const int cases[][5] = {{500, true, 20, 460, 8}, {300, false, 40, 220, 12}, {380, false, 60, 260, 12}};
    for (const auto& c : cases) {
        const ViewRect bar = LayOutProgressView(View(c[0], c[1])).bar;
        EXPECT_EQ((std::vector{bar.left, bar.top, bar.right - bar.left, bar.bottom - bar.top}),
                  (std::vector{c[2], 275, c[3], c[4]}))
            << c[0] << (c[1] ? " with" : " without") << " track image";
    }
}

TEST(ProgressView, FillRoundsToBarPixelsAndIsACircleUpToTheBarHeight) {
    const std::tuple<std::uint64_t, std::uint64_t, int, bool, const wchar_t*> cases[] = {
        {500, 1000, 240, false, L"50%"},  {1, 961, 0, false, L"0%"},         {1, 960, 1, true, L"0%"},
        {4, 1000, 2, true, L"0%"},        {8, 480, 8, true, L"2%"},          {9, 480, 9, false, L"2%"},
        {996, 1000, 478, false, L"100%"}, {5000, 1000, 480, false, L"100%"}, {123456, 0, 0, false, L"0%"}};
    for (const auto& [downloaded, total, fillWidth, circle, percent] : cases) {
        const ProgressViewLayout layout = LayOutProgressView(View(560, true, downloaded, total));
        EXPECT_EQ(std::tuple(layout.fillWidth, layout.fillIsCircle, layout.percentText),
                  std::tuple(fillWidth, circle, std::wstring(percent)))
            << downloaded << " of " << total;
    }
}

TEST(ProgressView, SpeedInWholeKilobytesBelowOneMegabyteThenInMegabytes) {
    for (double speed : {0.0, -5.0, std::numeric_limits<double>::quiet_NaN()}) EXPECT_EQ(SpeedText(speed), L"0 KB/s");
    const std::pair<double, const wchar_t*> cases[] = {
        {524'288, L"512 KB/s"}, {1'048'575, L"1024 KB/s"}, {1'048'576, L"1.00 MB/s"}, {10'485'760, L"10.00 MB/s"}};
    for (const auto& [speed, text] : cases) EXPECT_EQ(SpeedText(speed), text) << speed;
    EXPECT_EQ(SpeedText(1e300).size(), kSpeedTextUnits - 1u);  // cut off, not overrun
}

TEST(CloseGlyph, HitsTheBandOfItsMiddleRowsEdgesIncluded) {
    // Client width, x, y, hit.
    const unsigned cases[][4] = {{560, 524, 12, 1}, {560, 552, 40, 1}, {560, 523, 20, 0},   {560, 553, 20, 0},
                                 {560, 540, 11, 0}, {560, 540, 41, 0}, {560, 65535, 20, 0}, {300, 264, 12, 1},
                                 {300, 292, 40, 1}, {300, 263, 20, 0}, {300, 293, 20, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(IsCloseGlyphHit({0, 0, int(c[0]), 310}, c[1], c[2]), c[3] == 1)
            << c[0] << ": " << c[1] << "," << c[2];
}

}  // namespace
