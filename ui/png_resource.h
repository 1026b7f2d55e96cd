// Decoding of the PNG pictures embedded as resources of the executable.
#pragma once

#include <windows.h>

#include "common/handles.h"

// The resource `id` of type `type` from this executable as a GDI+ bitmap,
// or null when it is missing or does not decode. Needs GDI+ running.
UniqueGpBitmap LoadPngResource(WORD id, const wchar_t* type);
