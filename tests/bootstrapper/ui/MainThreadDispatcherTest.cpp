// The main-thread queue without a toolkit: order, coalescing, blocking requests and closing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bootstrapper/ui/MainThreadDispatcher.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 30s;  // only ever reached by a failing test
constexpr int kProgress = 0;  // the coalescing key the window uses for percent updates

// Stands in for the toolkit's main loop: counts the dispatcher's "post to main" requests, which
// the test thread (playing main) answers by serving.
class MainLoopStandIn {
public:
    MainThreadDispatcher::PostToMain postToMain() {
        return [this] {
            std::lock_guard<std::mutex> hold(mutex_);
            ++wakes_;
            changed_.notify_all();
        };
    }
    bool waitForWakes(int count) {
        std::unique_lock<std::mutex> hold(mutex_);
        return changed_.wait_for(hold, kBound, [&] { return wakes_ >= count; });
    }
    int wakes() {
        std::lock_guard<std::mutex> hold(mutex_);
        return wakes_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int wakes_ = 0;
};

// Plays main until done() holds: serves after each "post to main". The count is read before
// serving, so a post that comes during a round is never missed.
bool serveUntil(MainThreadDispatcher& dispatcher, MainLoopStandIn& loop, const std::function<bool()>& done) {
    int seen = 0;
    while (!done()) {
        if (!loop.waitForWakes(seen + 1)) return false;
        seen = loop.wakes();
        dispatcher.serve();
    }
    return true;
}

// What main ran, in order; written on main only, read after the worker is joined.
struct Log {
    std::vector<std::int64_t> entries;
};

TEST(MainThreadDispatcher, ServesInPostingOrderAndCoalescesOnlyAdjacentProgress) {
    MainLoopStandIn loop;
    MainThreadDispatcher dispatcher(loop.postToMain());
    std::vector<std::string> ran;
    // p = progress (coalescable), c = another call. Only a run of progress with nothing between
    // merges, and the latest of the run wins.
    const std::string posted = "p1 p2 c3 p4 c5 c6 p7 p8 p9 c10 p11";
    const std::vector<std::string> expected = {"p2", "c3", "p4", "c5", "c6", "p9", "c10", "p11"};
    std::thread worker([&] {
        std::size_t start = 0;
        while (start < posted.size()) {
            std::size_t end = posted.find(' ', start);
            if (end == std::string::npos) end = posted.size();
            const std::string name = posted.substr(start, end - start);
            auto task = [&ran, name] { ran.push_back(name); };
            if (name[0] == 'p') {
                EXPECT_TRUE(dispatcher.postCoalesced(kProgress, task));
            } else {
                EXPECT_TRUE(dispatcher.post(task));
            }
            start = end + 1;
        }
    });
    worker.join();
    // One request to main for the whole batch: posts while one is pending do not ask again.
    EXPECT_EQ(loop.wakes(), 1);
    EXPECT_FALSE(dispatcher.serve());
    EXPECT_EQ(ran, expected);
}

// A worker races main: the served sequence keeps the posting order, every other call arrives,
// a progress value disappears only when the next posted entry was progress too, and the last
// value always arrives.
TEST(MainThreadDispatcher, ConcurrentServingKeepsOrderAndNeverMovesProgressAcrossACall) {
    MainLoopStandIn loop;
    MainThreadDispatcher dispatcher(loop.postToMain());
    constexpr std::int64_t kCount = 20000;
    auto isProgress = [](std::int64_t i) { return i % 7 != 0; };  // runs of six progress values
    Log log;
    std::atomic<bool> workerDone{false};
    std::thread worker([&] {
        for (std::int64_t i = 0; i < kCount; ++i) {
            auto task = [&log, i] { log.entries.push_back(i); };
            if (isProgress(i)) {
                dispatcher.postCoalesced(kProgress, task);
            } else {
                dispatcher.post(task);
            }
        }
        workerDone = true;
        loop.postToMain()();  // a last nudge, so main sees the end without waiting
    });
    ASSERT_TRUE(serveUntil(dispatcher, loop, [&] { return workerDone && !dispatcher.hasQueued(); }));
    worker.join();
    dispatcher.serve();

    ASSERT_FALSE(log.entries.empty());
    EXPECT_EQ(log.entries.back(), kCount - 1);
    std::vector<bool> seen(kCount, false);
    for (std::size_t k = 0; k < log.entries.size(); ++k) {
        if (k > 0) {
            ASSERT_LT(log.entries[k - 1], log.entries[k]) << "out of order at " << k;
        }
        seen[log.entries[k]] = true;
    }
    for (std::int64_t i = 0; i < kCount; ++i) {
        if (!isProgress(i)) {
            EXPECT_TRUE(seen[i]) << "call " << i << " was lost";
        } else if (!seen[i]) {
            ASSERT_LT(i + 1, kCount);
            EXPECT_TRUE(isProgress(i + 1)) << "progress " << i << " was merged across call " << i + 1;
        }
    }
}

TEST(MainThreadDispatcher, ACallMadeOnMainFirstServesEverythingQueued) {
    MainLoopStandIn loop;
    MainThreadDispatcher dispatcher(loop.postToMain());
    std::vector<std::string> ran;
    std::thread worker([&] {
        dispatcher.post([&] { ran.push_back("a"); });
        dispatcher.postCoalesced(kProgress, [&] { ran.push_back("b"); });
    });
    worker.join();
    EXPECT_TRUE(dispatcher.post([&] { ran.push_back("main"); }));
    EXPECT_EQ(ran, (std::vector<std::string>{"a", "b", "main"}));
    EXPECT_FALSE(dispatcher.hasQueued());
}

TEST(MainThreadDispatcher, AStoppedRoundWaitsForResumeAndKeepsTheRest) {
    MainLoopStandIn loop;
    MainThreadDispatcher dispatcher(loop.postToMain());
    std::vector<int> ran;
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i) dispatcher.post([&ran, i] { ran.push_back(i); });
    });
    worker.join();
    ASSERT_EQ(loop.wakes(), 1);
    // One task a round, as the window serves while a painted frame is awaited.
    EXPECT_TRUE(dispatcher.serve([] { return false; }));
    EXPECT_EQ(ran, (std::vector<int>{0}));
    std::thread later([&] { dispatcher.post([&ran] { ran.push_back(3); }); });
    later.join();
    EXPECT_EQ(loop.wakes(), 1) << "a held round must not be asked for again by a post";
    dispatcher.resume();
    EXPECT_EQ(loop.wakes(), 2);
    EXPECT_FALSE(dispatcher.serve());
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3}));
    dispatcher.resume();
    EXPECT_EQ(loop.wakes(), 2) << "nothing queued, nothing to ask for";
}

