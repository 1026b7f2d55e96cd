#include "common/dll_search.h"

#include <windows.h>
#include <delayimp.h>

#include <string>

namespace {

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// The delay-load helper would load the bare name, which on a Vista without
// SetDefaultDllDirectories still searches the exe's folder first. The
// altered search path makes the DLL's own imports start from the system
// folder too.
FARPROC WINAPI LoadFromSystemFolder(unsigned notification, PDelayLoadInfo info) {
    if (notification != dliNotePreLoadLibrary) return nullptr;
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    std::wstring path(folder, length);
    path += L'\\';
    for (const char* name = info->szDll; *name; ++name) path += static_cast<wchar_t>(*name);  // DLL names are ASCII
    return reinterpret_cast<FARPROC>(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}

}  // namespace

void RestrictDllSearchToSystemFolder() {
    // Looked up: Vista without KB2533623 lacks it.
    const auto setDefaultDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    // Without it, at least the current directory leaves the search.
    if (!setDefaultDirectories || !setDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryW(L"");
    __pfnDliNotifyHook2 = LoadFromSystemFolder;
}
