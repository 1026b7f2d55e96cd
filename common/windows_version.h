// Which Windows this is, as the installer's manifest lets it see: with no
// supported-OS list, Windows 8.1 and later answer as 6.2.
#pragma once

#include <windows.h>

// Whether Windows is at least major.minor with that service pack, compared
// as the ordered triple: 6.1 with any service pack is at least 6.0 SP2.
bool IsOsVersionAtLeast(WORD major, WORD minor, WORD servicePackMajor);
