// The platform's mutexes, condition variable and thread checker, across real threads.
#include <gtest/gtest.h>

#include <chrono>
#include <latch>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/Mutex.h"
#include "platform/ThreadChecker.h"

namespace {

// A global mutex must be usable by other globals' constructors, before any dynamic initialiser.
constinit platform::Mutex earlyMutex;
constinit platform::SharedMutex earlySharedMutex;

// Far beyond any wake-up; only a lost signal would reach it.
constexpr std::chrono::seconds kNeverReached{30};

#if defined(NDEBUG)
constexpr bool kDebugBuild = false;
#else
constexpr bool kDebugBuild = true;
#endif

TEST(LocksTest, MutexAndWriterLockKeepThreadsApart) {
    long plain = 0;
    long shared = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                {
                    platform::MutexLock hold(earlyMutex);
                    ++plain;
                }
                platform::WriterLock hold(earlySharedMutex);
                ++shared;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(plain, 80000);
    EXPECT_EQ(shared, 80000);
}

TEST(LocksTest, ReadersShareTheLock) {
    platform::SharedMutex mutex;
    platform::ReaderLock first(mutex);
    bool secondReaderGotIn = false;
    // Would block for ever if a reader excluded another.
    std::thread other([&] {
        platform::ReaderLock second(mutex);
        secondReaderGotIn = true;
    });
    other.join();
    EXPECT_TRUE(secondReaderGotIn);
}

struct Handoff {
    platform::Mutex mutex;
    platform::CondVar changed;
    int value GUARDED_BY(mutex) = 0;
};

TEST(LocksTest, WaiterSeesWhatTheSignallerSetAndHoldsTheLockAgain) {
    Handoff handoff;
    std::thread producer([&] {
        for (int i = 1; i <= 3; ++i) {
            platform::MutexLock hold(handoff.mutex);
            handoff.value = i;
            handoff.changed.signalAll();
        }
    });
    {
        platform::MutexLock hold(handoff.mutex);
        EXPECT_TRUE(handoff.changed.waitFor(handoff.mutex, kNeverReached,
                                            [&]() REQUIRES(handoff.mutex) { return handoff.value == 3; }));
        // In debug builds a wait that lost track of the holder would stop the process here.
        handoff.mutex.assertHeld();
        EXPECT_EQ(handoff.value, 3);
    }
    producer.join();
}

TEST(LocksTest, WaitsEndAtTheirLimitWithTheConditionsLastAnswer) {
    Handoff handoff;
    platform::MutexLock hold(handoff.mutex);
    for (const bool answer : {false, true}) {
        int asked = 0;
        EXPECT_EQ(handoff.changed.waitFor(handoff.mutex, std::chrono::milliseconds(0),
                                          [&] {
                                              ++asked;
                                              return answer;
                                          }),
                  answer);
        EXPECT_GE(asked, 1);
    }
    EXPECT_FALSE(handoff.changed.waitUntil(handoff.mutex, std::chrono::steady_clock::now()))
        << "a deadline already past ends the wait";
    handoff.mutex.assertHeld();
}

TEST(LocksTest, BindingFollowsTheFirstCallerUntilDetached) {
    platform::ThreadBinding binding;
    auto onNewThread = [&] {
        bool valid = false;
        std::thread([&] { valid = binding.calledOnValidThread(); }).join();
        return valid;
    };
    // The owner stays alive while others ask: a finished thread's id may be given to the next.
    std::latch bound(1);
    std::latch probed(1);
    bool ownerValid = false;
    std::thread owner([&] {
        ownerValid = binding.calledOnValidThread();
        bound.count_down();
        probed.wait();
    });
    bound.wait();
    EXPECT_TRUE(ownerValid) << "the first caller binds";
    EXPECT_FALSE(binding.calledOnValidThread()) << "bound to the owner";
    EXPECT_FALSE(onNewThread()) << "a third thread is refused too";
    binding.detach();
    EXPECT_TRUE(binding.calledOnValidThread()) << "after detaching the next caller binds";
    EXPECT_TRUE(binding.calledOnValidThread());
    EXPECT_FALSE(onNewThread());
    probed.count_down();
    owner.join();
}

TEST(LocksTest, ReleaseCheckerCostsNothing) {
    if (kDebugBuild) GTEST_SKIP() << "debug builds keep the bound thread";
    struct Owner {
        int field;
        [[no_unique_address]] platform::ThreadChecker checker;
    };
    EXPECT_TRUE(std::is_empty_v<platform::ThreadChecker>);
    EXPECT_EQ(sizeof(Owner), sizeof(int));
}

void checkFromAnotherThread() {
    platform::ThreadChecker checker;
    checker.check("the window");
    std::thread([&] { checker.check("the window"); }).join();
}

void assertHeldWithoutHolding() {
    platform::Mutex mutex;
    mutex.assertHeld();
}

TEST(LocksDeathTest, DebugBuildsStopUseFromTheWrongThread) {
    if (!kDebugBuild) GTEST_SKIP() << "the checks are compiled out";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(checkFromAnotherThread(), "the window used off the thread that owns it");
    EXPECT_DEATH(assertHeldWithoutHolding(), "");
    platform::ThreadChecker moved;
    moved.check("the window");
    moved.detach();
    std::thread([&] { moved.check("the window"); }).join();  // ownership passed on purpose: no stop
}

}  // namespace
