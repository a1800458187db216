// The machine facts the value keys are bound to, and the 32-character machine signature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Replaces a MAC or serial text that cannot be read.
inline constexpr const char* kMissingFactText = "EmptyValue";

// The login user name as UTF-8.
bool utilGetUserName(std::string& outName);

// Appends the platform serial to the list; true when one was appended.
bool utilGetHardDiskSerialNumber(std::vector<std::string>& outSerials, bool unused = false);

// 32 characters and a NUL: "5000" + 14 of base64(md5(MAC)) + 14 of base64(md5(serial)),
// or "F000" + 28 digits when neither fact can be read.
bool GenerateMachineSignature(char outSignature[33]);

// 12 lowercase hexadecimal digits and a NUL.
bool getPrimaryMACAddressString(char outMac[13]);

// At most 23 characters and a NUL, trimmed; false when missing, blank or too long.
bool getPlatformSerialNumber(char outSerial[24]);

// '0'-'9', 'A'-'F'; 'U' for anything outside 0-15.
char hexDigitChar(int value);

// The 16-byte digest of the store's own MD5 variant (big-endian words and digest).
void md5VariantDigest(const std::uint8_t* data, std::size_t length, std::uint8_t outDigest[16]);

// base64 of md5VariantDigest: 24 characters ending "==".
void md5Base64String(const std::uint8_t* data, std::size_t length, std::string& outText);

// Standard base64 (RFC 4648) with "=" padding; empty input gives the empty text.
std::string base64Text(const std::uint8_t* data, std::size_t length);

// The random form of the signature: "F000" and 28 decimal digits.
void makeRandomMachineId(char outSignature[33]);
