// Line readers of text string tables: UTF-16 in either byte order, or 8-bit text.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>

#include "localization/ZString.h"

namespace quirra_private {

class DictionaryReader {
public:
    static constexpr size_t kInitialCapacity = 256;

    explicit DictionaryReader(std::istream& in) : input(in), line(kInitialCapacity) {}
    DictionaryReader(const DictionaryReader&) = delete;
    DictionaryReader& operator=(const DictionaryReader&) = delete;
    virtual ~DictionaryReader() = default;

    // The next line, NUL-terminated, without its line break; null at the end of the input.
    virtual GrowableUnitBuffer* readLine() = 0;

    // Chooses the reader from the first two bytes (FF FE, FE FF, anything else).
    static std::unique_ptr<DictionaryReader> forFirstBytes(std::istream& in, int first, int second);

protected:
    // One byte from the stream, or -1 at its end.
    int readByte();
    GrowableUnitBuffer* terminated();

    std::istream& input;
    GrowableUnitBuffer line;
};

class UnicodeReader : public DictionaryReader {
public:
    using DictionaryReader::DictionaryReader;
    GrowableUnitBuffer* readLine() override;

protected:
    // True (stop) at the end of the input, on a half unit, or for a unit of 0.
    virtual bool readUnit(char16_t& unit);
    // Two bytes as one little-endian unit; false at the end of the input.
    bool readPair(char16_t& unit);
};

class ByteSwapUnicodeReader : public UnicodeReader {
public:
    using UnicodeReader::UnicodeReader;

protected:
    bool readUnit(char16_t& unit) override;
};

class MultibyteReader : public DictionaryReader {
public:
    explicit MultibyteReader(std::istream& in) : DictionaryReader(in), bytes(kInitialCapacity) {}
    GrowableUnitBuffer* readLine() override;

private:
    GrowableByteBuffer bytes;
};

}  // namespace quirra_private
