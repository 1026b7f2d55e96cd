// The install worker: chooses the channel, downloads the setup program,
// runs it and closes the progress window.
//
// Threads: runs on its own detached thread, started from the window's
// WM_CREATE with the window handle and its own copy of the setup program's
// full path, resolved before any thread started. It touches the window only
// through the progress callback (InvalidateRect), ShowWindow,
// PostMessageW and the failure dialog, a message box the window owns; the
// UI thread never waits for it, and closing the window ends it with the
// process.
#pragma once

#include <windows.h>

#include <string>

// The setup program's name, saved in the current directory.
inline constexpr wchar_t kSetupProgramName[] = L"tarvex-setup.exe";

// `setupPath`: kSetupProgramName made full against the current directory
// while no other thread of ours ran; empty if that failed, and then the
// download fails.
void InstallWorker(HWND window, const std::wstring& setupPath);
