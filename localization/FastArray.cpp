// Merging, finding and inserting in the version-2 store.
#include "localization/FastArray.h"

#include <algorithm>
#include <cstring>

namespace quirra_private {

KeyView keyOf(const BlockDescriptor& block, uint32_t local) {
    if (local < block.keyCopies.size() && block.keyCopies[local]) {
        const auto& copy = *block.keyCopies[local];
        return {copy.data(), static_cast<uint32_t>(copy.size())};
    }
    if (!block.hasKeys || local >= block.keyLengths.size() || local >= block.keyOffsets.size()) return {};
    const uint32_t length = block.keyLengths[local];
    if (length == 0) return {};
    return {block.keyData.data() + block.keyOffsets[local], length};
}

ZString valueOf(const BlockDescriptor& block, uint32_t local) {
    if (local < block.valueCopies.size() && block.valueCopies[local]) return *block.valueCopies[local];
    if (local >= block.valueLengths.size() || local >= block.valueOffsets.size()) return ZString();
    if (block.hasKeys && local < block.keyLengths.size() && block.keyLengths[local] == 0) return ZString();
    const uint32_t length = block.valueLengths[local];
    const uint8_t* bytes = block.valueData.data() + block.valueOffsets[local];
    if (!block.swapped) return ZString::fromBytes(bytes, length);
    std::vector<uint8_t> swapped(bytes, bytes + length);
    for (size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
    return ZString::fromBytes(swapped.data(), swapped.size());
}

FastArray::FastArray() = default;

std::optional<FastArray::Located> FastArray::locate(uint32_t index) const {
    // Blocks cover consecutive index ranges in order.
    auto it = std::upper_bound(blocks_.begin(), blocks_.end(), index,
                               [](uint32_t value, const auto& block) { return value < block->base; });
    if (it == blocks_.begin()) return std::nullopt;
    const BlockDescriptor& block = **(it - 1);
    if (index - block.base >= block.n) return std::nullopt;
    return Located{&block, index - block.base};
}

BlockDescriptor* FastArray::blockOf(uint32_t index) {
    auto located = locate(index);
    return located ? const_cast<BlockDescriptor*>(located->block) : nullptr;
}

uint32_t FastArray::findInBucket(uint32_t bucket, const uint8_t* key, uint32_t length) const {
    for (uint32_t index : buckets_[bucket]) {
        auto located = locate(index);
        if (!located) continue;
        // A deleted entry has key length 0 and never matches, not even an empty key.
        const KeyView stored = keyOf(*located->block, located->local);
        if (stored.bytes == nullptr || stored.length != length) continue;
        if (std::memcmp(stored.bytes, key, length) == 0) return index;
    }
    return kNotFound;
}

uint32_t FastArray::find(const uint8_t* key, uint32_t length) const {
    return findInBucket(keyHash(key, length), key, length);
}

ZString FastArray::valueAt(uint32_t index) const {
    auto located = locate(index);
    if (!located) return ZString();
    return valueOf(*located->block, located->local);
}

void FastArray::replaceValue(uint32_t index, const ZString& value) {
    BlockDescriptor* block = blockOf(index);
    if (block == nullptr) return;
    const uint32_t local = index - block->base;
    if (block->valueCopies.size() < block->n) block->valueCopies.resize(block->n);
    block->valueCopies[local] = value;
}

bool FastArray::addBlock(std::unique_ptr<BlockDescriptor> block) {
    if (indexTotal_ != 0 && block->base != 0 && block->base != indexTotal_) return false;
    const bool mergeBehind = indexTotal_ != 0 && block->base == 0;
    block->base = indexTotal_;
    if (mergeBehind) {
        for (auto& [bucket, list] : block->bucketLists) {
            std::vector<uint32_t> kept;
            for (uint32_t local : list) {
                const KeyView key = keyOf(*block, local);
                const uint32_t earlier =
                    key.bytes == nullptr ? kNotFound : findInBucket(bucket, key.bytes, key.length);
                if (earlier == kNotFound) {
                    kept.push_back(local);
                    continue;
                }
                // Copied, not referred to: this block may yet be dropped.
                replaceValue(earlier, valueOf(*block, local));
                block->keyLengths[local] = 0;
                block->valueLengths[local] = 0;
                if (block->live > 0) --block->live;
            }
            list = std::move(kept);
        }
    }
    if (block->live == 0) return true;
    for (const auto& [bucket, list] : block->bucketLists) {
        for (uint32_t local : list) buckets_[bucket].push_back(block->base + local);
    }
    indexTotal_ += block->n;
    liveTotal_ += block->live;
    // Later insertions must not land in a block that no longer ends the index range.
    insertBlock_ = nullptr;
    blocks_.push_back(std::move(block));
    return true;
}

void FastArray::insert(const uint8_t* key, uint32_t length, const ZString& value) {
    // An empty key reads like a deleted entry here and could never be found.
    if (length == 0) return;
    const uint32_t bucket = keyHash(key, length);
    const uint32_t present = findInBucket(bucket, key, length);
    if (present != kNotFound) {
        replaceValue(present, value);
        return;
    }
    if (insertBlock_ == nullptr) {
        auto block = std::make_unique<BlockDescriptor>();
        block->base = indexTotal_;
        insertBlock_ = block.get();
        blocks_.push_back(std::move(block));
    }
    BlockDescriptor& block = *insertBlock_;
    const uint32_t local = block.n++;
    ++block.live;
    block.keyCopies.resize(block.n);
    block.valueCopies.resize(block.n);
    block.keyCopies[local] = std::vector<uint8_t>(key, key + length);
    block.valueCopies[local] = value;
    buckets_[bucket].push_back(block.base + local);
    ++indexTotal_;
    ++liveTotal_;
    if (block.n == kInsertBlockCapacity) insertBlock_ = nullptr;
}

}  // namespace quirra_private
