#include "ui/paint.h"

#include <algorithm>
#include <memory>
#include <string>

#include "common/handles.h"
#include "common/text.h"
#include "progress/progress_state.h"
#include "ui/layout.h"

namespace {

namespace gp = Gdiplus::DllExports;

// "tarvex 数据恢复" as UTF-8 bytes, so the source encoding cannot change it.
constexpr char kDisplayNameUtf8[] = "tarvex \xE6\x95\xB0\xE6\x8D\xAE\xE6\x81\xA2\xE5\xA4\x8D";
constexpr wchar_t kFallbackTitle[] = L"Tarvex Installer";
constexpr wchar_t kCloseGlyph[] = L"\u00D7";
constexpr wchar_t kFontFace[] = L"Microsoft YaHei";
constexpr COLORREF kTextColour = RGB(255, 255, 255);

struct FontStyle {
    int height;
    int weight;
};
constexpr FontStyle kTitleFont{20, 600};
constexpr FontStyle kGlyphFont{30, 700};
constexpr FontStyle kSmallFont{14, 400};

constexpr COLORREF kFallbackTrackColour = 0xE6DCCC;
constexpr Gdiplus::ARGB kFallbackFillLeft = 0xFF5EA0CE;
constexpr Gdiplus::ARGB kFallbackFillRight = 0xFFD1E1E9;

UniqueFont MakeFont(const FontStyle& style) {
    return UniqueFont(CreateFontW(style.height, 0, 0, 0, style.weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                  OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, FF_SWISS | DEFAULT_PITCH,
                                  kFontFace));
}

RECT ToRect(const ViewRect& r) { return {r.left, r.top, r.right, r.bottom}; }

void DrawLabel(HDC dc, const FontStyle& style, const wchar_t* text, int length, const ViewRect& box, UINT format) {
    UniqueFont font = MakeFont(style);
    auto selection = SelectInto(dc, font.get());
    SetTextColor(dc, kTextColour);
    RECT rect = ToRect(box);
    DrawTextW(dc, text, length, &rect, format);
}

void DrawBackground(HDC paintDc, HDC target, HBITMAP background, const RECT& update, int width, int height) {
    if (!background) {
        FillRect(target, &update, reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1)));
        return;
    }
    UniqueDc source(CreateCompatibleDC(paintDc));
    auto selection = SelectInto(source.get(), background);
    BITMAP info{};
    GetObjectW(background, sizeof info, &info);
    StretchBlt(target, 0, 0, width, height, source.get(), 0, 0, info.bmWidth, info.bmHeight, SRCCOPY);
}

void DrawFallbackTrack(HDC dc, const ViewRect& bar) {
    UniquePen pen(CreatePen(PS_NULL, 0, 0));
    UniqueBrush brush(CreateSolidBrush(kFallbackTrackColour));
    auto penSelection = SelectInto(dc, pen.get());
    auto brushSelection = SelectInto(dc, brush.get());
    const int height = bar.bottom - bar.top;
    RoundRect(dc, bar.left, bar.top, bar.right, bar.bottom, height, height);
}

// A bar of the fill's width with semicircular ends, or a circle at the
// bar's left end while the fill is no wider than the bar is high.
UniqueGpPath MakeFillPath(const ProgressViewLayout& layout) {
    Gdiplus::GpPath* raw = nullptr;
    gp::GdipCreatePath(Gdiplus::FillModeAlternate, &raw);
    UniqueGpPath path(raw);
    if (!path) return path;
    const float left = static_cast<float>(layout.bar.left);
    const float top = static_cast<float>(layout.bar.top);
    const int height = layout.bar.bottom - layout.bar.top;
    const float d = static_cast<float>(height);
    if (layout.fillIsCircle) {
        gp::GdipAddPathEllipse(path.get(), left, top, d, d);
        return path;
    }
    // The arcs' squares are as high as the bar, so all four start at its top.
    const float right = static_cast<float>(layout.bar.left + layout.fillWidth - height);
    gp::GdipAddPathArc(path.get(), left, top, d, d, 180, 90);
    gp::GdipAddPathArc(path.get(), right, top, d, d, 270, 90);
    gp::GdipAddPathArc(path.get(), right, top, d, d, 0, 90);
    gp::GdipAddPathArc(path.get(), left, top, d, d, 90, 90);
    gp::GdipClosePathFigure(path.get());
    return path;
}

void DrawFill(Gdiplus::GpGraphics* graphics, Gdiplus::GpBitmap* fillImage, const ProgressViewLayout& layout) {
    UniqueGpPath path = MakeFillPath(layout);
    Gdiplus::GpRegion* rawRegion = nullptr;
    gp::GdipCreateRegion(&rawRegion);
    UniqueGpRegion savedClip(rawRegion);
    if (savedClip) gp::GdipGetClip(graphics, savedClip.get());
    gp::GdipSetClipPath(graphics, path.get(), Gdiplus::CombineModeIntersect);

    const int height = layout.bar.bottom - layout.bar.top;
    if (fillImage) {
        // The whole image is squeezed to the fill's width, not cut off.
        gp::GdipDrawImageRect(graphics, fillImage, static_cast<float>(layout.bar.left),
                              static_cast<float>(layout.bar.top), static_cast<float>(layout.fillWidth),
                              static_cast<float>(height));
    } else {
        const Gdiplus::Rect area(layout.bar.left, layout.bar.top, std::max(layout.fillWidth, height), height);
        Gdiplus::GpLineGradient* rawBrush = nullptr;
        gp::GdipCreateLineBrushFromRectI(&area, kFallbackFillLeft, kFallbackFillRight,
                                         Gdiplus::LinearGradientModeHorizontal, Gdiplus::WrapModeTile, &rawBrush);
        UniqueGpBrush brush(rawBrush);
        gp::GdipFillPath(graphics, brush.get(), path.get());
    }

    if (savedClip) gp::GdipSetClipRegion(graphics, savedClip.get(), Gdiplus::CombineModeReplace);
}

