// State changes every job shares.
#include "download/BaseJob.h"

#include "download/EngineLogger.h"

bool BaseJob::pauseJob() {
    int32_t current = state_.load();
    for (;;) {
        if (current == kJobStopping || current == kJobStopped || current == kJobFinished) {
            DLE_INFO("BaseJob::pauseJob: job is either stopped or getting stopped");
            return false;
        }
        int32_t next = current == kJobRunning ? kJobPauseRequested : kJobPausedBeforeRun;
        if (state_.compare_exchange_weak(current, next)) return true;
    }
}

bool BaseJob::resumeJob() {
    int32_t current = state_.load();
    for (;;) {
        if (current == kJobStopping || current == kJobStopped || current == kJobFinished) {
            DLE_INFO("BaseJob::resumeJob : job is either stopped or getting stopped");
            return false;
        }
        if (state_.compare_exchange_weak(current, kJobRunning)) return true;
    }
}

bool BaseJob::stopJob() {
    int32_t current = state_.load();
    for (;;) {
        int32_t next = (current == kJobStopped || current == kJobFinished) ? kJobStopped : kJobStopping;
        if (state_.compare_exchange_weak(current, next)) return true;
    }
}
