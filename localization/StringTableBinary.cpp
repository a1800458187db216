// Loading the binary string-table formats 1.0, 1.5 and 2.x. Every count and length is checked
// against the bytes that remain before anything is allocated.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "localization/ZStringDictionary.h"

namespace quirra_private {

// Reads integers of one byte order from a buffer; every read fails cleanly past the end.
class ByteCursor {
public:
    ByteCursor(const uint8_t* bytes, size_t size, size_t position) : bytes_(bytes), size_(size), position_(position) {}

    void setBigEndian(bool bigEndian) { bigEndian_ = bigEndian; }
    bool isBigEndian() const { return bigEndian_; }
    size_t remaining() const { return position_ <= size_ ? size_ - position_ : 0; }
    bool fits(uint64_t count, uint64_t each) const { return count * each <= remaining(); }

    bool u8(uint8_t& value) {
        if (remaining() < 1) return false;
        value = bytes_[position_++];
        return true;
    }
    bool u16(uint16_t& value) {
        uint64_t wide = 0;
        if (!read(2, wide)) return false;
        value = static_cast<uint16_t>(wide);
        return true;
    }
    bool u32(uint32_t& value) {
        uint64_t wide = 0;
        if (!read(4, wide)) return false;
        value = static_cast<uint32_t>(wide);
        return true;
    }
    // A pointer into the buffer, valid while the buffer lives.
    bool take(uint64_t count, const uint8_t*& out) {
        if (count > remaining()) return false;
        out = bytes_ + position_;
        position_ += static_cast<size_t>(count);
        return true;
    }
    bool copy(uint64_t count, std::vector<uint8_t>& out) {
        const uint8_t* start = nullptr;
        if (!take(count, start)) return false;
        out.assign(start, start + count);
        return true;
    }
    template <typename T>
    bool array(uint32_t count, std::vector<T>& out) {
        if (!fits(count, sizeof(T))) return false;
        out.resize(count);
        for (T& value : out) {
            uint64_t wide = 0;
            if (!read(sizeof(T), wide)) return false;
            value = static_cast<T>(wide);
        }
        return true;
    }

private:
    bool read(size_t width, uint64_t& value) {
        if (remaining() < width) return false;
        value = 0;
        for (size_t i = 0; i < width; ++i) {
            const uint64_t byte = bytes_[position_ + i];
            value |= bigEndian_ ? byte << (8 * (width - 1 - i)) : byte << (8 * i);
        }
        position_ += width;
        return true;
    }

