// Linked into the paint-counting twin of the installer only: the linker
// routes the window procedure's call of PaintProgressView here (--wrap), so
// the program's own sources stay exactly as shipped.
#include <windows.h>
#include <gdiplus.h>

#include "paint_marks.h"

// TARVEX_PAINT_SYMBOL, the mangled name of PaintProgressView, comes from
// cmake/bench.cmake, which also hands it to the linker.
#define TARVEX_CONCAT2(a, b) a##b
#define TARVEX_CONCAT(a, b) TARVEX_CONCAT2(a, b)

extern "C" void TARVEX_CONCAT(__real_, TARVEX_PAINT_SYMBOL)(HWND, HBITMAP, Gdiplus::GpBitmap*, Gdiplus::GpBitmap*);

extern "C" void TARVEX_CONCAT(__wrap_, TARVEX_PAINT_SYMBOL)(HWND window, HBITMAP background,
                                                            Gdiplus::GpBitmap* trackImage,
                                                            Gdiplus::GpBitmap* fillImage) {
    const long long start = PaintMarkStart();
    TARVEX_CONCAT(__real_, TARVEX_PAINT_SYMBOL)(window, background, trackImage, fillImage);
    MarkPaint(start);
}
