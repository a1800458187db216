// Uppercase hexadecimal codec of the settings store.
#include "settings/HexCodec.h"

void utilChar2Hex(unsigned char byte, char out[3]) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out[0] = kDigits[byte >> 4];
    out[1] = kDigits[byte & 0x0f];
    out[2] = '\0';
}

void utilHex2Char(const char in[2], unsigned char& out) {
    unsigned int value = 0;
    for (int i = 0; i < 2; ++i) {
        char c = in[i];
        unsigned int digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned int>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned int>(c - 'A' + 10);
        } else {
            break;
        }
        value = value * 16 + digit;
    }
    out = static_cast<unsigned char>(value);
}

bool utilCharStr2HexStr(const unsigned char* bytes, char* out, int count) {
    if (count < 1) {
        out[0] = '\0';
        return true;
    }
    for (int i = 0; i < count; ++i) {
        utilChar2Hex(bytes[i], out + 2 * i);
    }
    return true;
}

bool utilHexStr2CharStr(const char* hex, unsigned char* out, int count) {
    for (int i = 0; i < count; ++i) {
        utilHex2Char(hex + 2 * i, out[i]);
    }
    return true;
}

std::string hexTextOf(const std::string& bytes) {
    std::string hex(bytes.size() * 2 + 1, '\0');
    utilCharStr2HexStr(reinterpret_cast<const unsigned char*>(bytes.data()), hex.data(),
                       static_cast<int>(bytes.size()));
    hex.pop_back();
    return hex;
}

std::string bytesOfHexText(const std::string& hex) {
    std::string bytes(hex.size() / 2, '\0');
    utilHexStr2CharStr(hex.data(), reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    return bytes;
}
