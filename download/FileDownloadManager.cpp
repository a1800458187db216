// The download manager: client operations, segments, and the 10 ms controller loop.
#include "download/FileDownloadManager.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>

#include "download/EngineLogger.h"
#include "download/EngineResults.h"
#include "download/EngineTimings.h"
#include "download/ErrorHandler.h"
#include "download/HttpDownloader.h"
#include "platform/Url.h"

namespace {

using Result = ManagerResult;
using Code = EngineErrorCode;
using Action = EngineErrorAction;

constexpr const char* kNotInitialized = "download yet not initialized";
constexpr const char* kRunning = "download is in running state. Should be paused before any preference can be set";
constexpr int32_t kDeadConnectionLimit = 100;

void sleepMs(uint64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

FileDownloadManager::~FileDownloadManager() { close(); }

uint32_t FileDownloadManager::nowSeconds() { return monotonicSeconds(); }

void FileDownloadManager::reportStatistics(const void* statistics, int length) {
    globalData_.notifyIntercepts(kEventAdaptiveStatistics, const_cast<void*>(statistics), length);
}

int32_t FileDownloadManager::init(const DownloadInput* input) {
    MutexLock lock(managerLock_);
    if (state_ != kManagerStopped || initialized_) {
        DLE_TRACE("FileDownloadManager::init : already initialized");
        return flat(Result::AlreadyInitialized);
    }
    if (input == nullptr) {
        globalData_.setLastError(flat(Code::InvalidInput),
                                 "Input parameter structure contains invalid values as preference", 0, 1);
        return flat(Result::Failed);
    }
    noMetaFile_ = !input->useMetaFile;
    if (!globalData_.init(*input)) return flat(Result::Failed);
    DLE_INFO("The file to be downloaded is %s", input->serverPath.c_str());
    DLE_INFO("Going to download the file at %s/%s", input->targetFolder.c_str(), input->targetFileName.c_str());
    initialized_ = true;
    state_ = kManagerStopped;
    return flat(Result::Ok);
}

int32_t FileDownloadManager::refuseUnlessIdle() {
    if (!initialized_) {
        globalData_.setLastError(flat(Code::InvalidInput), kNotInitialized, 0, 1);
        return flat(Result::NotInitialized);
    }
    if (state_ == kManagerRunning) {
        globalData_.setLastError(flat(Code::InvalidInput), kRunning, 0, 1);
        return flat(Result::Running);
    }
    return flat(Result::Ok);
}

int32_t FileDownloadManager::setCookie(const std::string& url) {
    MutexLock lock(managerLock_);
    if (int32_t refused = refuseUnlessIdle()) return refused;
    if (url.empty()) {
        globalData_.setLastError(flat(Code::InvalidInput),
                                 "cookie target url is empty. So, cannot set cookie from this url", 0, 1);
        return flat(Result::InvalidArgument);
    }
    // The scheme is the session's; the authority goes as written, the target without its "/".
    const platform::Url parts = platform::splitUrl(url);
    const std::string& host = parts.authority;
    std::string path = parts.target();
    if (!path.empty() && path.front() == '/') path.erase(0, 1);
    DownloadSessionPreference& preference = globalData_.getPreference();
    HttpDownloader downloader(globalData_.getProxyHolder(), &preference);
    downloader.init(globalData_.getProxyHolder(), &preference);
    ErrorHandler handler;
    for (;;) {
        if (downloader.setCookieFromURL(host, path)) return flat(Result::Ok);
        ErrorRecord record;
        downloader.getLastError(record);
        int action = globalData_.classifyIntoLastError(handler, record);
        if (action != flat(Action::Retry)) {
            DLE_ERROR("failed to init the http downloader to set cookie");
            return flat(Result::OperationFailed);
        }
        DLE_INFO("some intermittent error while setting cookie. Retrying now. Error code is %d and error type is %d",
                 record.nativeCode, record.errorType);
        sleepMs(engineTimings().probeRetrySleepMs);
    }
}

int32_t FileDownloadManager::getFileInfo(uint64_t* size, uint8_t* segmentable) {
    MutexLock lock(managerLock_);
    if (!initialized_) {
        globalData_.setLastError(flat(Code::InvalidInput), kNotInitialized, 0, 1);
        return flat(Result::NotInitialized);
    }
    if (!globalData_.fetchFileInfo()) return flat(Result::OperationFailed);
    if (size != nullptr) *size = globalData_.fileSize();
    if (segmentable != nullptr)
        *segmentable = (globalData_.getPreference().singleStream || globalData_.rangesRefused()) ? 0 : 1;
    return flat(Result::Ok);
}

bool FileDownloadManager::createSegmentJob(uint32_t index, uint64_t start, uint32_t size, uint32_t recorded) {
    SegmentPtr segment = globalData_.getSegmentPool().createAndGetSegmentFromPool(index);
    if (!segment) return false;
    segment->setRange(start, size, index);
    return globalData_.createAndAddDownloadingJob(segment, index, recorded, false);
}

int32_t FileDownloadManager::createSingleSegment() {
    SegmentPool& pool = globalData_.getSegmentPool();
    globalData_.resetWatermarks(1);
    if (!pool.init(1)) return flat(Result::OperationFailed);
    SegmentPtr segment = pool.createAndGetSegmentFromPool(0);
    if (!segment) {
        DLE_ERROR("failed to create a new segment");
        return flat(Result::OperationFailed);
    }
    if (!globalData_.createAndAddDownloadingJob(segment, 0, 0, false)) return flat(Result::OperationFailed);
    DLE_TRACE("number of segments created %d", 1);
    globalData_.remainingJobs = 1;
    return flat(Result::Ok);
}

int32_t FileDownloadManager::createSegments() {
    DownloadSessionPreference& preference = globalData_.getPreference();
    uint64_t bytes = globalData_.bytesToDownload();
    if (bytes == 0 || preference.singleStreamInEffect) return createSingleSegment();
    uint32_t segmentSize = preference.segmentSize;
    DLE_TRACE("Segment Size for current session is %d", static_cast<int>(segmentSize));
    uint64_t n = bytes / segmentSize;
    if (!globalData_.getSegmentPool().init(static_cast<uint32_t>(n + 1))) return flat(Result::OperationFailed);
    globalData_.resetWatermarks(static_cast<uint32_t>(n + 1));
    int32_t result = flat(Result::Ok);
    uint64_t start = globalData_.startAddress();
    for (uint64_t i = 0; i < n; ++i) {
        if (!createSegmentJob(static_cast<uint32_t>(i), start + i * segmentSize, segmentSize, 0)) {
            globalData_.getSegmentPool().freeSegmentInPool(static_cast<uint32_t>(i));
            result = flat(Result::OperationFailed);
        }
    }
    uint64_t remainder = bytes - n * segmentSize;
    uint64_t count = n;
    if (remainder != 0) {
        if (!createSegmentJob(static_cast<uint32_t>(n), start + n * segmentSize, static_cast<uint32_t>(remainder), 0)) {
            DLE_ERROR("failed to create the last segment");
            return flat(Result::OperationFailed);
        }
        ++count;
    }
    DLE_TRACE("number of segments created %d", static_cast<int>(count));
    globalData_.remainingJobs = static_cast<int32_t>(count);
    return result;
}

bool FileDownloadManager::completeSegmentStillAccepted(uint32_t index, uint64_t fileOffset, uint32_t size) {
    // The records can outlive their data (a power loss orders nothing): a client that judges
    // segments judges the ones on disk again before they are taken as done.
    if (!globalData_.hasIntercept(kEventSegmentWritten)) return true;
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size == 0 ? 1 : size]);
    if (!bytes || !globalData_.getOutputFile().readAt(fileOffset, bytes.get(), size)) return false;
    SegmentView view{size, index, bytes.get()};
    return globalData_.notifyIntercepts(kEventSegmentWritten, &view, static_cast<int>(sizeof view)) == 0;
}

