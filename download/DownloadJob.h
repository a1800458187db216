// The job that downloads one segment (or the whole resource as one stream) and hands it to the serializer.
#pragma once

#include <atomic>
#include <cstdint>

#include "download/BaseJob.h"
#include "download/HttpDownloader.h"
#include "download/Segment.h"

class DownloadGlobalData;

// Received bytes are handed to the serializer in pieces of at least this size.
inline constexpr uint32_t kHandOverBytes = 262144;

class DownloadJob : public BaseJob {
public:
    explicit DownloadJob(uint32_t jobId);
    ~DownloadJob() override;

    bool initialize(DownloadGlobalData* globalData, const SegmentPtr& segment, uint32_t received);
    int run(uint32_t threadId) override;
    bool terminate() override;
    bool reset() override;

private:
    void downloadAllPendingBytesForOneSegment(bool& done);
    void downloadSingleStream(bool& done);
    bool validateSegment(Segment& segment);
    bool handOver(uint32_t length, bool last, bool endOfStream);
    bool waitForSerializerRoom();
    void recordDownloaderError();
    void recordError(int32_t type, int32_t code, const char* message);
    // False (and a changed-file error recorded) when the answer is of another version of the file.
    bool fileStillMatches();
    bool interrupted() const;
    bool takeNextChunk(uint32_t chunkIndex);
    // True (and a fatal error recorded) when a single stream reaching `reached` bytes is longer
    // than the size known of the file.
    bool longerThanKnown(uint64_t reached);

    DownloadGlobalData* globalData_ = nullptr;
    SegmentPtr segment_;
    uint32_t received_ = 0;
    HttpDownloader downloader_;
    uint32_t pending_ = 0;
    uint32_t handed_ = 0;
    std::atomic<bool> terminateFlag_{false};
    uint32_t threadId_ = 0;
    int32_t runErrorType_ = -1;  // the error this run recorded, -1 none
    uint32_t generation_ = 0;
    bool answerChecked_ = false;
};
