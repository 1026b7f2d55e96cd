#include "ui/layout.h"

#include <algorithm>
#include <cstdio>

namespace {

// Offsets from the client edges, in pixels at the default scaling.
constexpr int kTitleLeft = 20, kTitleRightGap = 100;
constexpr int kHeaderTop = 8, kHeaderBottom = 46;
constexpr int kGlyphRightGap = 8, kGlyphWidth = 28;
constexpr int kGlyphHitTop = 12, kGlyphHitBottom = 40;
constexpr int kBarBottomGap = 35;
constexpr int kFallbackBarHeight = 12;
constexpr int kWideClient = 380, kWideTrackMargin = 120, kNarrowTrackMargin = 80;
constexpr int kBarSideMargin = 40;
constexpr int kTextWidth = 160, kTextTopGap = 28, kTextBottomGap = 8;

std::wstring WidenAscii(const char* text) { return std::wstring(text, text + std::char_traits<char>::length(text)); }

}  // namespace

ViewRect CloseGlyphRect(const ViewRect& client) {
    const int right = client.right - kGlyphRightGap;
    return {right - kGlyphWidth, client.top + kHeaderTop, right, client.top + kHeaderBottom};
}

bool IsCloseGlyphHit(const ViewRect& client, unsigned x, unsigned y) {
    const ViewRect glyph = CloseGlyphRect(client);
    const long long px = x, py = y;
    return glyph.left <= px && px <= glyph.right && kGlyphHitTop <= py && py <= kGlyphHitBottom;
}

double ProgressFraction(std::uint64_t downloaded, std::uint64_t total) {
    if (total == 0) return 0.0;
    const double fraction = static_cast<double>(downloaded) / static_cast<double>(total);
    return std::clamp(fraction, 0.0, 1.0);
}

std::wstring PercentText(double fraction) {
    char text[kPercentTextUnits];
    std::snprintf(text, sizeof text, "%d%%", static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 100 + 0.5));
    return WidenAscii(text);
}

std::wstring SpeedText(double bytesPerSecond) {
    // snprintf cuts off what does not fit, so an absurd speed cannot overrun the buffer.
    char text[kSpeedTextUnits];
    if (!(bytesPerSecond > 0)) return L"0 KB/s";
    const double kilobytes = bytesPerSecond * (1.0 / 1024);
    if (kilobytes < 1024)
        std::snprintf(text, sizeof text, "%.0f KB/s", kilobytes);
    else
        std::snprintf(text, sizeof text, "%.2f MB/s", kilobytes * (1.0 / 1024));
    return WidenAscii(text);
}

ProgressViewLayout LayOutProgressView(const ProgressViewInput& input) {
    const ViewRect& c = input.client;
    const int width = c.right - c.left;

    int trackWidth = width >= kWideClient ? width - kWideTrackMargin : width - kNarrowTrackMargin;
    int barHeight = kFallbackBarHeight;
    if (input.hasTrackImage) {
        trackWidth = input.trackImageWidth;
        barHeight = input.trackImageHeight;
    }
    const int barWidth = std::min(trackWidth, width - kBarSideMargin);
    const int barLeft = c.left + (width - barWidth) / 2;
    const int barTop = c.bottom - kBarBottomGap;
    const int barRight = barLeft + barWidth;

    ProgressViewLayout layout;
    layout.title = {c.left + kTitleLeft, c.top + kHeaderTop, c.right - kTitleRightGap, c.top + kHeaderBottom};
    layout.closeGlyph = CloseGlyphRect(c);
    layout.bar = {barLeft, barTop, barRight, barTop + barHeight};
    layout.percentage = {barLeft, barTop - kTextTopGap, barLeft + kTextWidth, barTop - kTextBottomGap};
    layout.speed = {barRight - kTextWidth, barTop - kTextTopGap, barRight, barTop - kTextBottomGap};

    const double fraction = ProgressFraction(input.downloaded, input.total);
    const int fillWidth = static_cast<int>(barWidth * fraction + 0.5);
    layout.fillWidth = fillWidth <= 0 ? 0 : std::min(fillWidth, barWidth);
    layout.fillIsCircle = layout.fillWidth > 0 && layout.fillWidth <= barHeight;
    layout.percentText = PercentText(fraction);
    layout.speedText = SpeedText(input.bytesPerSecond);
    return layout;
}
