// Worker threads: the polling loop that runs jobs, and the pool of download workers.
#include "download/WorkerThread.h"

#include <chrono>

#include "download/EngineLogger.h"
#include "download/EngineTimings.h"

namespace {
void sleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
}  // namespace

WorkerThread::~WorkerThread() { terminate(); }

bool WorkerThread::init(int type, JobPoolContainer* pool, uint32_t threadNumber) {
    if ((type != kDownloadWorker && type != kSerializerWorker) || pool == nullptr) {
        DLE_ERROR("WorkerThread::init : invalid paramters");
        return false;
    }
    type_ = type;
    pool_ = pool;
    threadNumber_ = threadNumber;
    initialized_ = true;
    return true;
}

bool WorkerThread::start() {
    if (!initialized_) {
        DLE_ERROR("Thread is not initialized, so it cannot run");
        return false;
    }
    if (thread_.joinable()) {
        DLE_TRACE("thread (%d) is already running. Closing it first", static_cast<int>(threadNumber_));
        terminate();
    }
    state_ = kThreadPaused;
    try {
        thread_ = std::thread([this] { threadProc(); });
    } catch (const std::system_error& error) {
        DLE_ERROR("failed to create a new thread. Fatal Error. %d", error.code().value());
        state_ = kThreadStopped;
        return false;
    }
    return true;
}

bool WorkerThread::pause() {
    int32_t current = state_.load();
    if (!initialized_ || current == kThreadStopped || current == kThreadStopping) {
        DLE_TRACE("thread is either stopped or not initialized");
        return false;
    }
    MutexLock lock(mutex_);
    state_ = kThreadPauseRequested;
    DLE_TRACE("pausing the thread (%d)", static_cast<int>(threadNumber_));
    if (current_ != nullptr) current_->pauseJob();
    wakeIfWaiting();
    return true;
}

bool WorkerThread::run() {
    int32_t current = state_.load();
    if (!initialized_ || current == kThreadStopped || current == kThreadStopping) {
        DLE_INFO("thread is either stopped or not initialized");
        return false;
    }
    MutexLock lock(mutex_);
    state_ = kThreadRunning;
    DLE_TRACE("running the thread (%d)", static_cast<int>(threadNumber_));
    if (current_ != nullptr) current_->resumeJob();
    wakeIfWaiting();
    return true;
}

bool WorkerThread::stop() {
    if (!initialized_ || state_ == kThreadStopped) return true;
    MutexLock lock(mutex_);
    state_ = kThreadStopping;
    if (current_ != nullptr) current_->stopJob();
    wakeIfWaiting();
    return true;
}

void WorkerThread::cancelCurrentJob() {
    MutexLock lock(mutex_);
    if (current_ != nullptr) current_->terminate();
}

bool WorkerThread::terminate() {
    if (!initialized_) return true;
    {
        MutexLock lock(mutex_);
        if (state_ != kThreadStopped) state_ = kThreadStopping;
        if (current_ != nullptr) current_->stopJob();
    }
    wakeIfWaiting();
    const EngineTimings& timings = engineTimings();
    const uint32_t step = 10;
    bool forced = false;
    for (uint32_t waited = 0;; waited += step) {
        {
            MutexLock lock(mutex_);
            if (current_ == nullptr || current_->state() == kJobStopped || current_->state() == kJobFinished) break;
            if (!forced && waited >= timings.terminateForceMs) {
                DLE_INFO("forcing the job (%d) to terminate.", static_cast<int>(current_->jobId()));
                current_->terminate();
                forced = true;
            }
            if (waited >= timings.terminateGiveUpMs) {
                DLE_INFO("job (%d) is still not terminated. Closing the thread handle now",
                         static_cast<int>(current_->jobId()));
                break;
            }
        }
        sleepMs(step);
    }
    if (thread_.joinable()) {
        DLE_TRACE("trying to close the thread handle (%d)", static_cast<int>(threadNumber_));
        thread_.join();
    }
    state_ = kThreadStopped;
    return true;
}

void WorkerThread::wakeIfWaiting() {
    if (type_ == kSerializerWorker && pool_ != nullptr) pool_->queue(kSerializationQueue).wake();
}

void WorkerThread::requeue(JobPtr job) {
    // A failed serialization piece goes back to the serializer's own queue so pieces stay in order.
    int queue = type_ == kSerializerWorker ? kSerializationQueue : kDownloadQueue;
    pool_->enqueueJobAtFront(std::move(job), queue);
}

