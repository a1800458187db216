// The string dictionary: one loaded string table, looked up by key strings with default texts.
#pragma once

#include <array>
#include <cstdint>
#include <istream>

#include "localization/FastArray.h"
#include "localization/HashItem.h"
#include "localization/KeyString.h"
#include "localization/ZString.h"

namespace quirra_private {

class ByteCursor;

class ZStringDictionary {
public:
    ZStringDictionary();
    ~ZStringDictionary();
    ZStringDictionary(const ZStringDictionary&) = delete;
    ZStringDictionary& operator=(const ZStringDictionary&) = delete;

    // Adds the table in the stream (text or binary) to what is held. Reports nothing: a
    // damaged table loads what could be checked, or nothing.
    void load(std::istream& in);

    // The key string's value, else its default text (decoded by the selector, markup
    // expanded), else the empty string.
    ZString lookup(const char* keyString, const uint32_t* selector) const;

    HashItem* find(const HashItem& key) const;
    void insert(HashItem* item);
    HashItem* remove(const HashItem& key);
    void clear();

    uint8_t majorVersion() const { return major; }
    uint8_t minorVersion() const { return minor; }
    const char* header() const { return headerText; }
    const FastArray& fastArray() const { return *store; }

private:
    void loadText(std::istream& in, int first, int second);
    void addTextLine(const char16_t* line, size_t count);
    void loadBinary(const uint8_t* bytes, size_t size);
    void loadVersion1_0(ByteCursor& cursor, uint8_t encoding);
    void loadVersion1_5(ByteCursor& cursor, uint8_t encoding);
    void loadVersion2(ByteCursor& cursor);
    // Links an entry of a version-1 group behind the group's last one, in front of what the
    // bucket held before the group.
    void appendToGroup(uint32_t bucket, HashItem*& tail, HashItem* item);

    std::array<HashItem*, kHashModulus> buckets{};
    mutable uint32_t lastBucket = 0;
    mutable HashItem* lastPredecessor = nullptr;
    FastArray* store;
    uint8_t major = 0;
    uint8_t minor = 0;
    char* headerText = nullptr;
};

}  // namespace quirra_private