int32_t FileDownloadManager::createSegmentsFromDisk() {
    DownloadSessionPreference& preference = globalData_.getPreference();
    uint32_t segmentSize = preference.segmentSize;
    uint64_t bytes = globalData_.bytesToDownload();
    uint64_t n = bytes / segmentSize;
    uint64_t remainder = bytes - n * segmentSize;
    DLE_TRACE("num of jobs to be created is %d", static_cast<int>(n));
    if (!globalData_.getSegmentPool().init(static_cast<uint32_t>(n + 1))) return flat(Result::OperationFailed);
    globalData_.resetWatermarks(static_cast<uint32_t>(n + 1));
    uint64_t start = globalData_.startAddress();
    int32_t jobs = 0;
    uint64_t last = remainder != 0 ? n + 1 : n;
    for (uint64_t i = 0; i < last; ++i) {
        uint32_t index = static_cast<uint32_t>(i);
        uint32_t size = i < n ? segmentSize : static_cast<uint32_t>(remainder);
        uint32_t recorded = 0;
        // A damaged record discredits the whole meta file: the caller starts afresh.
        if (!globalData_.getMetaFile().readSegmentProgress(index, recorded)) return flat(Result::OperationFailed);
        if (recorded == size && !completeSegmentStillAccepted(index, i * segmentSize, size)) {
            DLE_INFO("segment %d on disk is no longer accepted. Downloading it again", static_cast<int>(index));
            recorded = 0;
            globalData_.getMetaFile().writeSegmentProgress(index, 0);
        }
        if (recorded == size) {
            DLE_TRACE("already downloaded bytes for segment %d is %d", static_cast<int>(index),
                      static_cast<int>(recorded));
            globalData_.acceptedBytes += recorded;
            globalData_.watermark(index) = recorded;
            continue;
        }
        // A record beyond the segment's size cannot be trusted: the segment starts over.
        if (recorded > size) recorded = 0;
        SegmentPtr segment = globalData_.getSegmentPool().createAndGetSegmentFromPool(index);
        if (!segment) return flat(Result::OperationFailed);
        segment->setRange(start + i * segmentSize, size, index);
        if (recorded > 0) {
            DLE_TRACE("partially downloaded bytes for segment %d is %d", static_cast<int>(index),
                      static_cast<int>(recorded));
            if (!segment->allocateBuffer(size)) return flat(Result::OperationFailed);
            if (!globalData_.getOutputFile().readAt(i * segmentSize, segment->buffer.get(), recorded)) {
                segment->releaseBuffer();
                recorded = 0;
            } else {
                segment->downloaded = recorded;
            }
        }
        globalData_.watermark(index) = recorded;
        if (!globalData_.createAndAddDownloadingJob(segment, index, recorded, false))
            return flat(Result::OperationFailed);
        ++jobs;
    }
    sendProgress();
    DLE_TRACE("number of jobs created when resuming from disk  are %d", static_cast<int>(jobs));
    globalData_.remainingJobs = jobs;
    return flat(Result::Ok);
}

