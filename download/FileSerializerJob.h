// The job that writes one finished piece of a segment and has a finished segment validated.
#pragma once

#include <cstdint>

#include "download/BaseJob.h"
#include "download/ErrorRecord.h"
#include "download/Segment.h"

class DownloadGlobalData;

class FileSerializerJob : public BaseJob {
public:
    explicit FileSerializerJob(uint32_t jobId) : BaseJob(jobId) {}

    void initialize(DownloadGlobalData* globalData, const SegmentPtr& segment, uint32_t bufferOffset, uint32_t length,
                    uint64_t fileOffset, bool lastPiece, bool endOfStream, uint32_t generation);
    int run(uint32_t threadNumber) override;
    bool terminate() override { return true; }
    bool reset() override { return true; }

    bool lastPiece() const { return lastPiece_; }
    uint32_t generation() const { return generation_; }
    uint32_t length() const { return length_; }
    // Gives back the bookkeeping of a piece that is dropped without being written.
    void discard();

private:
    void rejectSegment();
    void acceptSegment();

    DownloadGlobalData* globalData_ = nullptr;
    SegmentPtr segment_;
    SegmentBuffer buffer_;  // kept alive for this piece even when the segment gets a new buffer
    bool initialized_ = false;
    uint32_t bufferOffset_ = 0;
    uint32_t length_ = 0;
    uint64_t fileOffset_ = 0;
    bool lastPiece_ = false;
    bool endOfStream_ = false;  // the last piece of a single stream
    uint32_t generation_ = 0;
    bool accounted_ = false;
    ErrorRecord error_;
};
