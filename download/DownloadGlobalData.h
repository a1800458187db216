// The state every thread of one download shares, and the decisions taken once per start.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "download/DownloadErrorInfo.h"
#include "download/DownloadInput.h"
#include "download/DownloadPreference.h"
#include "download/ErrorHandler.h"
#include "download/ErrorRecord.h"
#include "download/FileHandler.h"
#include "download/IDleIntercept.h"
#include "download/JobPoolContainer.h"
#include "download/Mutex.h"
#include "download/ProxySettingsHolder.h"
#include "download/Segment.h"
#include "download/ZAMDFileManager.h"
#include "platform/Mutex.h"
#include "platform/ThreadChecker.h"

// Activity of one download worker thread; written by the worker, read by the controller.
struct ThreadActivity {
    std::atomic<uint32_t> startTime{0};
    std::atomic<uint32_t> lastActivityTime{0};
    std::atomic<uint32_t> endTime{0};
    std::atomic<uint8_t> busy{0};
    std::atomic<uint64_t> bytesReceived{0};
};

// Received data waiting to be written and validated; workers wait above this until the writer has
// brought it down to the resume mark, so they do not wake for every piece written.
inline constexpr uint64_t kMaximumPendingSerializationBytes = 64ull * 1024 * 1024;
inline constexpr uint64_t kResumePendingSerializationBytes = 48ull * 1024 * 1024;

class DownloadGlobalData {
public:
    DownloadGlobalData();
    ~DownloadGlobalData();
    DownloadGlobalData(const DownloadGlobalData&) = delete;
    DownloadGlobalData& operator=(const DownloadGlobalData&) = delete;

    bool init(const DownloadInput& input);
    void initProxy();
    bool initializeFileDownload();
    DownloadSessionPreference& getPreference() { return preference_; }
    bool fetchFileInfo();
    bool validateFilePart();
    bool compareMetaInfo(const std::map<std::string, std::string>& stored);
    void buildMetaInfo(std::map<std::string, std::string>& values);
    bool addDLEIntercept(int type, IDleIntercept* intercept) EXCLUDES(interceptLock_);
    int notifyIntercepts(int type, void* data, int length) EXCLUDES(interceptLock_);
    bool hasIntercept(int type) EXCLUDES(interceptLock_);
    JobPoolContainer& getJobPool() { return jobPool_; }
    FileHandler& getOutputFile() { return outputFile_; }
    // Debug builds: stops a write to the partial file from any thread but this run's serializer.
    void assertOutputWriter() const { outputWriter_.check("the partial file"); }
    ZAMDFileManager& getMetaFile() { return metaFile_; }
    SegmentPool& getSegmentPool() { return segmentPool_; }
    ProxySettingsHolder* getProxyHolder() { return &proxyHolder_; }
    void setPreference(const DownloadPreference& preference);
    bool createAndAddDownloadingJob(const SegmentPtr& segment, uint32_t index, uint32_t bytesPresent, bool atFront);
    bool createAndAddSerializationJob(const SegmentPtr& segment, uint32_t jobId, uint32_t bufferOffset, uint32_t length,
                                      uint64_t fileOffset, bool lastPiece, bool endOfStream = false,
                                      uint32_t generation = 0);
    void addError(const ErrorRecord& record) EXCLUDES(errorLock_);
    int processNextError(DownloadErrorInfo& info, int& errorType) EXCLUDES(errorLock_);
    void clearErrors(int errorType) EXCLUDES(errorLock_);
    void clearAllErrors() EXCLUDES(errorLock_);
    void setLastError(int32_t type, const std::string& message, int32_t code, uint8_t retryable, int32_t action = 0)
        EXCLUDES(lastErrorLock_);
    void setLastError(const DownloadErrorInfo& info) EXCLUDES(lastErrorLock_);
    DownloadErrorInfo getLastError() EXCLUDES(lastErrorLock_);
    // Classifies a failure record into the last error with a probe's own policy.
    int classifyIntoLastError(ErrorHandler& handler, const ErrorRecord& record);
    void mapFileSystemErrorIntoLastError(int code, const std::string& path);
    bool cleanOutput();
    void touchThreadActivity(uint32_t thread);
    void markThreadStart(uint32_t thread);
    void markThreadEnd(uint32_t thread);
    void addThreadBytes(uint32_t thread, uint64_t bytes) EXCLUDES(errorLock_);
    // The bytes of a single stream, which reach reachedOffset of the file. Every try starts at
    // byte 0 again, so only a try that gets past the furthest byte of the earlier ones is progress.
    void addSingleStreamBytes(uint32_t thread, uint64_t bytes, uint64_t reachedOffset) EXCLUDES(errorLock_);
    bool renameOutputFile(const std::string& name);
    void resetAcceptedBytes();
    bool decompressOutputFile(const std::string& name);
    // Closes the files and drops every job and segment; the input stays applied.
    bool close();
    void markUninitialized() { initialized_ = false; }

