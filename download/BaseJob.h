// The job base class of the engine's worker threads, and the job states.
#pragma once

#include <atomic>
#include <cstdint>

enum JobState : int32_t {
    kJobPauseRequested = 0,
    kJobPausedBeforeRun = 1,
    kJobStopping = 2,
    kJobStopped = 3,
    kJobRunning = 4,
    kJobFinished = 5,
    kJobError = 7,
    kJobBackoffPaused = 8,
};

// Results of BaseJob::run.
enum JobResult : int {
    kJobDone = 0,
    kJobFailed = 1,
    kJobPaused = 2,
    kJobStoppedResult = 3,
};

class BaseJob {
public:
    explicit BaseJob(uint32_t jobId) : jobId_(jobId) {}
    virtual ~BaseJob() = default;
    BaseJob(const BaseJob&) = delete;
    BaseJob& operator=(const BaseJob&) = delete;

    virtual int run(uint32_t threadNumber) = 0;
    virtual bool pauseJob();
    virtual bool resumeJob();
    virtual bool stopJob();
    virtual bool terminate() = 0;
    virtual bool reset() = 0;

    uint32_t jobId() const { return jobId_; }
    int32_t state() const { return state_.load(); }
    void setState(int32_t state) { state_.store(state); }

protected:
    uint32_t jobId_;
    std::atomic<int32_t> state_{kJobPausedBeforeRun};
};
