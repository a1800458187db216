// Segments and the segment pool.
#include "download/Segment.h"

#include <new>

#include "download/EngineLogger.h"
#include "download/InjectedFaults.h"

namespace {
InjectedFaults allocationFaults;
}  // namespace

void Segment::failAllocationsForTesting(int skip, int count) {
    allocationFaults.arm(skip, count);
}

void Segment::setRange(uint64_t newStart, uint32_t newSize, uint32_t newIndex) {
    start = newStart;
    size = newSize;
    index = newIndex;
    end = newSize == 0 ? 0 : newStart + newSize - 1;
    resetCounters();
}

bool Segment::allocateBuffer(uint32_t bytes) {
    if (buffer) return true;
    uint8_t* raw = allocationFaults.fails() ? nullptr : new (std::nothrow) uint8_t[bytes == 0 ? 1 : bytes];
    if (raw == nullptr) {
        DLE_ERROR("failed to allocate memory for segment buffer of size - %d", static_cast<int>(bytes));
        return false;
    }
    buffer = SegmentBuffer(raw);
    return true;
}

void Segment::releaseBuffer() {
    resetCounters();
    buffer.reset();
}

void Segment::resetCounters() {
    downloaded = 0;
    progress = 0;
    flag = 0;
}

bool SegmentPool::init(uint32_t count) {
    MutexLock lock(mutex_);
    slots_.clear();
    try {
        slots_.resize(count);
    } catch (const std::bad_alloc&) {
        DLE_WARN("failed to allocate memory of size (%d) in the segment Pool", static_cast<int>(count));
        return false;
    }
    return true;
}

SegmentPtr SegmentPool::createAndGetSegmentFromPool(uint32_t index) {
    MutexLock lock(mutex_);
    if (index >= slots_.size()) {
        DLE_WARN("createAndGetSegmentFromPool : index (%d) out of bound (%d)", static_cast<int>(index),
                 static_cast<int>(slots_.size()));
        return nullptr;
    }
    slots_[index] = std::make_shared<Segment>();
    return slots_[index];
}

SegmentPtr SegmentPool::createNextSegmentInPool(uint32_t index) {
    MutexLock lock(mutex_);
    if (index >= slots_.size()) {
        size_t grown = slots_.empty() ? 1 : slots_.size() * 2;
        slots_.resize(grown);
        if (index >= slots_.size()) {
            DLE_WARN("too big index for a basic pool");
            return nullptr;
        }
    }
    slots_[index] = std::make_shared<Segment>();
    return slots_[index];
}

void SegmentPool::freeSegmentInPool(uint32_t index) {
    MutexLock lock(mutex_);
    if (index >= slots_.size()) {
        DLE_WARN("freeSegmentInPool : index (%d) out of bound (%d)", static_cast<int>(index),
                 static_cast<int>(slots_.size()));
        return;
    }
    slots_[index].reset();
}

SegmentPtr SegmentPool::getSegment(uint32_t index) {
    MutexLock lock(mutex_);
    return index < slots_.size() ? slots_[index] : nullptr;
}

uint32_t SegmentPool::count() {
    MutexLock lock(mutex_);
    return static_cast<uint32_t>(slots_.size());
}

void SegmentPool::clear() {
    MutexLock lock(mutex_);
    slots_.clear();
}