void FileDownloadManager::sendProgress() {
    ProgressRecord record = globalData_.progressRecord();
    globalData_.notifyIntercepts(kEventProgress, &record, static_cast<int>(sizeof record));
}

int32_t FileDownloadManager::start() {
    MutexLock lock(managerLock_);
    DLE_TRACE("Starting download.");
    startTime_ = std::chrono::steady_clock::now();
    if (!initialized_) {
        globalData_.setLastError(flat(Code::InvalidInput), kNotInitialized, 0, 1);
        return flat(Result::NotInitialized);
    }
    // A controller that has terminated may still be finishing the file (state 3 until the rename is done):
    // let it end first, so that the state judged here is its final one.
    int32_t current = state_;
    if (controllerThread_.joinable() && current != kManagerRunning && current != kManagerPauseRequested &&
        current != kManagerPaused) {
        DLE_TRACE("FileDownloadManager::runThisThread thread is already running. Closing it first");
        joinControllerThread();
    }
    if (state_ != kManagerStopped && state_ != kManagerCompleted) {
        globalData_.setLastError(flat(Code::InvalidInput), kRunning, 0, 1);
        return flat(Result::AlreadyInitialized);
    }
    if (!globalData_.initializeFileDownload()) {
        DLE_ERROR("failed to init the global file data for downloading");
        return flat(Result::Failed);
    }
    finished_ = false;
    {
        platform::MutexLock guard(requestLock_);
        requestsCancelled_ = false;
    }
    deadConnections_ = 0;
    ticksSinceThreadChange_ = 0;
    DownloadSessionPreference& preference = globalData_.getPreference();
    int32_t result = flat(Result::Ok);
    if (preference.freshStart) {
        result = createSegments();
    } else if (createSegmentsFromDisk() != flat(Result::Ok)) {
        // The failed attempt's jobs refer to segments the fresh attempt replaces.
        globalData_.getJobPool().clear();
        globalData_.acceptedBytes = 0;
        ZAMDFileManager& meta = globalData_.getMetaFile();
        if (!meta.reset()) {
            DLE_TRACE("Failed to reset the zamd file");
        } else {
            std::map<std::string, std::string> values;
            globalData_.buildMetaInfo(values);
            meta.writeZAMDMetaInfoString();
            meta.writeHeaders(values, globalData_.bytesToDownload() / preference.segmentSize);
        }
        result = createSegments();
        if (result == flat(Result::Ok)) preference.freshStart = 1;
    }
    if (result != flat(Result::Ok)) {
        globalData_.setLastError(flat(Code::JobCreationFailed),
                                 "Failed to create the download jobs for the current file. Some unknown error.", 0, 1,
                                 flat(Action::Fatal));
        cleanup();
        return flat(Result::OperationFailed);
    }
    serializerThread_ = std::make_unique<WorkerThread>();
    if (!serializerThread_->init(kSerializerWorker, &globalData_.getJobPool())) {
        DLE_ERROR("failed to init file serializer thread");
        cleanup();
        return flat(Result::Failed);
    }
    if (!serializerThread_->start()) {
        cleanup();
        return flat(Result::Failed);
    }
    serializerThread_->run();
    DLE_TRACE("file serializer thread id is %d", 0);
    int32_t remaining = std::max<int32_t>(globalData_.remainingJobs.load(), 0);
    runThreadCount_ = std::min<uint32_t>(preference.threadCount, static_cast<uint32_t>(remaining));
    runAdaptive_ = preference.adaptiveThreadControl != 0;
    runNewAdaptive_ = preference.newAdaptiveAlgorithm != 0;
    globalData_.resetThreadActivity(runThreadCount_);
    DLE_TRACE("Number of downloader threads are %d", static_cast<int>(runThreadCount_));
    globalData_.notifyIntercepts(kEventStarted, nullptr, 0);
    if (!threadPool_.createThreads(runThreadCount_, &globalData_.getJobPool())) {
        DLE_TRACE("failed to init thread pool");
        cleanup();
        return flat(Result::Failed);
    }
    state_ = kManagerRunning;
    globalData_.reportedState = kManagerRunning;
    DLE_TRACE("starting the mac thread");
    try {
        controllerThread_ = std::thread([this] { controllerLoop(); });
    } catch (const std::system_error& error) {
        DLE_ERROR("failed to create the file download thread. Fatal Error. %d", error.code().value());
        cleanup();
        return flat(Result::Failed);
    }
    return flat(Result::Ok);
}

