// Ranged and single-stream download of one segment.
#include "download/DownloadJob.h"

#include <chrono>
#include <thread>

#include "download/DownloadGlobalData.h"
#include "download/EngineLogger.h"
#include "download/EngineResults.h"
#include "download/EngineTimings.h"
#include "download/ErrorHandler.h"
#include "download/FileSystemUtils.h"

namespace {
void sleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
constexpr const char* kWrongLocation =
    "segment's (start Download Address) is greater than file part download preference's (start Download Address that mean data will be written at wrong location.";
}  // namespace

DownloadJob::DownloadJob(uint32_t jobId) : BaseJob(jobId), downloader_(nullptr, nullptr) {}

DownloadJob::~DownloadJob() { downloader_.cancel(); }

bool DownloadJob::initialize(DownloadGlobalData* globalData, const SegmentPtr& segment, uint32_t received) {
    if (globalData == nullptr || !segment) {
        DLE_ERROR("DownloadJob::initialize : invalid parameters");
        return false;
    }
    globalData_ = globalData;
    segment_ = segment;
    received_ = received;
    pending_ = 0;
    handed_ = received;
    terminateFlag_ = false;
    return true;
}

bool DownloadJob::terminate() {
    int32_t current = state();
    if (current == kJobStopped || current == kJobFinished) {
        setState(kJobStopped);
        return true;
    }
    DLE_TRACE("forcing to terminate the download job (%d)", static_cast<int>(jobId_));
    // Flag and state first, so the worker takes the cancelled read for a stop, not a failure.
    terminateFlag_ = true;
    setState(kJobStopping);
    downloader_.cancel();
    return true;
}

bool DownloadJob::reset() {
    received_ = 0;
    pending_ = 0;
    handed_ = 0;
    if (segment_) {
        // Queued pieces may still point into the old buffer: the next run fills a fresh one.
        if (segment_->size != 0) segment_->releaseBuffer();
        segment_->resetCounters();
    }
    terminateFlag_ = false;
    return true;
}

bool DownloadJob::interrupted() const {
    int32_t current = state();
    return terminateFlag_ || current == kJobPauseRequested || current == kJobStopping;
}

void DownloadJob::recordError(int32_t type, int32_t code, const char* message) {
    ErrorRecord record;
    record.errorType = type;
    record.nativeCode = code;
    record.message = message;
    runErrorType_ = type;
    globalData_->addError(record);
}

void DownloadJob::recordDownloaderError() {
    ErrorRecord record;
    downloader_.getLastError(record);
    runErrorType_ = record.errorType;
    globalData_->addError(record);
}

bool DownloadJob::waitForSerializerRoom() {
    if (globalData_->pendingSerializationBytes.load() <= kMaximumPendingSerializationBytes) return true;
    // Blocked, not polling: the writer is the bottleneck here and needs the CPU. The timeout only
    // bounds how late a pause or stop is seen.
    while (!globalData_->waitForSerializerRoom(std::chrono::milliseconds(50))) {
        if (state() != kJobRunning) return false;
    }
    return state() == kJobRunning;
}

bool DownloadJob::fileStillMatches() {
    if (answerChecked_) return true;
    answerChecked_ = true;
    if (globalData_->getPreference().singleStreamInEffect) return true;
    std::string stored = globalData_->responseValue("ETag");
    std::string received;
    downloader_.getResponseHeaderValue("ETag", received);
    bool changed = !stored.empty() && !received.empty() && received != stored;
    // The complete length in Content-Range names the file the bytes belong to; without an ETag it
    // is the only sign that a segment comes from another version of the file.
    std::string range;
    downloader_.getResponseHeaderValue("Content-Range", range);
    size_t slash = range.rfind('/');
    uint64_t total = 0;
    if (slash != std::string::npos && slash + 1 < range.size() &&
        FileSystemUtils::stringToUInt64(range.data() + slash + 1, range.size() - slash - 1, total) &&
        total != globalData_->fileSize()) {
        DLE_ERROR("the server answered with a file of %llu bytes instead of %llu",
                  static_cast<unsigned long long>(total), static_cast<unsigned long long>(globalData_->fileSize()));
        changed = true;
    }
    if (!changed) return true;
    recordError(flat(EngineErrorType::FileChanged), 0, "The file has changed on the server");
    return false;
}

