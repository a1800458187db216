// One engine worker thread (download or serializer) and the pool of download workers.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <thread>

#include "download/BaseJob.h"
#include "download/JobPoolContainer.h"
#include "download/Mutex.h"

enum ThreadState : int32_t {
    kThreadPauseRequested = 0,
    kThreadPaused = 1,
    kThreadStopping = 2,
    kThreadStopped = 3,
    kThreadRunning = 4,
};

enum WorkerType : int { kDownloadWorker = 0, kSerializerWorker = 1 };

class WorkerThread {
public:
    WorkerThread() = default;
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    bool init(int type, JobPoolContainer* pool, uint32_t threadNumber = 0);
    bool start();
    bool pause() EXCLUDES(mutex_);
    bool run() EXCLUDES(mutex_);
    bool stop() EXCLUDES(mutex_);
    // Stops the current job, waits for it (forcing it after a while) and joins the thread.
    bool terminate() EXCLUDES(mutex_);
    void cancelCurrentJob() EXCLUDES(mutex_);

    int32_t state() const { return state_.load(); }
    uint32_t threadNumber() const { return threadNumber_; }

private:
    void threadProc() EXCLUDES(mutex_);
    void requeue(JobPtr job);
    // The serializer waits on its queue: a new state must reach it without a job.
    void wakeIfWaiting();

    std::atomic<bool> initialized_{false};
    Mutex mutex_;
    std::thread thread_;
    BaseJob* current_ GUARDED_BY(mutex_) = nullptr;
    int type_ = kDownloadWorker;
    JobPoolContainer* pool_ = nullptr;
    std::atomic<int32_t> state_{kThreadPaused};
    uint32_t threadNumber_ = 0;
};

class WorkerThreadPool {
public:
    WorkerThreadPool() = default;
    ~WorkerThreadPool() { closeAll(); }
    WorkerThreadPool(const WorkerThreadPool&) = delete;
    WorkerThreadPool& operator=(const WorkerThreadPool&) = delete;

    bool createThreads(uint32_t count, JobPoolContainer* pool) EXCLUDES(mutex_);
    void closeAll() EXCLUDES(mutex_);
    void pauseAll() EXCLUDES(mutex_);
    uint32_t getActiveCount() const { return activeCount_.load(); }
    void activateNextThread() EXCLUDES(mutex_);
    void deactivateThread() EXCLUDES(mutex_);
    void resumeActive() EXCLUDES(mutex_);
    void runAll() EXCLUDES(mutex_);
    void cancelThreadJob(uint32_t threadNumber) EXCLUDES(mutex_);
    // The state of one worker thread, kThreadStopped when there is none.
    int32_t threadState(uint32_t threadNumber) EXCLUDES(mutex_);

private:
    struct Entry {
        std::unique_ptr<WorkerThread> thread;
        bool active = false;
    };
    std::atomic<uint32_t> activeCount_{0};
    Mutex mutex_;
    bool initialized_ GUARDED_BY(mutex_) = false;
    std::map<uint32_t, Entry> threads_ GUARDED_BY(mutex_);
};
