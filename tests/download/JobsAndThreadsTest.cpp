// Segments, the segment pool, the job queues and the worker threads, driven by scripted jobs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "download/EngineTimings.h"
#include "download/JobPoolContainer.h"
#include "download/Segment.h"
#include "download/WorkerThread.h"

namespace {

using namespace std::chrono_literals;

template <typename Predicate>
bool waitFor(Predicate done, std::chrono::milliseconds limit = 5000ms) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class ShortTimings : public testing::Test {
protected:
    void SetUp() override {
        saved = engineTimings();
        engineTimings().idlePollMs = 5;
        engineTimings().threadStartSpacingMs = 1;
        engineTimings().serializerRetrySleepMs = 1;
        engineTimings().terminateForceMs = 200;
        engineTimings().terminateGiveUpMs = 1000;
    }
    void TearDown() override { engineTimings() = saved; }
    EngineTimings saved;
};

// A job whose runs follow a script: fail a number of times, then finish; or run until stopped.
class ScriptedJob : public BaseJob {
public:
    struct Counters {
        std::atomic<int> runs{0};
        std::atomic<int> resets{0};
        std::atomic<bool> deleted{false};
    };
    ScriptedJob(uint32_t id, Counters& counters, int failures, int failuresBeforeError = -1,
                bool runUntilStopped = false)
        : BaseJob(id),
          counters_(counters),
          failures_(failures),
          failuresBeforeError_(failuresBeforeError),
          runUntilStopped_(runUntilStopped) {}
    ~ScriptedJob() override { counters_.deleted = true; }