bool DownloadJob::validateSegment(Segment& segment) {
    SegmentView view{segment.size, segment.index, segment.buffer.get()};
    if (globalData_->notifyIntercepts(kEventSegmentDownloaded, &view, static_cast<int>(sizeof view)) == 0) return true;
    ErrorRecord record;
    record.errorType = flat(EngineErrorType::SegmentValidation);
    record.nativeCode = 417;
    record.segmentIndex = segment.index;
    runErrorType_ = record.errorType;
    globalData_->addError(record);
    DLE_ERROR("download job: failed to validate the segment (%d)", static_cast<int>(segment.index));
    segment.resetCounters();
    return false;
}

bool DownloadJob::handOver(uint32_t length, bool last, bool endOfStream) {
    DownloadGlobalData& data = *globalData_;
    bool singleStream = data.getPreference().singleStreamInEffect != 0;
    if (singleStream) {
        // Counted before the hand-over, so the serializer can never bring the count to 0 early.
        if (!endOfStream) ++data.remainingJobs;
        if (!data.createAndAddSerializationJob(segment_, segment_->index, 0, length, handed_, true, endOfStream,
                                               generation_)) {
            if (!endOfStream) --data.remainingJobs;
            return false;
        }
        return true;
    }
    if (segment_->start < data.startAddress()) {
        DLE_ERROR("%s", kWrongLocation);
        return false;
    }
    uint64_t fileOffset = segment_->start - data.startAddress() + handed_;
    return data.createAndAddSerializationJob(segment_, segment_->index, handed_, length, fileOffset, last);
}

int DownloadJob::run(uint32_t threadId) {
    int32_t created = kJobPausedBeforeRun;
    state_.compare_exchange_strong(created, kJobRunning);
    terminateFlag_ = false;
    threadId_ = threadId;
    runErrorType_ = -1;
    answerChecked_ = false;
    DownloadGlobalData& data = *globalData_;
    DownloadSessionPreference& preference = data.getPreference();
    downloader_.clearLastError();
    if (!downloader_.init(data.getProxyHolder(), &preference)) recordDownloaderError();

    Segment& segment = *segment_;
    if (segment.size != 0 && received_ >= segment.size) {
        DLE_TRACE("segment (%d)is already downloaded. marking it complete", static_cast<int>(segment.index));
        setState(kJobStopped);
        handed_ = 0;
        if (segment.start < data.startAddress() || !handOver(segment.size, true, false)) {
            DLE_TRACE("failed to create a serialization job");
            received_ = 0;
            segment.resetCounters();
            downloader_.cancel();
            return kJobFailed;
        }
        return kJobDone;
    }

    bool done = false;
    data.markThreadStart(threadId);
    if (segment.size == 0 || preference.singleStreamInEffect)
        downloadSingleStream(done);
    else
        downloadAllPendingBytesForOneSegment(done);
    data.markThreadEnd(threadId);

    if (done) {
        setState(kJobFinished);
        downloader_.cancel();
        return kJobDone;
    }
    int32_t now = state();
    if (now == kJobPauseRequested) {
        DLE_TRACE("the download job (%d) is PAUSED", static_cast<int>(jobId_));
        setState(kJobStopped);
        downloader_.cancel();
        return kJobPaused;
    }
    if (now == kJobStopping) {
        setState(kJobStopped);
        DLE_INFO("the download job (%d) is cancelled", static_cast<int>(jobId_));
        downloader_.cancel();
        return kJobStoppedResult;
    }
    setState(kJobStopped);
    DLE_ERROR("the download job (%d) failed to execute. The job state is STOPPED_STATE ", static_cast<int>(jobId_));
    // Decided from this run's own error, never from one a previous run left in the transport.
    if (runErrorType_ >= 0 && ErrorHandler::isFatalErrorType(runErrorType_)) {
        setState(kJobError);
        DLE_ERROR("the download job (%d) failed to execute. The job state is ERROR_STATE ", static_cast<int>(jobId_));
    } else if (runErrorType_ == flat(EngineErrorType::BackOff)) {
        setState(kJobBackoffPaused);
        DLE_ERROR("the download job (%d) failed to execute. The job state is PAUSED_STATE ", static_cast<int>(jobId_));
        downloader_.cancel();
        return kJobPaused;
    }
    downloader_.cancel();
    return kJobFailed;
}