bool FileDownloadManager::pauseThreads() {
    platform::MutexLock control(threadControlLock_);
    int32_t running = kManagerRunning;
    if (!state_.compare_exchange_strong(running, kManagerPauseRequested)) return false;
    threadPool_.pauseAll();
    if (serializerThread_) serializerThread_->pause();
    int32_t requested = kManagerPauseRequested;
    // The controller may have marked it paused already; a stop meanwhile keeps its own state.
    if (state_.compare_exchange_strong(requested, kManagerPaused) || state_ == kManagerPaused)
        globalData_.reportedState = kManagerPaused;
    return true;
}

int32_t FileDownloadManager::pause() {
    MutexLock lock(managerLock_);
    if (!initialized_) {
        globalData_.setLastError(flat(Code::InvalidInput), kNotInitialized, 0, 1);
        return flat(Result::NotInitialized);
    }
    if (state_ != kManagerRunning) {
        DLE_TRACE("DLE is not running. so, cannot pause it now");
        return flat(Result::NothingToDo);
    }
    if (!pauseThreads()) return flat(Result::NothingToDo);
    globalData_.resetAcceptedBytes();
    return flat(Result::Ok);
}

int32_t FileDownloadManager::resume() {
    if (!initialized_) {
        globalData_.setLastError(flat(Code::InvalidInput), kNotInitialized, 0, 1);
        return flat(Result::NotInitialized);
    }
    MutexLock lock(managerLock_);
    int32_t current = state_;
    if (current != kManagerPauseRequested && current != kManagerPaused) {
        DLE_TRACE("dle is not paused. So, no need to resume");
        return flat(Result::Ok);
    }
    // Only while paused: workers never read the proxy settings while they are replaced.
    globalData_.initProxy();
    std::string stored = globalData_.responseValue("ETag");
    if (!stored.empty()) {
        std::string fetched;
        if (!fetchETAGValueFromServer(fetched)) return flat(Result::OperationFailed);
        if (fetched != stored) {
            DLE_TRACE(
                "The new ETAG (%s) is different from the previous ETAG value (%s). So, the current download is invalid.",
                fetched.c_str(), stored.c_str());
            globalData_.setLastError(flat(Code::FileChanged),
                                     "The file has changed on the server. Please close this workflow and try again.", 0,
                                     1, flat(Action::FileChanged));
            return flat(Result::FileChanged);
        }
    }
    platform::MutexLock control(threadControlLock_);
    state_ = kManagerRunning;
    threadPool_.resumeActive();
    if (serializerThread_) serializerThread_->run();
    globalData_.reportedState = kManagerRunning;
    return flat(Result::Ok);
}

