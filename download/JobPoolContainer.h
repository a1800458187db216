// The two locked job queues: 0 download jobs, 1 serialization jobs.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

#include "download/BaseJob.h"
#include "download/Mutex.h"
#include "platform/Mutex.h"

using JobPtr = std::unique_ptr<BaseJob>;

class JobQueue {
public:
    JobQueue() = default;
    JobQueue(const JobQueue&) = delete;
    JobQueue& operator=(const JobQueue&) = delete;

    JobPtr pop() EXCLUDES(mutex_);
    void pushBack(JobPtr job) EXCLUDES(mutex_);
    void pushFront(JobPtr job) EXCLUDES(mutex_);
    uint32_t count() EXCLUDES(mutex_);
    // Removes (and deletes outside the lock) every job the predicate picks.
    void removeIf(const std::function<bool(BaseJob&)>& pick) EXCLUDES(mutex_);

    // A thread that found the queue empty sleeps here instead of polling. Read changes() before
    // the pop: waitForChange returns once a push or a wake() came after that reading, or after
    // `limit`, whichever is first, so a job pushed between the pop and the wait is never missed.
    uint64_t changes() EXCLUDES(bellLock_);
    void waitForChange(uint64_t seen, std::chrono::milliseconds limit) EXCLUDES(bellLock_);
    // Ends the waits without a job: the waiting thread's own state changed.
    void wake() EXCLUDES(bellLock_);

private:
    void ring() EXCLUDES(bellLock_);

    Mutex mutex_;
    std::deque<JobPtr> jobs_ GUARDED_BY(mutex_);
    // Apart from the queue's own lock, which is the engine's: the condition waits on this kind.
    platform::Mutex bellLock_;
    platform::CondVar bell_;
    uint64_t changes_ GUARDED_BY(bellLock_) = 0;
};

enum JobQueueId : int { kDownloadQueue = 0, kSerializationQueue = 1 };

class JobPoolContainer {
public:
    JobPtr popNextJob(int queue);
    bool enqueueJob(JobPtr job, int queue);
    bool enqueueJobAtFront(JobPtr job, int queue);
    uint32_t getJobCount(int queue);
    void clear();
    JobQueue& queue(int queue) { return queue == kSerializationQueue ? serialization_ : download_; }

private:
    JobQueue download_;
    JobQueue serialization_;
};
