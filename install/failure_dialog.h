// The dialog that hands a failed installation over to the user.
#pragma once

#include <windows.h>

// Opens `page` (may be null) in the browser, then tells the user what went
// wrong in a box owned by `owner`, kept on top when `owner` is hidden; OK
// opens the customer-service page. Returns once the box is dismissed. Runs
// on the install worker's thread.
void ShowFailureDialog(HWND owner, const wchar_t* text, const wchar_t* page);
