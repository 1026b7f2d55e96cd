// The install worker: chooses the channel, downloads the setup program,
// runs it and closes the progress window.
#pragma once

#include <windows.h>

void InstallWorker(HWND window);