int32_t FileDownloadManager::terminate() {
    if (!initialized_) return flat(Result::NotInitialized);
    platform::MutexLock guard(terminateLock_);
    state_ = kManagerStopping;
    threadPool_.closeAll();
    if (serializerThread_) {
        if (!serializerThread_->stop()) DLE_TRACE("Failed to terminate the file serializer thread.");
        DLE_TRACE("waiting to terminate file serializer job");
        serializerThread_->terminate();
    }
    int32_t result = flat(Result::Ok);
    if (!globalData_.close()) {
        DLE_ERROR("failed to close the download global data");
        result = flat(Result::OperationFailed);
    }
    state_ = kManagerStopped;
    globalData_.reportedState = kManagerStopped;
    return result;
}

void FileDownloadManager::joinControllerThread() {
    // The controller never joins itself.
    if (controllerThread_.joinable() && controllerThread_.get_id() != std::this_thread::get_id())
        controllerThread_.join();
}

int32_t FileDownloadManager::stop() {
    MutexLock lock(managerLock_);
    if (!initialized_) {
        globalData_.setLastError(flat(Code::InvalidInput), kNotInitialized, 0, 1);
        return flat(Result::NotInitialized);
    }
    if (state_ == kManagerStopped) {
        DLE_TRACE("already stopped. No need to stop now");
        return flat(Result::NothingToDo);
    }
    // A finished file is never cleaned away.
    if (state_ == kManagerCompleted) {
        joinControllerThread();
        return flat(Result::Ok);
    }
    int32_t result = terminate();
    if (result < 0) {
        DLE_TRACE("failed to stop the file downloader");
        return result;
    }
    // The controller may be waiting on a server that never answers.
    cancelOpenRequests();
    joinControllerThread();
    if (state_ == kManagerCompleted) return flat(Result::Ok);
    globalData_.cleanOutput();
    state_ = kManagerStopped;
    globalData_.reportedState = kManagerStopped;
    return flat(Result::Ok);
}

void FileDownloadManager::cleanup() {
    if (initialized_) {
        int32_t current = state_;
        if (current != kManagerCompleted && current != kManagerStopped && current != kManagerStopping &&
            current != kManagerFinalisationFailed) {
            DLE_TRACE("download is not complete and hence stopping the download now");
            terminate();
        }
        // The loop has ended or ends now; it may still use the serializer until joined.
        if (state_ == kManagerStopping || state_ == kManagerRunning) state_ = kManagerStopped;
        cancelOpenRequests();
        joinControllerThread();
        threadPool_.closeAll();
        if (serializerThread_) {
            serializerThread_->terminate();
            serializerThread_.reset();
        }
        globalData_.close();
        globalData_.markUninitialized();
    }
    state_ = kManagerStopped;
    globalData_.reportedState = kManagerStopped;
    initialized_ = false;
}

int32_t FileDownloadManager::close() {
    MutexLock lock(managerLock_);
    cleanup();
    return flat(Result::Ok);
}

