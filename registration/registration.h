// The per-user product registration file %USERPROFILE%\.tarvex\config.toml,
// where each of the maker's products records itself.
//
// The installer runs elevated and the folder belongs to the user: nothing
// here follows a junction or symbolic link, and the file is only ever
// replaced by a new one that we made.
#pragma once

#include <string>
#include <vector>

#include "registration/registration_format.h"

// Makes sure the hidden folder exists and that the file lists our product,
// keeping every other product's entry. Gives up silently: the installation
// goes on whatever happens here.
void RegisterProduct();

// The same; says why nothing was written (null when the file was written).
// A file that is there but cannot be read whole is left as it is, since
// rewriting it would drop what we could not read; so is one reached through
// a link.
const char* UpdateRegistration();

enum class RegistrationRead { Read, Missing, Unreadable, Redirected };

// The entries of the file at `path`. Missing (no file, or no folder) is the
// ordinary first run. Unreadable and Redirected leave `entries` empty.
RegistrationRead ReadRegistration(const std::wstring& path, std::vector<SoftwareEntry>& entries);

// The entries of the file at `path`; empty when there are none to read.
std::vector<SoftwareEntry> ReadRegistrationFile(const std::wstring& path);

// Replaces the file at `path` (a full path) with `entries` in one step.
// False when that fails: the old file then stays as it was and no temporary
// file is left beside it.
bool WriteRegistrationFile(const std::wstring& path, const std::vector<SoftwareEntry>& entries);
