// Items of the dictionary's hash table: the abstract item, byte-run keys and entries.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "localization/ZString.h"

namespace quirra_private {

class HashItem {
public:
    HashItem() = default;
    HashItem(const HashItem&) = delete;
    HashItem& operator=(const HashItem&) = delete;

    virtual uint32_t write(std::ostream& out, uint8_t binary, const uint32_t* selector) const = 0;
    virtual uint32_t writeKey(std::ostream& out, uint8_t binary, const uint32_t* selector) const {
        return write(out, binary, selector);
    }
    virtual uint32_t writeValue(std::ostream& out, uint8_t binary, const uint32_t* selector, uint8_t byteOrder) const {
        return write(out, binary, selector);
    }
    virtual ~HashItem() = default;
    virtual uint32_t hash(uint32_t modulus) const = 0;
    virtual bool equals(const HashItem& other) const = 0;

    HashItem* next = nullptr;
};

class ByteRunKey : public HashItem {
public:
    // Copies the bytes when copy is set, else refers to the caller's bytes.
    ByteRunKey(const uint8_t* keyBytes, uint32_t keyLength, bool copy);
    ByteRunKey(const ByteRunKey& other);
    ~ByteRunKey() override;

    // Binary: the raw bytes (returns their number). Text: '"', each byte as one unit, '='
    // (returns 0).
    uint32_t write(std::ostream& out, uint8_t binary, const uint32_t* selector) const override;
    uint32_t hash(uint32_t modulus) const override;
    bool equals(const HashItem& other) const override;

    const uint8_t* bytes = nullptr;
    uint32_t length = 0;
    uint8_t owned = 0;
};

class DictionaryEntry : public ByteRunKey {
public:
    DictionaryEntry(const uint8_t* keyBytes, uint32_t keyLength, const ZString& entryValue);

    uint32_t write(std::ostream& out, uint8_t binary, const uint32_t* selector) const override;
    uint32_t writeKey(std::ostream& out, uint8_t binary, const uint32_t* selector) const override;
    // Binary with byteOrder 0 writes each unit byte-swapped.
    uint32_t writeValue(std::ostream& out, uint8_t binary, const uint32_t* selector, uint8_t byteOrder) const override;

    ZString value;
};

}  // namespace quirra_private
