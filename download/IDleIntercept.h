// The client callback interface of the download engine and the payloads of its events.
#pragma once

#include <cstdint>

class IDleIntercept {
public:
    virtual ~IDleIntercept() = default;
    // A non-zero answer to events 2 and 3 rejects the segment; -5 stops delivery to later intercepts.
    virtual int intercept(int eventType, void* data, int length) = 0;
};

enum DownloadEvent : int {
    kEventFileInfo = 1,
    kEventSegmentDownloaded = 2,
    kEventSegmentWritten = 3,
    kEventFileComplete = 4,
    kEventStarted = 6,
    kEventError = 7,
    kEventProgress = 8,
    kEventThreadSummary = 9,
    kEventThreadStatus = 10,
    kEventAdaptiveStatistics = 11,
};

inline constexpr int kInterceptStopDelivery = -5;

struct SegmentView {
    uint32_t size;
    uint32_t index;
    const uint8_t* bytes;  // valid only during the call
};

struct ProgressRecord {
    uint64_t acceptedBytes = 0;
    uint32_t reserved = 0;
    uint32_t reportedState = 3;
};

struct ThreadSummary {
    uint32_t serializationJobs;
    uint32_t activeThreads;
    uint32_t downloadJobs;
};

struct ThreadStatus {
    uint32_t threadNumber;
    uint32_t threadState;
    uint64_t bytesReceived;
};