void DownloadJob::downloadAllPendingBytesForOneSegment(bool& done) {
    Segment& segment = *segment_;
    DownloadGlobalData& data = *globalData_;
    const EngineTimings& timings = engineTimings();
    if (!downloader_.openRangeRequest(segment.start + received_, segment.end)) {
        if (!terminateFlag_) recordDownloaderError();
        DLE_TRACE("downloadAllPendingBytesForOneSegment: failed to init the http downloader for job(%d)",
                  static_cast<int>(jobId_));
        return;
    }
    if (!segment.buffer && !segment.allocateBuffer(segment.size)) return;
    uint32_t remaining = segment.size - received_;
    while (state() == kJobRunning && !done) {
        if (!waitForSerializerRoom()) break;
        sleepMs(timings.readTurnSleepMs);
        uint32_t n = 0;
        int result = downloader_.readData(segment.buffer.get() + received_, n, remaining);
        if (n > 0) {
            data.touchThreadActivity(threadId_);
            data.totalReceivedBytes += n;
        }
        if (result == HttpDownloader::kReadFailed) {
            if (interrupted()) return;
            DLE_TRACE("error in downloading by job (%d)", static_cast<int>(jobId_));
            recordDownloaderError();
            return;
        }
        if ((result == HttpDownloader::kReadData && n > 0) || result == HttpDownloader::kReadEnd) {
            if (!fileStillMatches()) return;
        }
        if (result == HttpDownloader::kReadData) {
            if (n == 0) continue;
            received_ += n;
            remaining -= n;
            pending_ += n;
            if (pending_ >= kHandOverBytes) {
                if (!handOver(pending_, false, false)) {
                    DLE_ERROR("failed to create a partial serialization job for download job(%d)",
                              static_cast<int>(jobId_));
                    return;
                }
                data.addThreadBytes(threadId_, pending_);
                handed_ += pending_;
                pending_ = 0;
            }
        } else if (result == HttpDownloader::kReadEnd) {
            received_ += n;
            pending_ += n;
            if (received_ < segment.size) {
                // A body that ends before the range does is a dropped connection, never a finished segment.
                recordError(flat(EngineErrorType::ConnectionError), 0, "Connection Dropped");
                return;
            }
            segment.downloaded = received_;
            if (!validateSegment(segment)) return;
            done = true;
            bool ok = handOver(pending_, true, false);
            data.addThreadBytes(threadId_, pending_);
            if (!ok) {
                DLE_ERROR("failed to create the last chunk serialization job for download job(%d)",
                          static_cast<int>(jobId_));
                done = false;
                return;
            }
            handed_ += pending_;
            pending_ = 0;
        }
    }
}

bool DownloadJob::takeNextChunk(uint32_t chunkIndex) {
    SegmentPtr next = globalData_->getSegmentPool().createNextSegmentInPool(chunkIndex);
    if (!next) {
        DLE_TRACE("DownloadJob::getNewSegment : failed to create a new segment");
        return false;
    }
    uint32_t chunk = globalData_->getPreference().segmentSize;
    next->setRange(handed_, chunk, chunkIndex);
    if (!next->allocateBuffer(chunk)) return false;
    segment_ = next;
    return true;
}

bool DownloadJob::longerThanKnown(uint64_t reached) {
    const uint64_t known = globalData_->bytesToDownload();
    if (known == 0 || reached <= known) return false;
    // A compressed body's length says nothing of the file's.
    std::string encoding;
    downloader_.getResponseHeaderValue("Content-Encoding", encoding);
    if (!encoding.empty()) return false;
    // More than the size the server or the client gave is another file, or the whole of one
    // that a part was asked of: never to be finished as this one.
    DLE_ERROR("the stream of download job (%d) brought more than the %llu bytes expected", static_cast<int>(jobId_),
              static_cast<unsigned long long>(known));
    recordError(flat(EngineErrorType::Fatal), 0, "The server sent more bytes than the size expected of the file");
    return true;
}