    int run(uint32_t) override {
        int run = ++counters_.runs;
        if (runUntilStopped_) {
            while (state() == kJobRunning) std::this_thread::sleep_for(1ms);
            int32_t now = state();
            setState(kJobStopped);
            return now == kJobPauseRequested ? kJobPaused : kJobStoppedResult;
        }
        if (failuresBeforeError_ >= 0 && run > failuresBeforeError_) {
            setState(kJobError);
            return kJobFailed;
        }
        if (run <= failures_) {
            setState(kJobStopped);
            return kJobFailed;
        }
        setState(kJobFinished);
        return kJobDone;
    }
    bool terminate() override {
        setState(kJobStopping);
        return true;
    }
    bool reset() override {
        ++counters_.resets;
        return true;
    }

private:
    Counters& counters_;
    int failures_;
    int failuresBeforeError_;
    bool runUntilStopped_;
};

TEST(SegmentTest, RangeAndUnknownLength) {
    Segment known(100, 50, 3);
    EXPECT_EQ(known.end, 149u);
    Segment unknown(0, 0, 0);
    EXPECT_EQ(unknown.end, 0u);
    Segment oneByte(0, 1, 0);
    EXPECT_EQ(oneByte.end, 0u) << "a 1-byte segment at 0 also ends at 0: length decides, not the end";
    EXPECT_EQ(oneByte.size, 1u);
}

TEST(SegmentTest, BufferSurvivesForHoldersAfterRelease) {
    Segment segment(0, 16, 0);
    ASSERT_TRUE(segment.allocateBuffer(16));
    SegmentBuffer held = segment.buffer;
    held[0] = 7;
    segment.releaseBuffer();
    EXPECT_FALSE(segment.buffer);
    EXPECT_EQ(held[0], 7) << "a queued piece keeps its bytes";
    ASSERT_TRUE(segment.allocateBuffer(16));
    EXPECT_NE(segment.buffer.get(), held.get()) << "a refill never reuses a buffer someone still holds";
}

TEST(SegmentPoolTest, PooledBuffersReturnOnlyWhenTheLastHolderLetsGo) {
    SegmentBuffer piece;
    {
        SegmentPool pool;
        ASSERT_TRUE(pool.init(3));
        SegmentPtr first = pool.createAndGetSegmentFromPool(0);
        ASSERT_TRUE(first->allocateBuffer(4096));
        uint8_t* block = first->buffer.get();
        piece = first->buffer;  // a queued serialization piece
        first->releaseBuffer();
        SegmentPtr second = pool.createAndGetSegmentFromPool(1);
        ASSERT_TRUE(second->allocateBuffer(4096));
        EXPECT_NE(second->buffer.get(), block) << "still held by the piece";
        piece.reset();
        SegmentPtr other = pool.createAndGetSegmentFromPool(2);
        ASSERT_TRUE(other->allocateBuffer(1000));
        EXPECT_NE(other->buffer.get(), block) << "a buffer of another size";
        other->releaseBuffer();
        ASSERT_TRUE(first->allocateBuffer(4096));
        EXPECT_EQ(first->buffer.get(), block) << "given back once nobody holds it";
        piece = second->buffer;
    }
    // The pool is gone; the piece still writes from its buffer and then frees it.
    piece[4095] = 1;
    piece.reset();
}

TEST(SegmentPoolTest, BuffersTakenAndDroppedOnManyThreadsStayDistinct) {
    SegmentPool pool;
    ASSERT_TRUE(pool.init(8));
    std::vector<std::thread> threads;
    std::atomic<int> overlaps{0};
    for (uint32_t t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            SegmentPtr segment = pool.createAndGetSegmentFromPool(t);
            for (int round = 0; round < 200; ++round) {
                if (!segment->allocateBuffer(65536)) return;
                std::fill_n(segment->buffer.get(), 64, static_cast<uint8_t>(t));
                std::this_thread::yield();
                for (int i = 0; i < 64; ++i) {
                    if (segment->buffer[i] != t) ++overlaps;
                }
                segment->releaseBuffer();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(overlaps.load(), 0) << "two live segments shared a buffer";
}

TEST(SegmentPoolTest, GrowsOnceToTwiceItsCount) {
    struct Case {
        uint32_t index;
        bool made;
    };
    for (Case c : {Case{5, true}, Case{8, false}, Case{3, true}}) {
        SegmentPool pool;
        ASSERT_TRUE(pool.init(4));
        EXPECT_EQ(pool.createNextSegmentInPool(c.index) != nullptr, c.made) << "index " << c.index;
        EXPECT_EQ(pool.count(), c.index >= 4 ? 8u : 4u) << "index " << c.index;
    }
    SegmentPool pool;
    ASSERT_TRUE(pool.init(2));
    EXPECT_EQ(pool.createAndGetSegmentFromPool(2), nullptr);
    SegmentPtr first = pool.createAndGetSegmentFromPool(1);
    ASSERT_NE(first, nullptr);
    pool.freeSegmentInPool(1);
    EXPECT_EQ(pool.getSegment(1), nullptr);
    EXPECT_NE(first, nullptr) << "a holder keeps a freed segment";
}

TEST(JobQueueTest, FrontAndBackOrderAndSelectiveRemoval) {
    ScriptedJob::Counters counters;
    JobPoolContainer jobs;
    EXPECT_FALSE(jobs.enqueueJob(nullptr, kDownloadQueue));
    jobs.enqueueJob(std::make_unique<ScriptedJob>(1, counters, 0), kDownloadQueue);
    jobs.enqueueJob(std::make_unique<ScriptedJob>(2, counters, 0), kDownloadQueue);
    jobs.enqueueJobAtFront(std::make_unique<ScriptedJob>(0, counters, 0), kDownloadQueue);
    jobs.enqueueJob(std::make_unique<ScriptedJob>(9, counters, 0), kSerializationQueue);
    EXPECT_EQ(jobs.getJobCount(kDownloadQueue), 3u);
    EXPECT_EQ(jobs.getJobCount(kSerializationQueue), 1u);
    jobs.queue(kDownloadQueue).removeIf([](BaseJob& job) { return job.jobId() == 1; });
    EXPECT_EQ(jobs.popNextJob(kDownloadQueue)->jobId(), 0u);
    EXPECT_EQ(jobs.popNextJob(kDownloadQueue)->jobId(), 2u);
    EXPECT_EQ(jobs.popNextJob(kDownloadQueue), nullptr);
    jobs.clear();
    EXPECT_EQ(jobs.getJobCount(kSerializationQueue), 0u);
}

TEST(BaseJobTest, PauseResumeAndStopByState) {
    ScriptedJob::Counters counters;
    ScriptedJob job(0, counters, 0);
    job.setState(kJobFinished);
    EXPECT_FALSE(job.pauseJob());
    EXPECT_EQ(job.state(), kJobFinished);
    EXPECT_FALSE(job.resumeJob());
    EXPECT_TRUE(job.stopJob());
    EXPECT_EQ(job.state(), kJobStopped) << "stopping a finished job marks it stopped";
    job.setState(kJobRunning);
    EXPECT_TRUE(job.pauseJob());
    EXPECT_EQ(job.state(), kJobPauseRequested);
    job.setState(kJobPausedBeforeRun);
    EXPECT_TRUE(job.pauseJob());
    EXPECT_EQ(job.state(), kJobPausedBeforeRun);
    EXPECT_TRUE(job.stopJob());
    EXPECT_EQ(job.state(), kJobStopping);
}

using WorkerThreadTest = ShortTimings;

TEST_F(WorkerThreadTest, FailingJobIsRetriedAtTheFrontUntilItsStateIsError) {
    ScriptedJob::Counters counters;
    JobPoolContainer jobs;
    jobs.enqueueJob(std::make_unique<ScriptedJob>(0, counters, 100, 4), kDownloadQueue);
    WorkerThread worker;
    ASSERT_TRUE(worker.init(kDownloadWorker, &jobs));
    ASSERT_TRUE(worker.start());
    worker.run();
    ASSERT_TRUE(waitFor([&] { return counters.deleted.load(); }));
    EXPECT_EQ(counters.runs, 5) << "four retried failures, then the error state drops it";
    EXPECT_EQ(counters.resets, 5);
    EXPECT_EQ(jobs.getJobCount(kDownloadQueue), 0u);
    EXPECT_TRUE(worker.terminate());
    EXPECT_TRUE(worker.terminate()) << "a second terminate joins nothing twice";
}

TEST_F(WorkerThreadTest, FailedSerializationPieceGoesBackToTheSerializerQueue) {
    ScriptedJob::Counters first;
    ScriptedJob::Counters second;
    JobPoolContainer jobs;
    jobs.enqueueJob(std::make_unique<ScriptedJob>(0, first, 2), kSerializationQueue);
    jobs.enqueueJob(std::make_unique<ScriptedJob>(1, second, 0), kSerializationQueue);
    WorkerThread serializer;
    ASSERT_TRUE(serializer.init(kSerializerWorker, &jobs));
    ASSERT_TRUE(serializer.start());
    serializer.run();
    ASSERT_TRUE(waitFor([&] { return first.deleted && second.deleted; }));
    EXPECT_EQ(first.runs, 3);
    EXPECT_EQ(jobs.getJobCount(kDownloadQueue), 0u) << "a piece never lands in the download queue";
    serializer.terminate();
}

// The serializer sleeps on its queue, not on a clock: with an idle poll far longer than the
// test's bound, every piece pushed (from another thread, at any moment, the first of them while
// the serializer is busy finding the queue empty) is still written, and stopping it is prompt.
TEST_F(WorkerThreadTest, AnIdleSerializerTakesEachPieceAsItComesAndStopsAtOnce) {
    engineTimings().idlePollMs = 60000;
    constexpr int kPieces = 200;
    std::vector<std::unique_ptr<ScriptedJob::Counters>> counters;
    for (int i = 0; i < kPieces; ++i) counters.push_back(std::make_unique<ScriptedJob::Counters>());
    JobPoolContainer jobs;
    WorkerThread serializer;
    ASSERT_TRUE(serializer.init(kSerializerWorker, &jobs));
    ASSERT_TRUE(serializer.start());
    serializer.run();
    std::thread producer([&] {
        for (int i = 0; i < kPieces; ++i) {
            jobs.enqueueJob(std::make_unique<ScriptedJob>(static_cast<uint32_t>(i), *counters[i], 0),
                            kSerializationQueue);
            // Alternately at once and after the serializer has drained the queue and gone to sleep.
            if (i % 2 == 1) waitFor([&] { return counters[i]->deleted.load(); });
        }
    });
    producer.join();
    EXPECT_TRUE(waitFor([&] {
        return std::all_of(counters.begin(), counters.end(), [](const auto& c) { return c->deleted.load(); });
    })) << "a piece waited for the idle poll";
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(serializer.terminate());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "an idle serializer is stopped without its poll";
    EXPECT_EQ(serializer.state(), kThreadStopped);
}

TEST_F(WorkerThreadTest, PauseAndTerminateReachTheRunningJob) {
    ScriptedJob::Counters counters;
    JobPoolContainer jobs;
    jobs.enqueueJob(std::make_unique<ScriptedJob>(0, counters, 0, -1, true), kDownloadQueue);
    WorkerThread worker;
    ASSERT_TRUE(worker.init(kDownloadWorker, &jobs));
    ASSERT_TRUE(worker.start());
    EXPECT_EQ(worker.state(), kThreadPaused) << "a new thread waits until it is run";
    worker.run();
    ASSERT_TRUE(waitFor([&] { return counters.runs == 1; }));
    worker.pause();
    ASSERT_TRUE(waitFor([&] { return worker.state() == kThreadPaused; }));
    EXPECT_EQ(jobs.getJobCount(kDownloadQueue), 1u) << "a paused job goes back to the queue";
    worker.run();
    ASSERT_TRUE(waitFor([&] { return counters.runs == 2; }));
    auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(worker.terminate());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 900ms) << "a stoppable job is not waited for to the limit";
    EXPECT_EQ(worker.state(), kThreadStopped);
}

TEST_F(WorkerThreadTest, PoolActivatesLowestAndDeactivatesHighest) {
    JobPoolContainer jobs;
    WorkerThreadPool pool;
    ASSERT_TRUE(pool.createThreads(6, &jobs));
    for (int i = 0; i < 3; ++i) pool.activateNextThread();
    EXPECT_EQ(pool.getActiveCount(), 3u);
    for (uint32_t n = 0; n < 6; ++n)
        EXPECT_EQ(pool.threadState(n), n < 3 ? kThreadRunning : kThreadPaused) << "thread " << n;
    pool.deactivateThread();
    EXPECT_EQ(pool.getActiveCount(), 2u);
    ASSERT_TRUE(waitFor([&] { return pool.threadState(2) == kThreadPaused; }));
    EXPECT_EQ(pool.threadState(1), kThreadRunning);
    pool.runAll();
    EXPECT_EQ(pool.getActiveCount(), 6u);
    pool.pauseAll();
    for (uint32_t n = 0; n < 6; ++n) EXPECT_EQ(pool.threadState(n), kThreadPaused);
    pool.closeAll();
    EXPECT_EQ(pool.getActiveCount(), 0u);
    EXPECT_EQ(pool.threadState(0), kThreadStopped);
}

}  // namespace
