// The two locked job queues: 0 download jobs, 1 serialization jobs.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

#include "download/BaseJob.h"
#include "download/Mutex.h"

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

private:
    Mutex mutex_;
    std::deque<JobPtr> jobs_ GUARDED_BY(mutex_);
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
