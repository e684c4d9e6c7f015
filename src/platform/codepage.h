// Windows-1252, the code page of the game's players. Texts from the wire and
// stored values are bytes in this code page; the user interface and the
// settings file see them as Unicode.
#pragma once

#include <string>
#include <string_view>

namespace platform {

std::string Cp1252ToUtf8(std::string_view bytes);
// Characters outside the code page become '?'. Invalid UTF-8 bytes, overlong
// forms among them, are kept as the code page's byte of the same value.
std::string Utf8ToCp1252(std::string_view utf8);

// Appends the UTF-8 bytes of one character.
void AppendUtf8(std::string& out, char32_t c);
// Whether `bytes` is well-formed UTF-8 (no overlong two-byte forms).
bool IsUtf8(std::string_view bytes);

} // namespace platform
