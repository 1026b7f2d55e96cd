#include "progress/progress.h"

void OnProgress(HWND window, std::uint64_t received, std::uint64_t total) {
    StoreProgress(AdvanceProgress(LoadProgress(), received, total, GetTickCount64()));
    // No erase: the paint composes the whole view off screen, so erasing
    // first would only flicker.
    InvalidateRect(window, nullptr, FALSE);
}

ProgressCallback BindOnProgress(HWND window) {
    return [window](std::uint64_t received, std::uint64_t total) { OnProgress(window, received, total); };
}
