// The per-user product registration file %USERPROFILE%\.tarvex\config.toml,
// where each of the maker's products records itself.
#pragma once

#include <string>
#include <vector>

#include "registration/registration_format.h"

// Makes sure the hidden folder exists and that the file lists our product,
// keeping every other product's entry. Gives up silently: the installation
// goes on whatever happens here. A file that is there but cannot be read
// whole is left as it is, since rewriting it would drop what we could not
// read.
void RegisterProduct();

// The entries of the file at `path`; empty when the file is missing or
// cannot be read.
std::vector<SoftwareEntry> ReadRegistrationFile(const std::wstring& path);

// The same, but false when the file is there and could not be read whole
// (`entries` is then empty). A missing file, or a missing folder, is the
// ordinary first run: true and no entries.
bool ReadRegistrationEntries(const std::wstring& path, std::vector<SoftwareEntry>& entries);

// Replaces the file at `path` with `entries` in one step. When that fails
// the old file stays as it was and no temporary file is left beside it.
void WriteRegistrationFile(const std::wstring& path, const std::vector<SoftwareEntry>& entries);
