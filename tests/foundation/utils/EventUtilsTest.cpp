// Auto-reset events and critical sections: signalling, time-outs, races and re-entry.
#include "foundation/utils/EventUtils.h"
#include "foundation/utils/NativeCriticalSection.h"
#include "foundation/utils/TestSeams.h"
#include "foundation/utils/UtilsLogging.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

using ZEZUUtils::EventUtils;
using ZEZUUtils::ZEZUEventsIntl;

namespace {

class Event {
public:
    Event() : handle_(EventUtils::CreateEvnt()) {}
    ~Event() { EventUtils::DestroyEvent(handle_); }
    ZEZU_Event_t get() const { return handle_; }

private:
    ZEZU_Event_t handle_;
};

// Puts the real condition wait back whatever the test did.
class WaitHookGuard {
public:
    explicit WaitHookGuard(ZEZUEventsIntl::ConditionWaitFunction hook) { ZEZUUtils::testing::setConditionWait(hook); }
    ~WaitHookGuard() { ZEZUUtils::testing::setConditionWait(nullptr); }
};

std::atomic<ZEZU_Event_t> racingEvent{nullptr};
std::atomic<int> hookCalls{0};

// The waiter's time-out expires, but another thread takes the mutex first and sets the
// event before the waiter gets it back: the condition reports a time-out with the flag set.
int setterWinsTheTimeout(pthread_cond_t*, pthread_mutex_t* mutex, const struct timespec*) {
    ++hookCalls;
    pthread_mutex_unlock(mutex);
    std::thread([] { EventUtils::SetEvnt(racingEvent.load()); }).join();
    pthread_mutex_lock(mutex);
    return ETIMEDOUT;
}

int waitAlwaysFails(pthread_cond_t*, pthread_mutex_t*, const struct timespec*) {
    ++hookCalls;
    return EINVAL;
}

template <typename F>
std::chrono::milliseconds elapsed(F&& f) {
    auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

}  // namespace

TEST(EventUtils, ZeroTimeoutOnUnsignalledEventTimesOutAndStaysUnsignalled) {
    Event event;
    ASSERT_NE(event.get(), nullptr);
    EXPECT_EQ(EventUtils::WaitforEvent(event.get(), 0), 1);
    EXPECT_EQ(EventUtils::WaitforEvent(event.get(), 0), 1);
}

TEST(EventUtils, SetBeforeWaitIsKeptAndConsumedByOneWait) {
    Event event;
    EventUtils::SetEvnt(event.get());
    EventUtils::SetEvnt(event.get());  // two sets before one wait count as one
    int result = -1;
    auto took = elapsed([&] { result = EventUtils::WaitforEvent(event.get(), 5000); });
    EXPECT_EQ(result, 0);
    EXPECT_LT(took, std::chrono::milliseconds(2500));
    EXPECT_EQ(EventUtils::WaitforEvent(event.get(), 10), 1);
}

TEST(EventUtils, TimeoutWaitsRoughlyItsLength) {
    Event event;
    auto took = elapsed([&] { EXPECT_EQ(EventUtils::WaitforEvent(event.get(), 50), 1); });
    EXPECT_GE(took, std::chrono::milliseconds(45));
}

TEST(EventUtils, NegativeTimeoutOtherThanMinusOneActsAsZero) {
    Event event;
    EXPECT_EQ(EventUtils::WaitforEvent(event.get(), -5), 1);
    EventUtils::SetEvnt(event.get());
    EXPECT_EQ(EventUtils::WaitforEvent(event.get(), -5), 0);
}

std::vector<std::string> reported;

void captureReport(zezu::Log_Level level, const char*, const char* className, const char*, const char*,
                   const char* format, va_list) {
    reported.push_back(std::string(className) + (level == zezu::ERROR ? " ERROR " : " other ") + format);
}

TEST(EventUtils, NullHandlesAreReportedNotFollowed) {
    reported.clear();
    zezuUtilsLogMessageFnPtr = &captureReport;
    EXPECT_EQ(EventUtils::WaitforEvent(nullptr, -1), 2);
    EXPECT_EQ(EventUtils::DestroyEvent(nullptr), -1);
    EventUtils::SetEvnt(nullptr);
    zezuUtilsLogMessageFnPtr = nullptr;
    EXPECT_EQ(reported, (std::vector<std::string>{
                            "ZEZUEvents ERROR NULL ZEZU_Event_t object passed in WaitforEvent ",
                            "ZEZUEvents ERROR NULL ZEZU_Event_t object passed in DestroyEvent ",
                            "ZEZUEvents ERROR NULL ZEZU_Event_t object passed in SetEvnt ",
                        }));
}

TEST(EventUtils, SetFromAnotherThreadWakesUnlimitedAndHugeWaits) {
    // A huge time-out must not overflow the deadline into an error.
    for (int64_t timeout : {int64_t{-1}, std::numeric_limits<int64_t>::max(), int64_t{600000}}) {
        SCOPED_TRACE(timeout);
        Event event;
        std::atomic<int> result{-1};
        std::thread waiter([&] { result = EventUtils::WaitforEvent(event.get(), timeout); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EventUtils::SetEvnt(event.get());
        waiter.join();
        EXPECT_EQ(result.load(), 0);
    }
}

TEST(EventUtils, SetDuringEveryWaitOfAManyRoundPingPongIsNeverLost) {
    Event request;
    Event reply;
    constexpr int kRounds = 2000;
    std::atomic<int> missed{0};
    std::thread worker([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (EventUtils::WaitforEvent(request.get(), 10000) != 0) ++missed;
            EventUtils::SetEvnt(reply.get());
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        EventUtils::SetEvnt(request.get());
        if (EventUtils::WaitforEvent(reply.get(), 10000) != 0) ++missed;
    }
    worker.join();
    EXPECT_EQ(missed.load(), 0);
}

TEST(EventUtils, SetThatRacesTheTimeoutIsTakenAndConsumed) {
    Event event;
    racingEvent = event.get();
    hookCalls = 0;
    {
        WaitHookGuard hook(&setterWinsTheTimeout);
        EXPECT_EQ(EventUtils::WaitforEvent(event.get(), 1000), 0);
    }
    EXPECT_EQ(hookCalls.load(), 1);
    // Consumed by that wait, not left for the next one.
    EXPECT_EQ(EventUtils::WaitforEvent(event.get(), 0), 1);
}

TEST(EventUtils, PersistentWaitErrorEndsWithTwoInsteadOfSpinning) {
    for (int64_t timeout : {int64_t{-1}, int64_t{1000}}) {
        SCOPED_TRACE(timeout);
        Event event;
        hookCalls = 0;
        WaitHookGuard hook(&waitAlwaysFails);
        EXPECT_EQ(EventUtils::WaitforEvent(event.get(), timeout), 2);
        EXPECT_EQ(hookCalls.load(), 1);
    }
}

namespace {

// Re-entry is what this checks, and the analysis cannot model a recursive lock.
void enterTwiceLeaveOnceThenCheckOthersWait(ZEZUUtils::NativeCriticalSection& section) NO_THREAD_SAFETY_ANALYSIS {
    section.enter();
    section.enter();
    section.leave();
    // Still held once: another thread must wait.
    std::atomic<bool> entered{false};
    std::thread other([&] {
        section.enter();
        entered = true;
        section.leave();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered.load());
    section.leave();
    other.join();
    EXPECT_TRUE(entered.load());
}

}  // namespace

TEST(NativeCriticalSection, NamedLockIsReentrantAndFreeAfterMatchingLeaves) {
    ZEZUUtils::NativeCriticalSection section("settings");
    EXPECT_FALSE(section.isUnnamed());
    enterTwiceLeaveOnceThenCheckOthersWait(section);
}

TEST(NativeCriticalSection, BothKindsExcludeOtherThreads) {
    for (const char* name : {"", "queue"}) {
        SCOPED_TRACE(name);
        ZEZUUtils::NativeCriticalSection section(name);
        EXPECT_EQ(section.isUnnamed(), name[0] == '\0');
        int counter = 0;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 10000; ++i) {
                    ZEZUUtils::ScopedCriticalSection hold(section);
                    ++counter;
                }
            });
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(counter, 40000);
    }
}

TEST(NativeLock, AcquireAndFreeReportSuccess) {
    ZEZU_NativeLock::NativeLock lock;
    EXPECT_EQ(lock.acquireLock(), 0);
    EXPECT_EQ(lock.freeLock(), 0);
}
