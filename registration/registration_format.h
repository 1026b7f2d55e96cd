// The per-user product registration file (%USERPROFILE%\.tarvex\config.toml)
// as bytes: reading, writing and merging our own product into it. Nothing
// here touches Windows. The file holds CR LF line ends; the reader and the
// writer work on "\n" lines, and the caller translates with CrLfToLf and
// LfToCrLf.
//
// The reader is deliberately forgiving and line-based rather than a TOML
// parser: other products write this file too, and we must keep whatever
// they left in a shape we can read back.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

struct SoftwareEntry {
    std::string name;
    std::string product_id;
    std::string distributor_id;

    bool operator==(const SoftwareEntry&) const = default;
};

// Our own entry. The name is UTF-8 "tarvex 数据恢复", spelled as bytes so the
// source file's encoding cannot alter it.
inline constexpr std::string_view kInstallerName = "tarvex \xE6\x95\xB0\xE6\x8D\xAE\xE6\x81\xA2\xE5\xA4\x8D";
inline constexpr std::string_view kInstallerProductId = "8";
inline constexpr std::string_view kInstallerDistributorId = "1";

// Entries in file order; blocks without a product identifier are dropped.
std::vector<SoftwareEntry> ParseRegistration(std::istream& in);

// Four lines per entry, values quoted but not escaped.
void FormatRegistration(std::ostream& out, const std::vector<SoftwareEntry>& entries);

// Claims the first entry of our product for our distributor, or adds ours
// at the end when the product is not registered yet.
void MergeProduct(std::vector<SoftwareEntry>& entries);

// Sets `field` from the text after the first '=' of `line`, quotes removed
// and leading blanks trimmed; leaves it alone when the line has no '='.
void ApplyRegistrationValue(std::string_view line, std::string& field);

// Turns each CR LF into LF. A CR not followed by LF is data and stays, and
// every other byte (0x1A included) passes through: unlike the C runtime's
// text mode, nothing ends the file early.
std::string CrLfToLf(std::string_view bytes);

// Writes each LF as CR LF; CrLfToLf undoes it exactly, for any bytes.
std::string LfToCrLf(std::string_view text);