TEST(MainThreadDispatcher, ARequestWaitsForItsCompletionAndComesAfterEarlierCalls) {
    MainLoopStandIn loop;
    MainThreadDispatcher dispatcher(loop.postToMain());
    std::vector<std::string> ran;
    std::uint64_t shownId = 0;
    std::atomic<bool> stored{false};
    std::promise<bool> result;
    std::thread worker([&] {
        dispatcher.post([&] { ran.push_back("screen"); });
        result.set_value(dispatcher.request([&](std::uint64_t id) {
            ran.push_back("dialog");
            shownId = id;
        }));
        // The answer's code is stored before the completion, so the worker always sees it.
        EXPECT_TRUE(stored);
    });
    auto answer = result.get_future();
    ASSERT_TRUE(serveUntil(dispatcher, loop, [&] { return shownId != 0; }));
    EXPECT_EQ(ran, (std::vector<std::string>{"screen", "dialog"}));
    EXPECT_EQ(answer.wait_for(0s), std::future_status::timeout) << "returned before it was answered";
    dispatcher.complete(shownId + 1000);  // another request's id answers nothing
    EXPECT_EQ(answer.wait_for(0s), std::future_status::timeout);
    stored = true;
    dispatcher.complete(shownId);
    EXPECT_TRUE(answer.get());
    worker.join();
}

