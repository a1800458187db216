// UTF-16 over the project's strict UTF-8 codec, and Mac Roman, built in so that no iconv is needed.
#include "localization/TextEncoding.h"

#include <array>
#include <optional>
#include <ostream>
#include <string_view>

#include "foundation/utils/TextEncoding.h"

namespace quirra_private {
namespace {

// Mac Roman 0x80-0xFF; 0x00-0x7F are ASCII.
constexpr std::array<char16_t, 128> kMacRomanHigh = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, 0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5,
    0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3, 0x00F2, 0x00F4,
    0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6,
    0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8, 0x221E, 0x00B1, 0x2264, 0x2265,
    0x00A5, 0x00B5, 0x2202, 0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8, 0x00BF,
    0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB, 0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5,
    0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA, 0x00FF, 0x0178, 0x2044,
    0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02, 0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1,
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9,
    0x0131, 0x02C6, 0x02DC, 0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
};

bool isHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

bool decodeUtf8Strict(const uint8_t* bytes, size_t count, std::u16string& out) {
    out.clear();
    const std::string_view text(reinterpret_cast<const char*>(bytes), count);
    size_t at = 0;
    while (at < count) {
        const std::optional<char32_t> code = ZEZUUtils::text::nextUtf8CodePoint(text, at);
        if (!code) {
            out.clear();
            return false;
        }
        if (*code >= 0x10000) {
            const char32_t value = *code - 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(*code));
        }
    }
    return true;
}

std::string encodeUtf8(const char16_t* units, size_t count) {
    std::string out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        char32_t value = units[i];
        if (isHighSurrogate(units[i]) && i + 1 < count && isLowSurrogate(units[i + 1])) {
            value = 0x10000 + ((value - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (isHighSurrogate(units[i]) || isLowSurrogate(units[i])) {
            out.push_back('?');
            continue;
        }
        ZEZUUtils::text::appendUtf8(out, value);
    }
    return out;
}

void writeUnitLittleEndian(std::ostream& out, char16_t unit) {
    const char bytes[2] = {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    out.write(bytes, 2);
}

std::u16string decodeMacRoman(const uint8_t* bytes, size_t count) {
    std::u16string out(count, u'\0');
    for (size_t i = 0; i < count; ++i) out[i] = bytes[i] < 0x80 ? bytes[i] : kMacRomanHigh[bytes[i] - 0x80];
    return out;
}

std::string encodeMacRoman(const char16_t* units, size_t count) {
    std::string out(count, '?');
    for (size_t i = 0; i < count; ++i) {
        char16_t unit = units[i];
        if (unit < 0x80) {
            out[i] = static_cast<char>(unit);
            continue;
        }
        for (size_t k = 0; k < kMacRomanHigh.size(); ++k) {
            if (kMacRomanHigh[k] == unit) {
                out[i] = static_cast<char>(0x80 + k);
                break;
            }
        }
    }
    return out;
}

}  // namespace quirra_private
