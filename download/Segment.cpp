// Segments and the segment pool.
#include "download/Segment.h"

#include <new>

#include "download/EngineLogger.h"
#include "download/InjectedFaults.h"
#include "download/TestSeams.h"

namespace {
InjectedFaults allocationFaults;
}  // namespace

void engine::testing::failAllocations(int skip, int count) { allocationFaults.arm(skip, count); }

void Segment::setRange(uint64_t newStart, uint32_t newSize, uint32_t newIndex) {
    start = newStart;
    size = newSize;
    index = newIndex;
    end = newSize == 0 ? 0 : newStart + newSize - 1;
    resetCounters();
}

BufferRecycler::~BufferRecycler() { trim(); }

SegmentBuffer BufferRecycler::take(uint32_t bytes) {
    uint8_t* block = nullptr;
    {
        MutexLock lock(mutex_);
        for (auto it = free_.begin(); it != free_.end(); ++it) {
            if (it->second != bytes) continue;
            block = it->first;
            keptBytes_ -= bytes;
            free_.erase(it);
            break;
        }
    }
    if (block == nullptr) block = new (std::nothrow) uint8_t[bytes];
    if (block == nullptr) return nullptr;
    // Each buffer holds its recycler, so a buffer that outlives the pool still has a home.
    std::shared_ptr<BufferRecycler> home = shared_from_this();
    try {
        return SegmentBuffer(block, [home, bytes](uint8_t* returned) { home->give(returned, bytes); });
    } catch (const std::bad_alloc&) {
        delete[] block;
        return nullptr;
    }
}

void BufferRecycler::give(uint8_t* block, uint32_t bytes) {
    {
        MutexLock lock(mutex_);
        if (keptBytes_ + bytes <= kMaximumKeptBytes) {
            try {
                free_.emplace_back(block, bytes);
                keptBytes_ += bytes;
                return;
            } catch (const std::bad_alloc&) {
            }
        }
    }
    delete[] block;
}

void BufferRecycler::trim() {
    std::vector<std::pair<uint8_t*, uint32_t>> released;
    {
        MutexLock lock(mutex_);
        released.swap(free_);
        keptBytes_ = 0;
    }
    for (auto& [block, bytes] : released) delete[] block;
}

bool Segment::allocateBuffer(uint32_t bytes) {
    if (buffer) return true;
    uint32_t wanted = bytes == 0 ? 1 : bytes;
    if (!allocationFaults.fails()) {
        if (recycler) {
            buffer = recycler->take(wanted);
        } else {
            uint8_t* raw = new (std::nothrow) uint8_t[wanted];
            if (raw != nullptr) buffer = SegmentBuffer(raw);
        }
    }
    if (!buffer) {
        DLE_ERROR("failed to allocate memory for segment buffer of size - %d", static_cast<int>(bytes));
        return false;
    }
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
    slots_[index] = makeSegment();
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
    slots_[index] = makeSegment();
    return slots_[index];
}

SegmentPtr SegmentPool::makeSegment() {
    auto segment = std::make_shared<Segment>();
    segment->recycler = recycler_;
    return segment;
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
    recycler_->trim();
}
