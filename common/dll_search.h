// Where the installer's DLLs come from. It runs elevated from a folder that
// every program of the user can write to (Downloads), so no DLL is ever
// loaded from its own folder or from the current directory.
#pragma once

// Call first thing in the entry. Every later load searches the system folder
// only, and the delay-loaded DLLs (WINHTTP, COMCTL32, GDIPLUS, BCRYPT) are
// loaded from it by full path.
void RestrictDllSearchToSystemFolder();
