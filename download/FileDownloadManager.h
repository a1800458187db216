// The object behind one download handle: client operations, segment building and the controller loop.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "download/AdaptiveThreadController.h"
#include "download/DownloadGlobalData.h"
#include "download/HttpDownloader.h"
#include "download/Mutex.h"
#include "download/WorkerThread.h"
#include "platform/Mutex.h"

enum ManagerState : int32_t {
    kManagerPauseRequested = 0,
    kManagerPaused = 1,
    kManagerStopping = 2,
    kManagerStopped = 3,
    kManagerRunning = 4,
    kManagerCompleted = 5,
    kManagerFinalisationFailed = 6,
    kManagerError = 7,
};

class FileDownloadManager : private AdaptiveInputs {
public:
    FileDownloadManager() = default;
    ~FileDownloadManager() override;
    FileDownloadManager(const FileDownloadManager&) = delete;
    FileDownloadManager& operator=(const FileDownloadManager&) = delete;

    int32_t init(const DownloadInput* input) EXCLUDES(managerLock_);
    int32_t setCookie(const std::string& url) EXCLUDES(managerLock_);
    int32_t getFileInfo(uint64_t* size, uint8_t* segmentable) EXCLUDES(managerLock_);
    int32_t start() EXCLUDES(managerLock_);
    int32_t pause() EXCLUDES(managerLock_);
    int32_t resume() EXCLUDES(managerLock_);
    int32_t stop() EXCLUDES(managerLock_);
    int32_t close() EXCLUDES(managerLock_);
    int32_t setPreference(const DownloadPreference* preference) EXCLUDES(managerLock_);
    int32_t getLastError(DownloadErrorInfo* info);
    int32_t addDLEIntercept(int type, IDleIntercept* intercept);

    int32_t state() const { return state_.load(); }
    DownloadGlobalData& globalData() { return globalData_; }

private:
    // -4 when not initialized, 20 while running (with the last error set), else 0.
    int32_t refuseUnlessIdle() REQUIRES(managerLock_);
    int32_t createSegments() REQUIRES(managerLock_);
    int32_t createSegmentsFromDisk() REQUIRES(managerLock_);
    int32_t createSingleSegment() REQUIRES(managerLock_);
    int32_t terminate() EXCLUDES(terminateLock_);
    void cleanup() REQUIRES(managerLock_);
    void joinControllerThread();
    void controllerLoop();
    void finalise();
    void processErrors();
    void checkDeadConnections();
    void reportThreadStatus();
    void adjustThreadCount(AdaptiveThreadController& adaptive);
    bool hasETagChanged();
    bool fetchETAGValueFromServer(std::string& etag) EXCLUDES(requestLock_);
    // Ends the ETag requests under way (the controller's after a fatal error), and any started
    // before the next start, so that stop and close never wait on a silent server.
    void cancelOpenRequests() EXCLUDES(requestLock_);
    // Pauses the threads without the manager lock, so the controller can use it too.
    bool pauseThreads() EXCLUDES(threadControlLock_);
    void sendProgress();
    void sleepUnlessStopping(uint64_t milliseconds);
    bool createSegmentJob(uint32_t index, uint64_t start, uint32_t size, uint32_t recorded);
    // A segment recorded as complete, read back from the partial file and judged by the client again.
    bool completeSegmentStillAccepted(uint32_t index, uint64_t fileOffset, uint32_t size);

    uint64_t totalReceivedBytes() override { return globalData_.totalReceivedBytes.load(); }
    uint32_t queuedSerializationJobs() override { return globalData_.getJobPool().getJobCount(kSerializationQueue); }
    uint32_t nowSeconds() override;
    void reportStatistics(const void* statistics, int length) override;

    std::thread controllerThread_;
    bool noMetaFile_ = false;
    std::atomic<bool> initialized_{false};
    // Serialises the client operations above and guards no field: the controller never takes it.
    Mutex managerLock_;
    int32_t deadConnections_ = 0;
    uint32_t ticksSinceThreadChange_ = 0;
    WorkerThreadPool threadPool_;
    std::unique_ptr<WorkerThread> serializerThread_;
    DownloadGlobalData globalData_;
    std::chrono::steady_clock::time_point startTime_{};
    std::atomic<int32_t> state_{kManagerStopped};
    std::atomic<bool> finished_{false};
    uint32_t runThreadCount_ = 0;  // this run's worker count; the configured maximum stays as set
    // This run's thread control, fixed at start: a preference set while paused applies to the next start.
    bool runAdaptive_ = false;
    bool runNewAdaptive_ = false;
    platform::Mutex terminateLock_;      // the controller and a client stop may both end the threads
    platform::Mutex threadControlLock_;  // pause and resume of the threads, never held while waiting on managerLock_
    platform::Mutex requestLock_;
    std::vector<HttpDownloader*> openRequests_ GUARDED_BY(requestLock_);
    bool requestsCancelled_ GUARDED_BY(requestLock_) = false;
};