    // Activity records, made by the manager before any worker starts.
    void resetThreadActivity(uint32_t threads);
    std::map<uint32_t, std::unique_ptr<ThreadActivity>>& threadActivity() { return threadActivity_; }

    std::string responseValue(const std::string& name) EXCLUDES(responseLock_);
    void setResponseValue(const std::string& name, const std::string& value) EXCLUDES(responseLock_);

    std::string partialPath() const { return preference_.targetFolder + preference_.partialFileName; }
    std::string metaPath() const { return partialPath() + ".zamd"; }
    std::string targetPath(const std::string& name) const {
        return preference_.targetFolder + (name.empty() ? preference_.targetFileName : name);
    }

    // Meta records advance only over the written prefix of a segment; the serializer alone uses them.
    void resetWatermarks(uint32_t count);
    uint32_t& watermark(uint32_t index);

    bool isInitialized() const { return initialized_; }
    uint64_t fileSize() const { return fileSize_; }
    uint64_t startAddress() const { return startAddress_; }
    uint64_t bytesToDownload() const { return bytesToDownload_; }
    bool rangesRefused() const { return rangesRefused_ != 0; }
    bool singleStreamRequested() const { return singleStreamRequested_ != 0; }
    bool useMetaRecords() const { return preference_.useMetaFile && !preference_.singleStreamInEffect; }

    std::atomic<uint64_t> acceptedBytes{0};
    std::atomic<uint32_t> reportedState{3};
    std::atomic<int32_t> remainingJobs{0};
    std::atomic<uint64_t> totalReceivedBytes{0};
    std::atomic<uint64_t> pendingSerializationBytes{0};
    // Written or discarded pieces leave the count here, waking workers that wait for room.
    void releasePendingSerialization(uint64_t length);
    // Waits at most `limit` for the backlog to reach the resume mark; true when it has.
    bool waitForSerializerRoom(std::chrono::milliseconds limit);
    // Bumped when a single stream restarts; pieces of an older stream are discarded.
    std::atomic<uint32_t> streamGeneration{0};

    ProgressRecord progressRecord() const {
        ProgressRecord record;
        record.acceptedBytes = acceptedBytes.load();
        record.reportedState = reportedState.load();
        return record;
    }

private:
    bool prepareFreshOutput();
    void writeFreshMetaFile();
    bool tryResumeCandidate();
    // The partial file is still the one the output handle wrote; sets the last error when not.
    bool writtenFileInPlace();

    JobPoolContainer jobPool_;
    DownloadSessionPreference preference_;
    Mutex interceptLock_;
    std::map<int, std::vector<IDleIntercept*>> intercepts_ GUARDED_BY(interceptLock_);
    // One bit per event type that has an intercept: an event nobody listens to never waits for the
    // lock that a slow callback of another event holds.
    std::atomic<uint64_t> registeredTypes_{0};
    // Guards no field: it orders a worker's test of the backlog against the release that wakes it.
    platform::Mutex roomLock_;
    platform::CondVar roomChanged_;
    FileHandler outputFile_;
    [[no_unique_address]] platform::ThreadChecker outputWriter_;
    bool initialized_ = false;
    bool createdDirectory_ = false;
    bool createdFile_ = false;
    bool fileInfoFetched_ = false;
    ProxySettingsHolder proxyHolder_;
    Mutex errorLock_;
    ErrorHandler errorHandler_ GUARDED_BY(errorLock_);
    // The furthest byte a single stream of this start reached.
    uint64_t singleStreamFurthest_ GUARDED_BY(errorLock_) = 0;
    std::map<int, std::vector<ErrorRecord>> pendingErrors_ GUARDED_BY(errorLock_);
    Mutex lastErrorLock_;
    DownloadErrorInfo lastError_ GUARDED_BY(lastErrorLock_);
    ZAMDFileManager metaFile_;
    SegmentPool segmentPool_;
    uint64_t fileSize_ = 0;
    uint64_t startAddress_ = 0;
    uint64_t bytesToDownload_ = 0;
    uint32_t singleStreamRequested_ = 0;
    // The range probe's verdict, kept apart from the in-effect flag that each start sets.
    uint8_t rangesRefused_ = 0;
    Mutex responseLock_;
    std::map<std::string, std::string> responseValues_ GUARDED_BY(responseLock_);
    std::map<uint32_t, std::unique_ptr<ThreadActivity>> threadActivity_;
    std::vector<uint32_t> watermarks_;
};
