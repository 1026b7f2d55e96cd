// Geometry and texts of the progress view, computed without Windows so that
// the painter only draws what this says and the close-glyph hit test uses
// the same box as the glyph on screen.
#pragma once

#include <cstdint>
#include <string>

struct ViewRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

struct ProgressViewInput {
    ViewRect client;  // from GetClientRect: left and top are 0
    bool hasTrackImage = false;
    int trackImageWidth = 0;
    int trackImageHeight = 0;
    std::uint64_t downloaded = 0;  // only meaningful when total is not 0
    std::uint64_t total = 0;
    double bytesPerSecond = 0.0;
};

struct ProgressViewLayout {
    ViewRect title;
    ViewRect closeGlyph;
    ViewRect percentage;
    ViewRect speed;
    ViewRect bar;               // the track, and the area the fill grows in
    int fillWidth = 0;          // 0: no fill; never more than the bar's width
    bool fillIsCircle = false;  // fill no wider than the bar is high
    std::wstring percentText;
    std::wstring speedText;
};

// Room for the percentage and speed texts, terminating NUL included; a
// text that would not fit is cut off.
inline constexpr int kPercentTextUnits = 16;
inline constexpr int kSpeedTextUnits = 32;

ViewRect CloseGlyphRect(const ViewRect& client);

// Whether a button release at client (x, y) hits the close glyph: its box's
// horizontal extent, both ends included, but only its middle rows.
bool IsCloseGlyphHit(const ViewRect& client, unsigned x, unsigned y);

double ProgressFraction(std::uint64_t downloaded, std::uint64_t total);
std::wstring PercentText(double fraction);
std::wstring SpeedText(double bytesPerSecond);

ProgressViewLayout LayOutProgressView(const ProgressViewInput& input);
