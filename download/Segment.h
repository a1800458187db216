// A segment of the remote file and the pool that holds the segments of one download.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "download/Mutex.h"

// Buffers are shared: queued serialization pieces keep the buffer they point into alive,
// so a retried download of the segment always fills a fresh buffer.
using SegmentBuffer = std::shared_ptr<uint8_t[]>;

class Segment {
public:
    Segment() = default;
    Segment(uint64_t start, uint32_t size, uint32_t index) { setRange(start, size, index); }
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    void setRange(uint64_t start, uint32_t size, uint32_t index);
    bool allocateBuffer(uint32_t size);
    // The next `count` buffer allocations after the first `skip` fail as if memory had run out.
    static void failAllocationsForTesting(int skip, int count);
    void releaseBuffer();
    void resetCounters();

    uint32_t size = 0;  // 0: unknown length
    uint32_t index = 0;
    SegmentBuffer buffer;
    uint64_t start = 0;
    uint64_t end = 0;  // start + size - 1; 0 when size is 0
    uint32_t downloaded = 0;
    uint32_t progress = 0;
    uint8_t flag = 0;
};

using SegmentPtr = std::shared_ptr<Segment>;

class SegmentPool {
public:
    SegmentPool() = default;
    SegmentPool(const SegmentPool&) = delete;
    SegmentPool& operator=(const SegmentPool&) = delete;

    bool init(uint32_t count) ENGINE_EXCLUDES(mutex_);
    SegmentPtr createAndGetSegmentFromPool(uint32_t index) ENGINE_EXCLUDES(mutex_);
    SegmentPtr createNextSegmentInPool(uint32_t index) ENGINE_EXCLUDES(mutex_);
    void freeSegmentInPool(uint32_t index) ENGINE_EXCLUDES(mutex_);
    SegmentPtr getSegment(uint32_t index) ENGINE_EXCLUDES(mutex_);
    uint32_t count() ENGINE_EXCLUDES(mutex_);
    void clear() ENGINE_EXCLUDES(mutex_);

private:
    Mutex mutex_;
    std::vector<SegmentPtr> slots_ ENGINE_GUARDED_BY(mutex_);
};
