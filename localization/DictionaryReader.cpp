// Line splitting for the three text encodings of string tables.
#include "localization/DictionaryReader.h"

#include "localization/ZString.h"

namespace quirra_private {
namespace {

bool isUnicodeLineBreak(char16_t unit) {
    return unit == u'\n' || unit == u'\r' || unit == 0x2028 || unit == 0x2029;
}

}  // namespace

std::unique_ptr<DictionaryReader> DictionaryReader::forFirstBytes(std::istream& in, int first, int second) {
    if (first == 0xFF && second == 0xFE) return std::make_unique<UnicodeReader>(in);
    if (first == 0xFE && second == 0xFF) return std::make_unique<ByteSwapUnicodeReader>(in);
    return std::make_unique<MultibyteReader>(in);
}

int DictionaryReader::readByte() {
    const auto value = input.get();
    return value == std::istream::traits_type::eof() ? -1 : static_cast<int>(value & 0xFF);
}

GrowableUnitBuffer* DictionaryReader::terminated() {
    line.reserve(line.length() + 1);
    line.data()[line.length()] = 0;
    return &line;
}

bool UnicodeReader::readPair(char16_t& unit) {
    const int low = readByte();
    if (low < 0) return false;
    const int high = readByte();
    if (high < 0) return false;
    unit = static_cast<char16_t>(low | (high << 8));
    return true;
}

bool UnicodeReader::readUnit(char16_t& unit) { return !readPair(unit) || unit == 0; }

bool ByteSwapUnicodeReader::readUnit(char16_t& unit) {
    if (!readPair(unit)) return true;
    unit = static_cast<char16_t>((unit >> 8) | (unit << 8));
    return unit == 0;
}

GrowableUnitBuffer* UnicodeReader::readLine() {
    line.clear();
    char16_t unit = 0;
    while (true) {
        if (readUnit(unit)) return line.length() == 0 ? nullptr : terminated();
        if (isUnicodeLineBreak(unit)) return terminated();
        line.append(unit);
    }
}

GrowableUnitBuffer* MultibyteReader::readLine() {
    bytes.clear();
    line.clear();
    bool atEnd = false;
    while (true) {
        const int byte = readByte();
        if (byte <= 0) {
            atEnd = true;
            break;
        }
        if (byte == '\n' || byte == '\r') break;
        bytes.append(static_cast<uint8_t>(byte));
    }
    if (atEnd && bytes.length() == 0) return nullptr;
    convert8BitTextToUtf16(reinterpret_cast<const char*>(bytes.data()), bytes.length(), line, nullptr);
    return terminated();
}

}  // namespace quirra_private