    const uint8_t* bytes_;
    size_t size_;
    size_t position_;
    bool bigEndian_ = false;
};

namespace {

constexpr size_t kPrefixLength = 24;  // magic, major, minor, value encoding

ZString utf16Value(const uint8_t* bytes, size_t length, bool bigEndian) {
    std::u16string units(length / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
        const uint8_t a = bytes[2 * i];
        const uint8_t b = bytes[2 * i + 1];
        units[i] = static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
    }
    return ZString(units.data(), units.size());
}

// Version-1 values: UTF-16 (1.0 little-endian; 1.5 by its byte-order mark, else big-endian),
// UTF-8, or the system's 8-bit encoding.
ZString version1Value(const uint8_t* bytes, size_t length, uint8_t encoding, bool version15) {
    if (encoding == 1) {
        const uint32_t utf8 = kEncodingUtf8;
        return ZString(reinterpret_cast<const char*>(bytes), length, &utf8);
    }
    if (encoding != 0) return ZString(reinterpret_cast<const char*>(bytes), length, nullptr);
    if (!version15) return utf16Value(bytes, length, false);
    if (length >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) return utf16Value(bytes + 2, length - 2, false);
    if (length >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) return utf16Value(bytes + 2, length - 2, true);
    return utf16Value(bytes, length, true);
}

bool inside(uint64_t offset, uint64_t length, size_t size) { return offset + length <= size; }

}  // namespace

void ZStringDictionary::loadBinary(const uint8_t* bytes, size_t size) {
    if (size < kPrefixLength) return;
    const auto majorVersion = static_cast<int8_t>(bytes[21]);
    const auto minorVersion = static_cast<int8_t>(bytes[22]);
    const uint8_t encoding = bytes[23];
    ByteCursor cursor(bytes, size, kPrefixLength);
    if (majorVersion == 2 && minorVersion >= 0) {
        if (minorVersion >= 1) {
            uint8_t order = 0;
            if (!cursor.u8(order)) return;
            cursor.setBigEndian((order & 1) != 0);
        }
        loadVersion2(cursor);
    } else if (majorVersion == 1 && minorVersion == 5) {
        cursor.setBigEndian(true);
        loadVersion1_5(cursor, encoding);
    } else if (majorVersion == 1 && minorVersion == 0) {
        loadVersion1_0(cursor, encoding);
    }
}

void ZStringDictionary::loadVersion1_0(ByteCursor& cursor, uint8_t encoding) {
    uint16_t count = 0;
    if (!cursor.u16(count) || count < 2 || !cursor.fits(count, 6)) return;
    std::vector<std::pair<uint16_t, uint32_t>> records(count);
    for (auto& [bucket, position] : records) {
        if (!cursor.u16(bucket) || !cursor.u32(position)) return;
    }
    uint64_t position = records[0].second;
    for (size_t group = 0; group + 1 < records.size(); ++group) {
        const uint16_t bucket = records[group].first;
        HashItem* tail = nullptr;
        while (position < records[group + 1].second) {
            uint32_t keyLength = 0;
            uint32_t valueLength = 0;
            const uint8_t* key = nullptr;
            const uint8_t* value = nullptr;
            if (!cursor.u32(keyLength) || !cursor.take(keyLength, key) || !cursor.u32(valueLength) ||
                !cursor.take(valueLength, value))
                return;
            position += 8ull + keyLength + valueLength;
            // Entries of a bucket beyond the table are read past and dropped.
            if (bucket < kHashModulus)
                appendToGroup(bucket, tail,
                              new DictionaryEntry(key, keyLength, version1Value(value, valueLength, encoding, false)));
        }
    }
}

void ZStringDictionary::loadVersion1_5(ByteCursor& cursor, uint8_t encoding) {
    uint32_t groups = 0;
    if (!cursor.u32(groups) || groups == 0 || !cursor.fits(groups, 4 + 2)) return;
    std::vector<uint32_t> ends;
    if (!cursor.array(groups, ends)) return;
    uint32_t previous = 0;
    for (uint32_t end : ends) {
        // Each group holds whole pairs of words, in order.
        if (end < previous || (end - previous) % 2 != 0) return;
        previous = end;
    }
    std::vector<uint32_t> sizes;
    std::vector<uint16_t> bucketNumbers;
    if (!cursor.fits(uint64_t{previous} * 4 + uint64_t{groups} * 2, 1) || !cursor.array(previous, sizes) ||
        !cursor.array(groups, bucketNumbers))
        return;
    uint32_t word = 0;
    for (uint32_t group = 0; group < groups; ++group) {
        const uint16_t bucket = bucketNumbers[group];
        HashItem* tail = nullptr;
        for (; word < ends[group]; word += 2) {
            const uint8_t* key = nullptr;
            const uint8_t* value = nullptr;
            if (!cursor.take(sizes[word], key) || !cursor.take(sizes[word + 1], value)) return;
            if (bucket < kHashModulus)
                appendToGroup(bucket, tail,
                              new DictionaryEntry(key, sizes[word], version1Value(value, sizes[word + 1], encoding, true)));
        }
    }
}

void ZStringDictionary::loadVersion2(ByteCursor& cursor) {
    uint32_t headerLength = 0;
    const uint8_t* header = nullptr;
    if (!cursor.u32(headerLength) || !cursor.take(headerLength, header)) return;
    delete[] headerText;
    headerText = new char[headerLength + 1];
    std::memcpy(headerText, header, headerLength);
    headerText[headerLength] = 0;

    // The block is read and checked whole before the store sees any of it.
    auto block = std::make_unique<BlockDescriptor>();
    BlockDescriptor& b = *block;
    uint8_t keysFlag = 0;
    uint32_t usedBuckets = 0;
    uint32_t keyDataSize = 0;
    uint32_t valueDataSize = 0;
    if (!cursor.u32(b.base) || !cursor.u8(keysFlag) || !cursor.u32(b.n) || !cursor.u32(b.live) ||
        !cursor.u32(usedBuckets))
        return;
    b.hasKeys = keysFlag != 'N';
    if (b.live > b.n) return;
    if (b.hasKeys && !cursor.u32(keyDataSize)) return;
    if (!cursor.u32(valueDataSize)) return;
    if (!cursor.fits(b.n, b.hasKeys ? 12 : 6)) return;
    if (b.hasKeys && (!cursor.array(b.n, b.keyOffsets) || !cursor.array(b.n, b.keyLengths))) return;
    if (!cursor.array(b.n, b.valueOffsets) || !cursor.array(b.n, b.valueLengths)) return;
    if (b.hasKeys && !cursor.copy(keyDataSize, b.keyData)) return;
    if (!cursor.copy(valueDataSize, b.valueData)) return;
    for (uint32_t i = 0; i < b.n; ++i) {
        if (b.hasKeys && b.keyLengths[i] != 0 && !inside(b.keyOffsets[i], b.keyLengths[i], b.keyData.size())) return;
        if (b.valueLengths[i] != 0 && !inside(b.valueOffsets[i], b.valueLengths[i], b.valueData.size())) return;
    }
    if (b.hasKeys) {
        std::vector<uint16_t> numbers;
        std::vector<uint32_t> counts;
        if (!cursor.fits(usedBuckets, 6) || !cursor.array(usedBuckets, numbers) || !cursor.array(usedBuckets, counts))
            return;
        b.bucketLists.resize(usedBuckets);
        for (uint32_t i = 0; i < usedBuckets; ++i) {
            if (numbers[i] >= kHashModulus) return;
            b.bucketLists[i].first = numbers[i];
            if (!cursor.array(counts[i], b.bucketLists[i].second)) return;
            for (uint32_t local : b.bucketLists[i].second) {
                if (local >= b.n) return;
            }
        }
    }
    uint32_t extraCount = 0;
    if (!cursor.u32(extraCount)) return;
    if (extraCount > 0) {
        uint32_t extraDataSize = 0;
        if (!cursor.u32(extraDataSize) || !cursor.fits(extraCount, 10) || !cursor.array(extraCount, b.extraEntryIndices) ||
            !cursor.array(extraCount, b.extraOffsets) || !cursor.array(extraCount, b.extraLengths) ||
            !cursor.copy(extraDataSize, b.extraData))
            return;
        for (uint32_t i = 0; i < extraCount; ++i) {
            if (b.extraEntryIndices[i] >= b.n || !inside(b.extraOffsets[i], b.extraLengths[i], b.extraData.size()))
                return;
        }
    }
    b.swapped = cursor.isBigEndian();
    store->addBlock(std::move(block));
    major = 2;
    minor = 7;
}

}  // namespace quirra_private
