// The setup program's publisher, pinned when the installer is built: with
// it, only a setup program that Windows trusts as signed by that publisher
// is started. TLS proves which server answered, not who made the file.
#pragma once

#include <windows.h>

#include <string>

// True when no publisher is pinned, or when Windows trusts the Authenticode
// signature of the open file (checked through `file`, so the file checked
// is the file started; `fullPath` names it) and its signing certificate's
// subject common name is exactly the pinned one, and that certificate was
// not revoked when the signature was made (as far as Windows has cached).
// Logs why not otherwise.
bool IsFromPinnedPublisher(HANDLE file, const std::wstring& fullPath);
