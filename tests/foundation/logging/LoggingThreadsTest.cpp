// Registration and writing from several threads, and the in-process side of BinaryLock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "foundation/logging/BinaryLock.h"
#include "foundation/logging/Logger.h"
#include "tests/foundation/logging/LogTargetProbe.h"
#include "tests/foundation/logging/LogTestSupport.h"

namespace {

// gtest's assertions split a hold across branches the analysis cannot follow.
bool waitUnchecked(zezu::BinaryLock& lock) NO_THREAD_SAFETY_ANALYSIS { return lock.wait(); }
bool releaseUnchecked(zezu::BinaryLock& lock) NO_THREAD_SAFETY_ANALYSIS { return lock.release(); }

TEST(LoggingThreadsTest, TargetsComeAndGoWhileOtherThreadsLog) {
    log_test::LogEnvironment environment;
    environment.preparedLogPath("churn.log");
    const std::string steadyPath = environment.preparedLogPath("steady.log");
    auto steady = log_test::registerTarget("STD", "steady.log");
    ASSERT_TRUE(steady);

    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    std::atomic<int> steadyLines{0};
    for (int i = 0; i < 4; ++i) {
        writers.emplace_back([&, i] {
            zezu::Logger churn("CHN", nullptr, nullptr, nullptr, "Writer");
            zezu::Logger other("STD");
            while (!stop.load()) {
                churn.info("writer %d %s", i, "to a target that comes and goes");
                other.info("writer %d steady", i);
                steadyLines.fetch_add(1);
            }
        });
    }
    // Unregister then delete, as the engine does with its target, while lines are in flight.
    for (int round = 0; round < 150; ++round) {
        auto churn = log_test::registerTarget("CHN", "churn.log");
        ASSERT_TRUE(churn);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    stop = true;
    for (std::thread& writer : writers) writer.join();
    steady.reset();
    EXPECT_EQ(log_test::readLines(steadyPath).size(), static_cast<size_t>(steadyLines.load()));
}

TEST(LoggingThreadsTest, LockWithoutASetStillSerialisesThisProcess) {
    zezu::BinaryLock lock;
    EXPECT_FALSE(waitUnchecked(lock)) << "never created";
    EXPECT_FALSE(lock.create("/nonexistent/key/path", zezu::BinaryLock::kLogFileProjectId));
    EXPECT_FALSE(lock.holdsSet());
    ASSERT_TRUE(waitUnchecked(lock)) << "a failed create falls back to the in-process lock";
    std::atomic<bool> entered{false};
    std::thread other([&] {
        waitUnchecked(lock);
        entered = true;
        releaseUnchecked(lock);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered.load()) << "a second holder got in";
    EXPECT_TRUE(releaseUnchecked(lock));
    other.join();
    EXPECT_TRUE(entered.load());
    EXPECT_TRUE(lock.finalize());
}

TEST(LoggingThreadsTest, LockRemadeWhenItsSetIsRemovedUnderIt) {
    log_test::LogEnvironment environment;
    const std::string key = environment.preparedLogPath("removed.log");
    zezu::BinaryLock first;
    zezu::BinaryLock second;
    ASSERT_TRUE(first.create(key, zezu::BinaryLock::kLogFileProjectId));
    ASSERT_TRUE(second.create(key, zezu::BinaryLock::kLogFileProjectId));
    EXPECT_TRUE(second.finalize());
    EXPECT_TRUE(first.holdsSet()) << "another user remains, the set stays";
    ASSERT_TRUE(foundation::SystemVSemaphoreSet::removeKey(key, zezu::BinaryLock::kLogFileProjectId));
    ASSERT_TRUE(waitUnchecked(first));
    EXPECT_TRUE(releaseUnchecked(first));
    EXPECT_TRUE(first.holdsSet()) << "the set is made again at the next wait";
    EXPECT_TRUE(first.finalize());
    auto reopened = foundation::SystemVSemaphoreSet::openOrCreate(key, zezu::BinaryLock::kLogFileProjectId, {0, 1});
    ASSERT_TRUE(reopened);
    EXPECT_TRUE(reopened->created) << "the last user removes the set";
}

}  // namespace
