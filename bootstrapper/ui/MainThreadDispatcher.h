// The queue that carries the worker's window calls to the main thread, in order, with no toolkit.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <thread>

#include "platform/Mutex.h"

// One FIFO queue of calls, served on the main thread. The toolkit only lends it one "post to
// main" function, which asks the main loop to call serve() soon; so the queue, the waits of the
// blocking calls and the closing can be tested without a display, under ThreadSanitizer.
//
// Closing is final: every waiter returns at once without an answer, queued calls are dropped and
// later posts are refused. That lets shutdown join the worker even while it waits on a dialog.
class MainThreadDispatcher {
public:
    using Task = std::function<void()>;
    // Shows a blocking request on main; its answer is reported with complete(requestId).
    using RequestTask = std::function<void(std::uint64_t requestId)>;
    // Asks the main thread to call serve() soon. Called from any thread, never under the lock.
    using PostToMain = std::function<void()>;

    // The constructing thread is the main thread.
    explicit MainThreadDispatcher(PostToMain postToMain);
    ~MainThreadDispatcher();
    MainThreadDispatcher(const MainThreadDispatcher&) = delete;
    MainThreadDispatcher& operator=(const MainThreadDispatcher&) = delete;

    // Queues task; false when the dispatcher is closed (the task is dropped). Made on main, the
    // call first serves every queued task, then runs task at once.
    bool post(Task task) EXCLUDES(lock_);
    // As post, but when the newest queued entry carries the same key its task is replaced: the
    // latest value wins and never moves across another call. Keys are non-negative.
    bool postCoalesced(int key, Task task) EXCLUDES(lock_);

    // Worker only (asserts off main): queues show and waits until the request is completed or
    // the dispatcher closes. True when answered; false when closed, before or while waiting.
    bool request(RequestTask show) EXCLUDES(lock_);
    // Main: the request is answered, its waiter returns. Nothing happens after close.
    void complete(std::uint64_t requestId) EXCLUDES(lock_);

    // Main: runs queued tasks in order. Before each task after the first, mayContinue (when set)
    // may stop the round; the caller then calls resume() when it is ready for more. True when
    // tasks remain.
    bool serve(const std::function<bool()>& mayContinue = {}) EXCLUDES(lock_);
    // After a round that serve() stopped: asks main again when tasks remain.
    void resume() EXCLUDES(lock_);

    // Refuses later posts, drops queued tasks and wakes every waiter. Idempotent.
    void close() EXCLUDES(lock_);
    bool isClosed() const EXCLUDES(lock_);
    bool hasQueued() const EXCLUDES(lock_);
    bool isMainThread() const { return std::this_thread::get_id() == mainThread_; }

private:
    struct Entry {
        int key = -1;  // coalescing key; -1 never coalesces
        Task task;
    };

    bool enqueue(int key, Task task) EXCLUDES(lock_);
    bool answered(std::uint64_t requestId) const REQUIRES(lock_);

    const std::thread::id mainThread_;
    const PostToMain postToMain_;
    mutable platform::Mutex lock_;
    platform::CondVar answeredOrClosed_;
    std::deque<Entry> queue_ GUARDED_BY(lock_);
    bool wakePending_ GUARDED_BY(lock_) = false;  // serve() is asked for, or a stopped round awaits resume()
    bool closed_ GUARDED_BY(lock_) = false;
    std::uint64_t nextRequestId_ GUARDED_BY(lock_) = 1;
    std::set<std::uint64_t> completed_ GUARDED_BY(lock_);
};