void WorkerThread::threadProc() {
    const EngineTimings& timings = engineTimings();
    int queue = type_ == kSerializerWorker ? kSerializationQueue : kDownloadQueue;
    // The serializer sleeps until a piece comes or its state changes, so a piece waits for nobody
    // and an idle engine does not wake it; download workers poll.
    auto idle = [&](uint64_t seen) {
        if (type_ == kSerializerWorker) {
            pool_->queue(queue).waitForChange(seen, std::chrono::milliseconds(timings.idlePollMs));
        } else {
            sleepMs(timings.idlePollMs);
        }
    };
    for (;;) {
        // Read before the state and the pop: a change after them ends the serializer's wait at once.
        const uint64_t seen = pool_->queue(queue).changes();
        int32_t current = state_.load();
        if (current == kThreadStopping || current == kThreadStopped) break;
        if (current == kThreadPauseRequested) {
            state_.compare_exchange_strong(current, kThreadPaused);
            continue;
        }
        if (current == kThreadPaused) {
            idle(seen);
            continue;
        }
        JobPtr job;
        {
            MutexLock lock(mutex_);
            job = pool_->popNextJob(queue);
            if (job && state_ != kThreadRunning) {
                pool_->enqueueJobAtFront(std::move(job), queue);
                continue;
            }
            if (job) {
                current_ = job.get();
                // Marked running under the lock, so a pause or stop from now on reaches the job.
                job->setState(kJobRunning);
            }
        }
        if (!job) {
            idle(seen);
            continue;
        }
        int result = job->run(threadNumber_);
        {
            MutexLock lock(mutex_);
            current_ = nullptr;
        }
        switch (result) {
            case kJobDone: job.reset(); break;
            case kJobFailed:
                job->reset();
                if (job->state() == kJobError) {
                    DLE_INFO("WorkerThread::ThreadProc Current job is in Error State which is not recoverable");
                    job.reset();
                } else {
                    requeue(std::move(job));
                    if (type_ == kSerializerWorker) sleepMs(timings.serializerRetrySleepMs);
                }
                break;
            case kJobPaused:
                if (job->state() == kJobBackoffPaused) {
                    int32_t running = kThreadRunning;
                    state_.compare_exchange_strong(running, kThreadPaused);
                }
                requeue(std::move(job));
                break;
            default: requeue(std::move(job)); break;
        }
    }
}

bool WorkerThreadPool::createThreads(uint32_t count, JobPoolContainer* pool) {
    closeAll();
    for (uint32_t i = 0; i < count; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(engineTimings().threadStartSpacingMs));
        auto thread = std::make_unique<WorkerThread>();
        if (!thread->init(kDownloadWorker, pool, i) || !thread->start()) {
            DLE_ERROR("Failed to create a new worker thead .");
            closeAll();
            return false;
        }
        MutexLock lock(mutex_);
        threads_[i] = Entry{std::move(thread), false};
    }
    MutexLock lock(mutex_);
    initialized_ = true;
    return true;
}

void WorkerThreadPool::closeAll() {
    std::map<uint32_t, Entry> closing;
    {
        MutexLock lock(mutex_);
        for (auto& [number, entry] : threads_) entry.thread->stop();
        closing.swap(threads_);
        activeCount_ = 0;
        initialized_ = false;
    }
    // Joined outside the pool lock: a job being stopped never needs it, and the controller may.
    for (auto& [number, entry] : closing) entry.thread->terminate();
}

void WorkerThreadPool::pauseAll() {
    MutexLock lock(mutex_);
    for (auto& [number, entry] : threads_) entry.thread->pause();
    for (;;) {
        bool allPaused = true;
        for (auto& [number, entry] : threads_) {
            int32_t state = entry.thread->state();
            if (state != kThreadPaused && state != kThreadStopped) allPaused = false;
        }
        if (allPaused) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void WorkerThreadPool::activateNextThread() {
    DLE_TRACE("inside activate next thread api");
    MutexLock lock(mutex_);
    for (auto& [number, entry] : threads_) {
        if (!entry.active) {
            DLE_TRACE("activating a thread - %d", static_cast<int>(number));
            entry.thread->run();
            entry.active = true;
            ++activeCount_;
            return;
        }
    }
}

void WorkerThreadPool::deactivateThread() {
    MutexLock lock(mutex_);
    for (auto it = threads_.rbegin(); it != threads_.rend(); ++it) {
        if (it->second.active) {
            DLE_TRACE("deactivating a thread - %d", static_cast<int>(it->first));
            it->second.thread->pause();
            it->second.active = false;
            --activeCount_;
            return;
        }
    }
}

void WorkerThreadPool::resumeActive() {
    MutexLock lock(mutex_);
    for (auto& [number, entry] : threads_)
        if (entry.active) entry.thread->run();
}

void WorkerThreadPool::runAll() {
    MutexLock lock(mutex_);
    for (auto& [number, entry] : threads_) {
        entry.thread->run();
        entry.active = true;
    }
    activeCount_ = static_cast<uint32_t>(threads_.size());
    DLE_INFO("thread count is %d and active thread count is %d", static_cast<int>(threads_.size()),
             static_cast<int>(activeCount_.load()));
}

void WorkerThreadPool::cancelThreadJob(uint32_t threadNumber) {
    MutexLock lock(mutex_);
    auto it = threads_.find(threadNumber);
    if (it != threads_.end()) it->second.thread->cancelCurrentJob();
}

int32_t WorkerThreadPool::threadState(uint32_t threadNumber) {
    MutexLock lock(mutex_);
    auto it = threads_.find(threadNumber);
    return it == threads_.end() ? kThreadStopped : it->second.thread->state();
}