int32_t FileDownloadManager::setPreference(const DownloadPreference* preference) {
    MutexLock lock(managerLock_);
    if (int32_t refused = refuseUnlessIdle()) return refused;
    if (preference != nullptr) globalData_.setPreference(*preference);
    return flat(Result::Ok);
}

int32_t FileDownloadManager::getLastError(DownloadErrorInfo* info) {
    if (info != nullptr) *info = globalData_.getLastError();
    return flat(Result::Ok);
}

int32_t FileDownloadManager::addDLEIntercept(int type, IDleIntercept* intercept) {
    globalData_.addDLEIntercept(type, intercept);
    return flat(Result::Ok);
}

bool FileDownloadManager::fetchETAGValueFromServer(std::string& etag) {
    DownloadSessionPreference& preference = globalData_.getPreference();
    HttpDownloader downloader(globalData_.getProxyHolder(), &preference);
    ErrorHandler handler;
    ErrorRecord record;
    if (!downloader.init(globalData_.getProxyHolder(), &preference)) {
        DLE_TRACE("fetchETAGValueFromServer: failed to init the http downloader to get the ETAG value");
        downloader.getLastError(record);
        globalData_.classifyIntoLastError(handler, record);
        return false;
    }
    {
        platform::MutexLock guard(requestLock_);
        if (requestsCancelled_) return false;
        openRequests_.push_back(&downloader);
    }
    bool sent = downloader.createAndSendRequest(preference.path);
    {
        platform::MutexLock guard(requestLock_);
        openRequests_.erase(std::find(openRequests_.begin(), openRequests_.end(), &downloader));
    }
    if (!sent) {
        DLE_TRACE("fetchETAGValueFromServer: failed to create and send the new request to get the ETAG value");
        downloader.getLastError(record);
        globalData_.classifyIntoLastError(handler, record);
        return false;
    }
    downloader.getResponseHeaderValue("ETag", etag);
    if (etag.empty()) {
        DLE_TRACE("fetchETAGValueFromServer: failed to get the ETAG value from the head request");
        return false;
    }
    return true;
}

void FileDownloadManager::cancelOpenRequests() {
    platform::MutexLock guard(requestLock_);
    requestsCancelled_ = true;
    for (HttpDownloader* request : openRequests_) request->cancel();
}

bool FileDownloadManager::hasETagChanged() {
    std::string stored = globalData_.responseValue("ETag");
    if (stored.empty()) return false;
    // An unreachable server or a missing ETag says nothing about the file: keep the partial download.
    DownloadErrorInfo saved = globalData_.getLastError();
    std::string fetched;
    bool ok = fetchETAGValueFromServer(fetched);
    globalData_.setLastError(saved);
    return ok && fetched != stored;
}

void FileDownloadManager::sleepUnlessStopping(uint64_t milliseconds) {
    const uint64_t step = 10;
    for (uint64_t waited = 0; waited < milliseconds; waited += step) {
        int32_t current = state_;
        if (current == kManagerStopping || current == kManagerStopped) return;
        sleepMs(std::min(step, milliseconds - waited));
    }
}

