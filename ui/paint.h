// The progress window's paint: background, title, close glyph, bar,
// percentage and speed, composed off screen and copied in one transfer.
#pragma once

#include <windows.h>
#include <gdiplus.h>

// Reads the shared progress state; every object it makes is released
// before it returns. Any picture may be null: the paint falls back.
void PaintProgressView(HWND window, HBITMAP background, Gdiplus::GpBitmap* trackImage, Gdiplus::GpBitmap* fillImage);
