// Byte-run keys and dictionary entries: ownership, hashing, equality and serialisation.
#include "localization/HashItem.h"

#include <cstring>
#include <ostream>

#include "localization/KeyString.h"
#include "localization/TextEncoding.h"

namespace quirra_private {
namespace {

const uint8_t* copyOf(const uint8_t* bytes, uint32_t length) {
    if (length == 0) return nullptr;
    auto* copy = new uint8_t[length];
    std::memcpy(copy, bytes, length);
    return copy;
}

}  // namespace

ByteRunKey::ByteRunKey(const uint8_t* keyBytes, uint32_t keyLength, bool copy) : length(keyLength) {
    if (keyLength == 0) return;
    owned = copy ? 1 : 0;
    bytes = copy ? copyOf(keyBytes, keyLength) : keyBytes;
}

ByteRunKey::ByteRunKey(const ByteRunKey& other)
    : HashItem(), bytes(copyOf(other.bytes, other.length)), length(other.length), owned(other.length > 0 ? 1 : 0) {}

ByteRunKey::~ByteRunKey() {
    if (owned) delete[] bytes;
}

uint32_t ByteRunKey::write(std::ostream& out, uint8_t binary, const uint32_t* selector) const {
    if (bytes == nullptr) return 0;
    if (binary) {
        out.write(reinterpret_cast<const char*>(bytes), length);
        return length;
    }
    writeUnitLittleEndian(out, u'"');
    for (uint32_t i = 0; i < length; ++i) writeUnitLittleEndian(out, bytes[i]);
    writeUnitLittleEndian(out, u'=');
    return 0;
}

uint32_t ByteRunKey::hash(uint32_t modulus) const { return keyHash(bytes, length, modulus); }

bool ByteRunKey::equals(const HashItem& other) const {
    const auto* key = dynamic_cast<const ByteRunKey*>(&other);
    if (key == nullptr || key->length != length) return false;
    return length == 0 || std::memcmp(key->bytes, bytes, length) == 0;
}

DictionaryEntry::DictionaryEntry(const uint8_t* keyBytes, uint32_t keyLength, const ZString& entryValue)
    : ByteRunKey(keyBytes, keyLength, true), value(entryValue) {}

uint32_t DictionaryEntry::write(std::ostream& out, uint8_t binary, const uint32_t* selector) const {
    const uint32_t keyBytes = writeKey(out, binary, selector);
    return keyBytes + value.write(out, binary != 0, selector);
}

uint32_t DictionaryEntry::writeKey(std::ostream& out, uint8_t binary, const uint32_t* selector) const {
    return ByteRunKey::write(out, binary, selector);
}

uint32_t DictionaryEntry::writeValue(std::ostream& out, uint8_t binary, const uint32_t* selector,
                                     uint8_t byteOrder) const {
    if (!binary || byteOrder != 0) return value.write(out, binary != 0, selector);
    for (char16_t unit : value.view()) {
        const char swapped[2] = {static_cast<char>(unit >> 8), static_cast<char>(unit & 0xFF)};
        out.write(swapped, 2);
    }
    return static_cast<uint32_t>(value.length() * 2);
}

}  // namespace quirra_private
