// The version-2 string-table store: blocks of entries indexed through 1021 hash buckets.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "localization/KeyString.h"
#include "localization/ZString.h"

namespace quirra_private {

// One block as read from a file, or opened for entries inserted later. Integers are held in
// native order; UTF-16 data stays as in the file and is swapped when a value is made.
struct BlockDescriptor {
    uint32_t base = 0;
    bool hasKeys = true;
    uint32_t n = 0;
    uint32_t live = 0;
    bool swapped = false;
    std::vector<uint32_t> keyOffsets;
    std::vector<uint16_t> keyLengths;
    std::vector<uint32_t> valueOffsets;
    std::vector<uint16_t> valueLengths;
    std::vector<uint8_t> keyData;
    std::vector<uint8_t> valueData;
    // The used buckets and, for each, the entries listed (indices within the block).
    std::vector<std::pair<uint16_t, std::vector<uint32_t>>> bucketLists;
    std::vector<uint32_t> extraEntryIndices;
    std::vector<uint32_t> extraOffsets;
    std::vector<uint16_t> extraLengths;
    std::vector<uint8_t> extraData;
    // Entries inserted or replaced after loading; these take precedence over the loaded data.
    std::vector<std::optional<std::vector<uint8_t>>> keyCopies;
    std::vector<std::optional<ZString>> valueCopies;
};

class FastArray : public RefCountObj {
public:
    static constexpr uint32_t kNotFound = 0xFFFFFFFF;
    static constexpr uint32_t kInsertBlockCapacity = 100;

    FastArray();

    // Merges a block read and checked whole. False when its base does not fit behind the
    // entries held; a block whose live count ends at 0 is dropped (after replacing values).
    bool addBlock(std::unique_ptr<BlockDescriptor> block);

    uint32_t find(const uint8_t* key, uint32_t length) const;
    ZString valueAt(uint32_t index) const;
    // Replaces the value of a key present, else appends the entry to the insertion block.
    void insert(const uint8_t* key, uint32_t length, const ZString& value);

    uint32_t indexTotal() const { return indexTotal_; }
    uint32_t liveTotal() const { return liveTotal_; }
    size_t blockCount() const { return blocks_.size(); }

private:
    struct Located {
        const BlockDescriptor* block;
        uint32_t local;
    };
    std::optional<Located> locate(uint32_t index) const;
    BlockDescriptor* blockOf(uint32_t index);
    uint32_t findInBucket(uint32_t bucket, const uint8_t* key, uint32_t length) const;
    void replaceValue(uint32_t index, const ZString& value);

    uint32_t indexTotal_ = 0;
    uint32_t liveTotal_ = 0;
    std::array<std::vector<uint32_t>, kHashModulus> buckets_;
    std::vector<std::unique_ptr<BlockDescriptor>> blocks_;
    BlockDescriptor* insertBlock_ = nullptr;
};

// The bytes of a block entry's key (inserted copy first); empty for a deleted or keyless entry.
struct KeyView {
    const uint8_t* bytes = nullptr;
    uint32_t length = 0;
};
KeyView keyOf(const BlockDescriptor& block, uint32_t local);
ZString valueOf(const BlockDescriptor& block, uint32_t local);

}  // namespace quirra_private
