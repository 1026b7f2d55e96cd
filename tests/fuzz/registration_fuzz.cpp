// Reading what the writer wrote must give back the same entries and the
// same bytes, through the CR LF line ends the file holds on disk.
//
// The writer cannot carry every value the reader can produce. Deleting the
// quotes can join a marker that the line itself did not contain
// (`product_id = "na"me"` gives the identifier "name"); written back, such
// a value makes its line read as an earlier key or as a header. For those
// lists only the weaker promise is checked: one rewrite settles the file,
// after which it reads back unchanged.
#include "registration/registration_format.h"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// As the installer reads and writes the file: bytes with CR LF line ends.
std::vector<SoftwareEntry> Parse(const std::string& bytes)
{
    std::istringstream in(CrLfToLf(bytes));
    return ParseRegistration(in);
}

std::string Format(const std::vector<SoftwareEntry>& entries)
{
    std::ostringstream out;
    FormatRegistration(out, entries);
    return LfToCrLf(out.str());
}

bool Contains(const std::string& value, std::string_view marker)
{
    return value.find(marker) != std::string::npos;
}

bool CanBeWrittenFaithfully(const std::vector<SoftwareEntry>& entries)
{
    for (const SoftwareEntry& entry : entries) {
        if (Contains(entry.name, "[[software]]") || Contains(entry.product_id, "[[software]]") ||
            Contains(entry.product_id, "name") || Contains(entry.distributor_id, "[[software]]") ||
            Contains(entry.distributor_id, "name") || Contains(entry.distributor_id, "product_id")) {
            return false;
        }
    }
    return true;
}

void Require(bool condition)
{
    if (!condition) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    // The line-end translation loses nothing, whatever the bytes.
    Require(CrLfToLf(LfToCrLf(bytes)) == bytes);

    const std::vector<SoftwareEntry> entries = Parse(bytes);
    const std::string text = Format(entries);
    const std::vector<SoftwareEntry> reread = Parse(text);

    if (CanBeWrittenFaithfully(entries)) {
        Require(reread == entries);
        Require(Format(reread) == text);
    }

    // Whatever the first rewrite lost, what it wrote is stable.
    Require(CanBeWrittenFaithfully(reread));
    const std::string settled = Format(reread);
    Require(Parse(settled) == reread);
    return 0;
}