void DrawBar(HDC dc, Gdiplus::GpBitmap* trackImage, Gdiplus::GpBitmap* fillImage, const ProgressViewLayout& layout) {
    Gdiplus::GpGraphics* rawGraphics = nullptr;
    gp::GdipCreateFromHDC(dc, &rawGraphics);
    UniqueGpGraphics graphics(rawGraphics);
    if (graphics) {
        gp::GdipSetSmoothingMode(graphics.get(), Gdiplus::SmoothingModeHighQuality);
        gp::GdipSetPixelOffsetMode(graphics.get(), Gdiplus::PixelOffsetModeHighQuality);
        gp::GdipSetCompositingQuality(graphics.get(), Gdiplus::CompositingQualityHighQuality);
    }
    const ViewRect& bar = layout.bar;
    if (trackImage) {
        if (graphics)
            gp::GdipDrawImageRect(graphics.get(), trackImage, static_cast<float>(bar.left), static_cast<float>(bar.top),
                                  static_cast<float>(bar.right - bar.left), static_cast<float>(bar.bottom - bar.top));
    } else {
        DrawFallbackTrack(dc, bar);
    }
    if (graphics && layout.fillWidth > 0) DrawFill(graphics.get(), fillImage, layout);
}

ProgressViewInput ReadInput(const RECT& client, Gdiplus::GpBitmap* trackImage) {
    ProgressViewInput input;
    input.client = {client.left, client.top, client.right, client.bottom};
    if (trackImage) {
        UINT width = 0, height = 0;
        gp::GdipGetImageWidth(trackImage, &width);
        gp::GdipGetImageHeight(trackImage, &height);
        input.hasTrackImage = true;
        input.trackImageWidth = static_cast<int>(width);
        input.trackImageHeight = static_cast<int>(height);
    }
    constexpr auto relaxed = std::memory_order_relaxed;
    input.total = totalBytes.load(relaxed);
    if (input.total != 0) input.downloaded = downloadedBytes.load(relaxed);
    input.bytesPerSecond = bytesPerSecond.load(relaxed);
    return input;
}

}  // namespace

void PaintProgressView(HWND window, HBITMAP background, Gdiplus::GpBitmap* trackImage, Gdiplus::GpBitmap* fillImage) {
    PAINTSTRUCT paint{};
    HDC paintDc = BeginPaint(window, &paint);
    auto endPaint = [window, &paint](HDC) { EndPaint(window, &paint); };
    std::unique_ptr<HDC__, decltype(endPaint)> paintGuard(paintDc, endPaint);
    if (!paintDc) return;

    RECT client{};
    GetClientRect(window, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    const ProgressViewLayout layout = LayOutProgressView(ReadInput(client, trackImage));

    UniqueDc memoryDc(CreateCompatibleDC(paintDc));
    UniqueBitmap surface(CreateCompatibleBitmap(paintDc, width, height));
    if (!memoryDc || !surface) return;
    auto surfaceSelection = SelectInto(memoryDc.get(), surface.get());
    HDC dc = memoryDc.get();

    DrawBackground(paintDc, dc, background, paint.rcPaint, width, height);
    SetBkMode(dc, TRANSPARENT);

    std::wstring title = Utf8ToWide(kDisplayNameUtf8);
    if (title.empty()) title = kFallbackTitle;
    DrawLabel(dc, kTitleFont, title.c_str(), -1, layout.title, DT_SINGLELINE | DT_VCENTER);
    DrawLabel(dc, kGlyphFont, kCloseGlyph, 1, layout.closeGlyph, DT_SINGLELINE | DT_VCENTER | DT_CENTER);

    DrawBar(dc, trackImage, fillImage, layout);

    {
        // Released before the copy to the screen, like every other font here.
        UniqueFont small = MakeFont(kSmallFont);
        auto fontSelection = SelectInto(dc, small.get());
        SetTextColor(dc, kTextColour);
        RECT percentage = ToRect(layout.percentage);
        DrawTextW(dc, layout.percentText.c_str(), -1, &percentage, DT_SINGLELINE | DT_BOTTOM);
        RECT speed = ToRect(layout.speed);
        DrawTextW(dc, layout.speedText.c_str(), -1, &speed, DT_SINGLELINE | DT_BOTTOM | DT_RIGHT);
    }

    BitBlt(paintDc, 0, 0, width, height, dc, 0, 0, SRCCOPY);
}
