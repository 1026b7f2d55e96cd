// Byte widening: each byte of a narrow string becomes one UTF-16 code unit,
// sign-extended (0x80..0xFF become 0xFF80..0xFFFF). Only meant for text
// that is ASCII in practice: URL parts and the setup program's file name.
#pragma once

#include <string>
#include <string_view>

std::wstring WidenBytes(std::string_view bytes);