void DownloadJob::downloadSingleStream(bool& done) {
    DownloadGlobalData& data = *globalData_;
    const EngineTimings& timings = engineTimings();
    reset();
    // Every run starts the stream at byte 0 again: pieces an earlier run left queued are stale,
    // and what they counted as accepted is fetched and counted anew.
    generation_ = ++data.streamGeneration;
    data.resetAcceptedBytes();
    if (!downloader_.openRequest()) {
        if (!interrupted()) recordDownloaderError();
        DLE_TRACE("failed to init the http downloader for download job(%d)", static_cast<int>(jobId_));
        return;
    }
    data.touchThreadActivity(threadId_);
    uint32_t chunkIndex = 0;
    if (!takeNextChunk(chunkIndex)) return;
    uint32_t remaining = segment_->size;
    while (state() == kJobRunning && !done) {
        // A rejected chunk restarted the stream: this run ends and the worker runs it again from byte 0.
        if (generation_ != data.streamGeneration.load()) return;
        if (!waitForSerializerRoom()) break;
        sleepMs(timings.readTurnSleepMs);
        uint32_t n = 0;
        int result = downloader_.readData(segment_->buffer.get() + received_, n, remaining);
        data.touchThreadActivity(threadId_);
        if (n > 0) data.totalReceivedBytes += n;
        if (result == HttpDownloader::kReadFailed) {
            if (interrupted()) return;
            DLE_TRACE("fatal error in downloading by job (%d)", static_cast<int>(jobId_));
            recordDownloaderError();
            return;
        }
        if (n > 0 && longerThanKnown(uint64_t{handed_} + pending_ + n)) return;
        if (result == HttpDownloader::kReadData && n > 0) {
            pending_ += n;
            received_ += n;
            remaining -= n;
            if (remaining == 0) {
                segment_->downloaded = received_;
                if (!validateSegment(*segment_)) return;
                if (!handOver(pending_, true, false)) {
                    DLE_ERROR("failed to create a partial serialization job");
                    return;
                }
                data.addSingleStreamBytes(threadId_, pending_, uint64_t{handed_} + pending_);
                handed_ += pending_;
                pending_ = 0;
                received_ = 0;
                ++chunkIndex;
                if (!takeNextChunk(chunkIndex)) return;
                remaining = segment_->size;
            }
        } else if (result == HttpDownloader::kReadEnd) {
            received_ += n;
            pending_ += n;
            segment_->setRange(handed_, pending_, chunkIndex);
            segment_->downloaded = pending_;
            std::string etag;
            std::string encoding;
            downloader_.getResponseHeaderValue("ETag", etag);
            downloader_.getResponseHeaderValue("Content-Encoding", encoding);
            // A body without a length ends wherever the connection does: short of a size the HEAD or
            // the client gave, it is a dropped stream, never the file's end. A compressed body's
            // length says nothing of the file's, and a cut one fails to decompress.
            const uint64_t known = data.bytesToDownload();
            if (known != 0 && encoding.empty() && uint64_t{handed_} + pending_ < known) {
                DLE_ERROR("the stream of download job (%d) ended after %llu of %llu bytes", static_cast<int>(jobId_),
                          static_cast<unsigned long long>(uint64_t{handed_} + pending_),
                          static_cast<unsigned long long>(known));
                recordError(flat(EngineErrorType::ConnectionError), 0, "Connection Dropped");
                return;
            }
            // Stored before the final hand-over: finishing reads the encoding once the count reaches 0.
            data.setResponseValue("ETag", etag);
            data.setResponseValue("Content-Encoding", encoding);
            if (pending_ > 0 && !validateSegment(*segment_)) return;
            if (!handOver(pending_, true, true)) {
                DLE_ERROR("failed to create the last chunk serialization job");
                return;
            }
            data.addSingleStreamBytes(threadId_, pending_, uint64_t{handed_} + pending_);
            done = true;
        }
    }
}
