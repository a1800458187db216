// Uppercase hexadecimal text of raw bytes, as the settings store writes its values.
#pragma once

#include <string>

// High then low nibble as '0'-'9', 'A'-'F', then a NUL (out holds 3 bytes).
void utilChar2Hex(unsigned char byte, char out[3]);

// Two characters to one byte; a character outside '0'-'9', 'A'-'F' (lowercase included)
// ends the conversion with the value so far.
void utilHex2Char(const char in[2], unsigned char& out);

// Writes 2 * count characters and a NUL into out; count below 1 gives the empty text.
bool utilCharStr2HexStr(const unsigned char* bytes, char* out, int count);

// Converts count pairs of hex into count bytes.
bool utilHexStr2CharStr(const char* hex, unsigned char* out, int count);

// std::string conveniences over the two above.
std::string hexTextOf(const std::string& bytes);
std::string bytesOfHexText(const std::string& hex);
