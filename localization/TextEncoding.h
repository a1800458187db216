// Strict UTF-8 and Mac Roman (the system's 8-bit encoding here) to and from UTF-16.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

namespace quirra_private {

// False, with the output emptied, when the bytes are not well-formed UTF-8 (overlong forms,
// surrogates and values above U+10FFFF included).
bool decodeUtf8Strict(const uint8_t* bytes, size_t count, std::u16string& out);
// Lone surrogates become '?'.
std::string encodeUtf8(const char16_t* units, size_t count);

// Every byte has a character, so decoding never fails.
std::u16string decodeMacRoman(const uint8_t* bytes, size_t count);
// Units without a byte become '?'.
std::string encodeMacRoman(const char16_t* units, size_t count);

// One unit as two little-endian bytes, the order of written text tables.
void writeUnitLittleEndian(std::ostream& out, char16_t unit);

}  // namespace quirra_private
