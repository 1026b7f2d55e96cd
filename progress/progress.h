// The progress callback: records a download report in the shared progress
// state and asks the window to repaint. Runs on the install worker thread;
// it reaches the window only through InvalidateRect, which does not wait
// for the UI thread.
#pragma once

#include <windows.h>

#include <cstdint>

#include "progress/progress_state.h"

void OnProgress(HWND window, std::uint64_t received, std::uint64_t total);

// OnProgress bound to the progress window, as the download client takes it.
ProgressCallback BindOnProgress(HWND window);
