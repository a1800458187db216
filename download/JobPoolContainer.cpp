// The job queues.
#include "download/JobPoolContainer.h"

#include <vector>

#include "download/EngineLogger.h"

JobPtr JobQueue::pop() {
    MutexLock lock(mutex_);
    if (jobs_.empty()) return nullptr;
    JobPtr job = std::move(jobs_.front());
    jobs_.pop_front();
    return job;
}

void JobQueue::pushBack(JobPtr job) {
    {
        MutexLock lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    ring();
}

void JobQueue::pushFront(JobPtr job) {
    {
        MutexLock lock(mutex_);
        jobs_.push_front(std::move(job));
    }
    ring();
}

uint64_t JobQueue::changes() {
    platform::MutexLock lock(bellLock_);
    return changes_;
}

void JobQueue::waitForChange(uint64_t seen, std::chrono::milliseconds limit) {
    platform::MutexLock lock(bellLock_);
    bell_.waitFor(bellLock_, limit, [&]() REQUIRES(bellLock_) { return changes_ != seen; });
}

void JobQueue::wake() { ring(); }

void JobQueue::ring() {
    {
        platform::MutexLock lock(bellLock_);
        ++changes_;
    }
    bell_.signalAll();
}

uint32_t JobQueue::count() {
    MutexLock lock(mutex_);
    return static_cast<uint32_t>(jobs_.size());
}

void JobQueue::removeIf(const std::function<bool(BaseJob&)>& pick) {
    std::vector<JobPtr> removed;
    {
        MutexLock lock(mutex_);
        std::deque<JobPtr> kept;
        for (auto& job : jobs_) {
            if (pick(*job))
                removed.push_back(std::move(job));
            else
                kept.push_back(std::move(job));
        }
        jobs_.swap(kept);
    }
}

JobPtr JobPoolContainer::popNextJob(int queueId) { return queue(queueId).pop(); }

bool JobPoolContainer::enqueueJob(JobPtr job, int queueId) {
    if (!job) {
        DLE_ERROR("JobPoolContainer::enqueueJob : invalid parameters. ");
        return false;
    }
    queue(queueId).pushBack(std::move(job));
    return true;
}

bool JobPoolContainer::enqueueJobAtFront(JobPtr job, int queueId) {
    if (!job) {
        DLE_ERROR("JobPoolContainer::enqueueJobAtFront : invalid parameters. ");
        return false;
    }
    queue(queueId).pushFront(std::move(job));
    return true;
}

uint32_t JobPoolContainer::getJobCount(int queueId) { return queue(queueId).count(); }

void JobPoolContainer::clear() {
    for (JobQueue* q : {&download_, &serialization_}) {
        while (JobPtr job = q->pop()) {
            job.reset();
        }
    }
}