void FileDownloadManager::processErrors() {
    DownloadErrorInfo info;
    int type = 0;
    const std::optional<Action> action = engineErrorActionFromFlat(globalData_.processNextError(info, type));
    if (action == Action::None) return;
    globalData_.resetAcceptedBytes();
    auto endWithError = [this](DownloadErrorInfo& error) {
        // The state is final before the client hears of the error, so that what it does in answer sees it.
        globalData_.reportedState = kManagerError;
        globalData_.setLastError(error);
        state_ = kManagerError;
        finished_ = true;
        globalData_.notifyIntercepts(kEventError, &error, static_cast<int>(sizeof error));
    };
    // An action the family does not name does nothing more.
    switch (action.value_or(Action::None)) {
        case Action::UserActionable:
            pauseThreads();
            globalData_.clearErrors(type);
            globalData_.setLastError(info);
            globalData_.notifyIntercepts(kEventError, &info, static_cast<int>(sizeof info));
            break;
        case Action::Retry:
            DLE_INFO("some intermittent error. Retrying now. Error code is %d and error type is %d",
                     info.extendedErrorCode, info.errorType);
            break;
        case Action::Fatal:
            terminate();
            if (!globalData_.singleStreamRequested() && hasETagChanged()) {
                globalData_.cleanOutput();
                info.errorType = flat(Code::FileChanged);
                info.action = flat(Action::FileChanged);
                info.retryable = 0;
                info.message = "Bits have changed on the server. All files should be downloaded again now";
            }
            DLE_TRACE("Fatal error has occurred. Error code is %d and error type is %d", info.extendedErrorCode,
                      info.errorType);
            endWithError(info);
            break;
        case Action::FatalClean:
            DLE_TRACE(
                "Fatal termination error has occurred. Error code is %d and error type is %d. Downloaded files would be cleaned now",
                info.extendedErrorCode, info.errorType);
            terminate();
            globalData_.cleanOutput();
            endWithError(info);
            break;
        case Action::RetryLater:
            sleepUnlessStopping(static_cast<uint64_t>(std::max(info.retryDelaySeconds, 0)) * 1000);
            DLE_INFO("some intermittent error. Retrying now (after wait). Error code is %d and error type is %d",
                     info.extendedErrorCode, info.errorType);
            {
                platform::MutexLock control(threadControlLock_);
                // A client pause or stop during the wait stands.
                if (state_ == kManagerRunning) threadPool_.resumeActive();
            }
            break;
        case Action::RetryLimit:
            info.retryable = 0;
            DLE_TRACE(
                "Number of retry exceeds the limit. The error is considered as fatal now. The error type is %d and error code is %d",
                info.errorType, info.extendedErrorCode);
            terminate();
            endWithError(info);
            break;
        default: break;
    }
}

void FileDownloadManager::checkDeadConnections() {
    uint32_t now = monotonicSeconds();
    uint32_t limit = engineTimings().deadConnectionSeconds;
    for (auto& [number, activity] : globalData_.threadActivity()) {
        if (!activity->busy) continue;
        uint32_t lastActivity = activity->lastActivityTime;
        uint32_t last = lastActivity != 0 ? lastActivity : activity->startTime.load();
        uint32_t idle = now >= last ? now - last : 0;
        if (idle < limit) {
            if (lastActivity != 0) deadConnections_ = 0;
            continue;
        }
        DLE_INFO(
            "Canceling the job for thread %d. The thread seems to be hanged since no activity for the last %ld seconds. time reported is %ld",
            static_cast<int>(number), static_cast<long>(idle), static_cast<long>(last));
        threadPool_.cancelThreadJob(number);
        ++deadConnections_;
    }
    if (deadConnections_ > kDeadConnectionLimit) {
        DLE_INFO("dead connections count reached maximum limit of %d", kDeadConnectionLimit);
        ErrorRecord record;
        record.errorType = flat(EngineErrorType::DeadConnections);
        record.nativeCode = 503;
        record.message =
            "Dead connections maximum limit reached. Either the server is not responding or the network bandwidth is too low. Try after some time.";
        globalData_.addError(record);
        deadConnections_ = 0;
    }
}

void FileDownloadManager::reportThreadStatus() {
    JobPoolContainer& jobs = globalData_.getJobPool();
    ThreadSummary summary{jobs.getJobCount(kSerializationQueue), threadPool_.getActiveCount(),
                          jobs.getJobCount(kDownloadQueue)};
    globalData_.notifyIntercepts(kEventThreadSummary, &summary, static_cast<int>(sizeof summary));
    for (auto& [number, activity] : globalData_.threadActivity()) {
        ThreadStatus status{number, static_cast<uint32_t>(threadPool_.threadState(number)),
                            activity->bytesReceived.load()};
        globalData_.notifyIntercepts(kEventThreadStatus, &status, static_cast<int>(sizeof status));
    }
}

