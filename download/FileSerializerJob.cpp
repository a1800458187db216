// Writing pieces to the partial file, meta records over the written prefix, validation of finished segments.
#include "download/FileSerializerJob.h"

#include "download/DownloadGlobalData.h"
#include "download/EngineLogger.h"
#include "download/EngineResults.h"

void FileSerializerJob::initialize(DownloadGlobalData* globalData, const SegmentPtr& segment, uint32_t bufferOffset,
                                   uint32_t length, uint64_t fileOffset, bool lastPiece, bool endOfStream,
                                   uint32_t generation) {
    globalData_ = globalData;
    segment_ = segment;
    buffer_ = segment ? segment->buffer : nullptr;
    bufferOffset_ = bufferOffset;
    length_ = length;
    fileOffset_ = fileOffset;
    lastPiece_ = lastPiece;
    endOfStream_ = endOfStream;
    generation_ = generation;
    initialized_ = globalData != nullptr && segment != nullptr;
}

void FileSerializerJob::discard() {
    if (!initialized_ || accounted_) return;
    accounted_ = true;
    globalData_->releasePendingSerialization(length_);
    // Each single-stream chunk but the final one was counted as outstanding when it was handed over;
    // the final one stands for the stream's own count, which a restarted stream keeps.
    if (lastPiece_ && !endOfStream_ && globalData_->getPreference().singleStreamInEffect) --globalData_->remainingJobs;
}

int FileSerializerJob::run(uint32_t) {
    if (!initialized_) return kJobDone;
    setState(kJobRunning);
    DownloadGlobalData& data = *globalData_;
    bool singleStream = data.getPreference().singleStreamInEffect != 0;
    if (singleStream && generation_ != data.streamGeneration.load()) {
        // A piece of a single stream that has since restarted.
        discard();
        if (endOfStream_) data.createAndAddDownloadingJob(data.getSegmentPool().createNextSegmentInPool(0), 0, 0, true);
        setState(kJobFinished);
        return kJobDone;
    }
    if (length_ > 0) data.assertOutputWriter();
    if (length_ > 0 && !data.getOutputFile().writeSegment(fileOffset_, buffer_.get() + bufferOffset_, length_)) {
        data.getOutputFile().getLastError(error_);
        data.addError(error_);
        DLE_ERROR("the fileS job (%d) failed to execute ", static_cast<int>(jobId_));
        return kJobFailed;
    }
    if (!accounted_) {
        data.releasePendingSerialization(length_);
        accounted_ = true;
    }
    uint32_t index = segment_->index;
    if (data.useMetaRecords()) {
        uint32_t& mark = data.watermark(index);
        if (bufferOffset_ <= mark && bufferOffset_ + length_ > mark) mark = bufferOffset_ + length_;
        // Full size is recorded only after the client accepted the segment.
        uint32_t record = (segment_->size > 0 && mark >= segment_->size) ? segment_->size - 1 : mark;
        if (!lastPiece_) data.getMetaFile().writeSegmentProgress(index, record);
    }
    if (lastPiece_) {
        if (endOfStream_ && segment_->size == 0) {
            // An empty tail of a single stream: nothing to validate.
            --data.remainingJobs;
        } else {
            SegmentView view{segment_->size, index, buffer_.get()};
            if (data.notifyIntercepts(kEventSegmentWritten, &view, static_cast<int>(sizeof view)) != 0)
                rejectSegment();
            else
                acceptSegment();
        }
    }
    setState(kJobFinished);
    return kJobDone;
}

void FileSerializerJob::acceptSegment() {
    DownloadGlobalData& data = *globalData_;
    uint32_t index = segment_->index;
    if (data.useMetaRecords()) data.getMetaFile().writeSegmentProgress(index, segment_->size);
    data.acceptedBytes += segment_->size;
    if (!data.getPreference().singleStreamInEffect) data.getSegmentPool().freeSegmentInPool(index);
    --data.remainingJobs;
    segment_.reset();
    buffer_.reset();
}

void FileSerializerJob::rejectSegment() {
    DownloadGlobalData& data = *globalData_;
    uint32_t index = segment_->index;
    ErrorRecord record;
    record.errorType = flat(EngineErrorType::SegmentValidation);
    record.nativeCode = 417;
    record.segmentIndex = index;
    data.addError(record);
    DLE_ERROR("failed to validate the segment (%d)", static_cast<int>(index));
    if (data.getPreference().singleStreamInEffect) {
        // One stream cannot refetch a chunk on its own: the whole stream starts again from byte 0.
        ++data.streamGeneration;
        if (!endOfStream_) --data.remainingJobs;
        bool streamEnded = endOfStream_;
        data.getJobPool().queue(kSerializationQueue).removeIf([&streamEnded](BaseJob& job) {
            auto& piece = static_cast<FileSerializerJob&>(job);
            streamEnded = streamEnded || piece.endOfStream_;
            piece.discard();
            return true;
        });
        // A stream that already ended has no job left to restart it: queue a fresh one.
        if (streamEnded &&
            !data.createAndAddDownloadingJob(data.getSegmentPool().createNextSegmentInPool(0), 0, 0, true))
            DLE_ERROR("failed to create a new downloading job. Fatal Error");
        buffer_.reset();
        return;
    }
    segment_->releaseBuffer();
    buffer_.reset();
    if (data.useMetaRecords()) {
        data.getMetaFile().writeSegmentProgress(index, 0);
        data.watermark(index) = 0;
    }
    if (!data.createAndAddDownloadingJob(segment_, index, 0, true))
        DLE_ERROR("failed to create a new downloading job. Fatal Error");
}
