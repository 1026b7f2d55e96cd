#include "common/widen.h"

#include <cstdint>

std::wstring WidenBytes(std::string_view bytes) {
    std::wstring wide;
    wide.reserve(bytes.size());
    for (char byte : bytes) {
        // Through a 16-bit unit, so the result is the same where wchar_t is 32 bits wide.
        const auto unit = static_cast<std::uint16_t>(static_cast<std::int16_t>(static_cast<signed char>(byte)));
        wide.push_back(static_cast<wchar_t>(unit));
    }
    return wide;
}