void FileDownloadManager::adjustThreadCount(AdaptiveThreadController& adaptive) {
    uint32_t active = threadPool_.getActiveCount();
    ++ticksSinceThreadChange_;
    adaptive.addSample();
    adaptive.reportStatistics();
    if (!runAdaptive_ || ticksSinceThreadChange_ <= active / 4 + 4) return;
    bool valid = false;
    int32_t decision = adaptive.evaluate(valid);
    if (!valid) return;
    ticksSinceThreadChange_ = 0;
    platform::MutexLock control(threadControlLock_);
    if (state_ != kManagerRunning) return;
    if (decision == kAdaptiveDamp) {
        if (active >= 2) {
            DLE_INFO("decrementing the thread count. now the active thread count is %d", static_cast<int>(active - 1));
            threadPool_.deactivateThread();
        } else {
            adaptive.setState(kAdaptiveNop);
        }
    } else if (decision == kAdaptiveExcite) {
        if (active < runThreadCount_) {
            DLE_INFO("incrementing the thread. now the active thread count is %d", static_cast<int>(active + 1));
            threadPool_.activateNextThread();
        } else {
            adaptive.setState(kAdaptiveNop);
        }
    }
}

void FileDownloadManager::finalise() {
    if (initialized_) sendProgress();
    reportThreadStatus();
    finished_ = true;
    terminate();
    DownloadSessionPreference& preference = globalData_.getPreference();
    bool ok;
    if (preference.singleStreamInEffect && globalData_.responseValue("Content-Encoding") == "gzip") {
        DLE_INFO("gzip encoding received in respose header. Going to unzip...");
        ok = globalData_.decompressOutputFile("");
    } else {
        DLE_INFO("No encoding received in respose header. Going to rename...");
        ok = globalData_.renameOutputFile("");
    }
    if (ok) {
        // Only now: a failed finish keeps the partial download resumable.
        if (!globalData_.getMetaFile().deleteFile())
            DLE_TRACE("[WARN]: Failed to delete the zamd file. May be due to some unclosed handle.");
        std::string finished = globalData_.targetPath("");
        state_ = kManagerCompleted;
        globalData_.reportedState = kManagerCompleted;
        globalData_.notifyIntercepts(kEventFileComplete, finished.data(), static_cast<int>(finished.size()));
        double milliseconds =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - startTime_).count();
        DLE_INFO("File download complete: %s size: %llu Bytes, Time Taken:%lf milliseconds ",
                 preference.serverPath.c_str(), static_cast<unsigned long long>(globalData_.acceptedBytes.load()),
                 milliseconds);
    } else {
        DLE_ERROR("An error has occurred while renaming the temporary named downloaded file.");
        globalData_.reportedState = kManagerFinalisationFailed;
        DownloadErrorInfo error = globalData_.getLastError();
        state_ = kManagerFinalisationFailed;
        globalData_.notifyIntercepts(kEventError, &error, static_cast<int>(sizeof error));
    }
    if (initialized_) sendProgress();
}

void FileDownloadManager::controllerLoop() {
    AdaptiveThreadController adaptive(*this);
    DownloadSessionPreference& preference = globalData_.getPreference();
    const EngineTimings& timings = engineTimings();
    {
        platform::MutexLock control(threadControlLock_);
        if (state_ == kManagerRunning) {
            if (runAdaptive_) {
                for (uint32_t i = 0; i < runThreadCount_; i += 2) threadPool_.activateNextThread();
            } else {
                threadPool_.runAll();
            }
        }
    }
    uint32_t tick = 0;
    bool singleStream = preference.singleStreamInEffect != 0;
    for (;;) {
        int32_t current = state_;
        if (current == kManagerStopped || current == kManagerStopping) break;
        tick = (tick + 1) % 100;
        sleepMs(timings.controllerTickMs);
        if (tick % 20 == 0 && initialized_) sendProgress();
        if (tick == 10) reportThreadStatus();
        current = state_;
        if (current == kManagerPauseRequested) {
            if (state_.compare_exchange_strong(current, kManagerPaused)) globalData_.reportedState = kManagerPaused;
        } else if (current == kManagerPaused) {
            sleepMs(timings.idlePollMs);
        } else if (current == kManagerRunning) {
            if (globalData_.remainingJobs.load() > 0) {
                if (tick == 0 || tick == 50) processErrors();
                if (tick == 20 && !finished_ && !singleStream) checkDeadConnections();
                if (!singleStream && state_ == kManagerRunning) {
                    bool adjust = runNewAdaptive_ ? (tick == 33 || tick == 66 || tick == 99) : tick == 50;
                    if (adjust) adjustThreadCount(adaptive);
                }
            } else {
                finalise();
            }
        }
        current = state_;
        if (current == kManagerStopped || current == kManagerStopping || finished_) break;
    }
}
