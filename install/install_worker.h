// The install worker: chooses the channel, downloads the setup program,
// runs it and closes the progress window.
//
// Threads: runs on its own detached thread, started from the window's
// WM_CREATE with the window handle as its only input. It touches the window
// only through the progress callback (InvalidateRect), ShowWindow,
// PostMessageW and the failure dialog, a message box the window owns; the
// UI thread never waits for it, and closing the window ends it with the
// process.
#pragma once

#include <windows.h>

void InstallWorker(HWND window);