TEST(MainThreadDispatcher, ClosingWakesShownAndQueuedWaitersAndDropsLaterPosts) {
    MainLoopStandIn loop;
    MainThreadDispatcher dispatcher(loop.postToMain());
    std::atomic<int> shown{0};
    std::promise<bool> first;
    std::promise<bool> second;
    std::thread shownWaiter([&] { first.set_value(dispatcher.request([&](std::uint64_t) { ++shown; })); });
    ASSERT_TRUE(serveUntil(dispatcher, loop, [&] { return shown != 0; }));
    const int wakesBefore = loop.wakes();
    std::thread queuedWaiter([&] { second.set_value(dispatcher.request([&](std::uint64_t) { ++shown; })); });
    ASSERT_TRUE(loop.waitForWakes(wakesBefore + 1));  // queued, never served
    std::atomic<bool> droppedRan{false};
    std::thread poster([&] { dispatcher.post([&] { droppedRan = true; }); });
    poster.join();

    dispatcher.close();
    EXPECT_FALSE(first.get_future().get());
    EXPECT_FALSE(second.get_future().get());
    shownWaiter.join();
    queuedWaiter.join();

    // After closing: nothing queued runs, posts are refused, requests return at once.
    EXPECT_FALSE(dispatcher.serve());
    EXPECT_FALSE(droppedRan);
    EXPECT_EQ(shown, 1);
    std::atomic<bool> laterRan{false};
    std::thread late([&] {
        EXPECT_FALSE(dispatcher.post([&] { laterRan = true; }));
        EXPECT_FALSE(dispatcher.postCoalesced(kProgress, [&] { laterRan = true; }));
        EXPECT_FALSE(dispatcher.request([&](std::uint64_t) { laterRan = true; }));
    });
    late.join();
    EXPECT_FALSE(dispatcher.post([&] { laterRan = true; }));
    dispatcher.serve();
    EXPECT_FALSE(laterRan);
    dispatcher.complete(1);
    dispatcher.close();
    EXPECT_TRUE(dispatcher.isClosed());
}

// Answers and closing race many waiters: each returns once, true exactly when it was answered.
TEST(MainThreadDispatcher, ManyRequestsRaceTheirAnswersAndTheClose) {
    MainLoopStandIn loop;
    MainThreadDispatcher dispatcher(loop.postToMain());
    constexpr int kWorkers = 4;
    constexpr int kRequestsEach = 200;
    std::vector<std::uint64_t> toAnswer;  // main only
    std::atomic<int> returned{0};
    std::atomic<int> answered{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&] {
            for (int r = 0; r < kRequestsEach; ++r) {
                if (dispatcher.request([&](std::uint64_t id) { toAnswer.push_back(id); })) ++answered;
                ++returned;
            }
        });
    }
    int answeredOnMain = 0;
    ASSERT_TRUE(serveUntil(dispatcher, loop, [&] {
        for (std::uint64_t id : toAnswer) {
            dispatcher.complete(id);
            ++answeredOnMain;
        }
        toAnswer.clear();
        return answeredOnMain >= kWorkers * kRequestsEach / 2;
    }));
    dispatcher.close();
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(returned, kWorkers * kRequestsEach);
    // An answer given before the close is reported as one, even when the close wakes its waiter.
    EXPECT_EQ(answered, answeredOnMain);
}

TEST(MainThreadDispatcherDeathTest, ABlockingRequestOnMainIsAProgrammingError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    MainLoopStandIn loop;
    MainThreadDispatcher dispatcher(loop.postToMain());
    // Without assertions compiled in, the call returns at once instead of waiting for ever.
    EXPECT_DEBUG_DEATH(EXPECT_FALSE(dispatcher.request([](std::uint64_t) {})), "blocking window call");
}

}  // namespace
