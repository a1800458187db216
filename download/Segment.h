// A segment of the remote file and the pool that holds the segments of one download.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "download/Mutex.h"

// Buffers are shared: queued serialization pieces keep the buffer they point into alive,
// so a retried download of the segment always fills a fresh buffer.
using SegmentBuffer = std::shared_ptr<uint8_t[]>;

// Keeps the buffers of finished segments for the next ones. A fresh 2 MiB buffer is a fresh mapping
// whose every page faults in and whose release unmaps it on all CPUs; reuse keeps both off the
// download's path. Buffers stay with the recycler until it is trimmed or goes.
class BufferRecycler : public std::enable_shared_from_this<BufferRecycler> {
public:
    BufferRecycler() = default;
    ~BufferRecycler();
    BufferRecycler(const BufferRecycler&) = delete;
    BufferRecycler& operator=(const BufferRecycler&) = delete;

    // A buffer of `bytes` that returns here when its last holder lets go; null when memory runs out.
    SegmentBuffer take(uint32_t bytes) EXCLUDES(mutex_);
    void trim() EXCLUDES(mutex_);

private:
    void give(uint8_t* block, uint32_t bytes) EXCLUDES(mutex_);

    static constexpr uint64_t kMaximumKeptBytes = 96ull * 1024 * 1024;
    Mutex mutex_;
    std::vector<std::pair<uint8_t*, uint32_t>> free_ GUARDED_BY(mutex_);
    uint64_t keptBytes_ GUARDED_BY(mutex_) = 0;
};

class Segment {
public:
    Segment() = default;
    Segment(uint64_t start, uint32_t size, uint32_t index) { setRange(start, size, index); }
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    void setRange(uint64_t start, uint32_t size, uint32_t index);
    bool allocateBuffer(uint32_t size);
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
    std::shared_ptr<BufferRecycler> recycler;  // set by the pool; none: plain allocation
};

using SegmentPtr = std::shared_ptr<Segment>;

class SegmentPool {
public:
    SegmentPool() = default;
    SegmentPool(const SegmentPool&) = delete;
    SegmentPool& operator=(const SegmentPool&) = delete;

    bool init(uint32_t count) EXCLUDES(mutex_);
    SegmentPtr createAndGetSegmentFromPool(uint32_t index) EXCLUDES(mutex_);
    SegmentPtr createNextSegmentInPool(uint32_t index) EXCLUDES(mutex_);
    void freeSegmentInPool(uint32_t index) EXCLUDES(mutex_);
    SegmentPtr getSegment(uint32_t index) EXCLUDES(mutex_);
    uint32_t count() EXCLUDES(mutex_);
    void clear() EXCLUDES(mutex_);

private:
    SegmentPtr makeSegment() REQUIRES(mutex_);

    Mutex mutex_;
    std::vector<SegmentPtr> slots_ GUARDED_BY(mutex_);
    std::shared_ptr<BufferRecycler> recycler_ = std::make_shared<BufferRecycler>();
};
