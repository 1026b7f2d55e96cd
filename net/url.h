// Splitting of the https URLs the download client accepts.
#pragma once

#include <string>

// Matches the whole of `url` against https://host[:port][/path]: scheme in
// lower case only, no ":" or "/" in the host, a port of 1 to 65535 (443
// when absent), the path with query and fragment ("/" when absent). Host
// and path come out byte-widened. On false the outputs are untouched.
bool ParseHttpsUrl(const std::string& url, std::wstring& host, int& port, std::wstring& path);
