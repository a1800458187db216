// The main-thread queue of window calls: FIFO serving, coalescing, blocking requests and closing.
#include "bootstrapper/ui/MainThreadDispatcher.h"

#include <cassert>
#include <utility>

MainThreadDispatcher::MainThreadDispatcher(PostToMain postToMain)
    : mainThread_(std::this_thread::get_id()), postToMain_(std::move(postToMain)) {}

MainThreadDispatcher::~MainThreadDispatcher() { close(); }

bool MainThreadDispatcher::post(Task task) {
    if (isMainThread()) {
        // Nothing queued may be overtaken by a call made on main.
        while (serve()) {
        }
        if (isClosed()) {
            return false;
        }
        task();
        return true;
    }
    return enqueue(-1, std::move(task));
}

bool MainThreadDispatcher::postCoalesced(int key, Task task) {
    if (isMainThread()) {
        return post(std::move(task));
    }
    return enqueue(key < 0 ? -1 : key, std::move(task));
}

bool MainThreadDispatcher::enqueue(int key, Task task) {
    Task replaced;  // destroyed outside the lock: its captures may be anything
    bool wake = false;
    bool queued = false;
    {
        platform::MutexLock guard(lock_);
        if (closed_) {
            replaced = std::move(task);
        } else {
            queued = true;
            if (key >= 0 && !queue_.empty() && queue_.back().key == key) {
                replaced = std::exchange(queue_.back().task, std::move(task));
            } else {
                queue_.push_back(Entry{key, std::move(task)});
            }
            if (!wakePending_) {
                wakePending_ = true;
                wake = true;
            }
        }
    }
    if (wake && postToMain_) {
        postToMain_();
    }
    return queued;
}

bool MainThreadDispatcher::answered(std::uint64_t requestId) const { return completed_.count(requestId) != 0; }

bool MainThreadDispatcher::request(RequestTask show) {
    assert(!isMainThread() && "a blocking window call on the main thread would never be answered");
    if (isMainThread()) {
        return false;
    }
    std::uint64_t id = 0;
    {
        platform::MutexLock guard(lock_);
        if (closed_) {
            return false;
        }
        id = nextRequestId_++;
    }
    if (!enqueue(-1, [show = std::move(show), id]() { show(id); })) {
        return false;
    }
    platform::MutexLock guard(lock_);
    while (!closed_ && !answered(id)) {
        answeredOrClosed_.wait(lock_);
    }
    const bool wasAnswered = answered(id);
    completed_.erase(id);
    return wasAnswered;
}

void MainThreadDispatcher::complete(std::uint64_t requestId) {
    {
        platform::MutexLock guard(lock_);
        if (closed_) {
            return;
        }
        completed_.insert(requestId);
    }
    answeredOrClosed_.signalAll();
}

bool MainThreadDispatcher::serve(const std::function<bool()>& mayContinue) {
    {
        platform::MutexLock guard(lock_);
        wakePending_ = false;
    }
    for (bool first = true;; first = false) {
        // Asked outside the lock: the toolkit side may look at anything, this queue included.
        if (!first && mayContinue && hasQueued() && !mayContinue()) {
            platform::MutexLock guard(lock_);
            if (closed_ || queue_.empty()) {
                return false;
            }
            wakePending_ = true;  // held until resume(), so posts do not ask main again
            return true;
        }
        Task task;
        {
            platform::MutexLock guard(lock_);
            if (closed_ || queue_.empty()) {
                return false;
            }
            task = std::move(queue_.front().task);
            queue_.pop_front();
        }
        if (task) {
            task();
        }
    }
}

bool MainThreadDispatcher::hasQueued() const {
    platform::MutexLock guard(lock_);
    return !closed_ && !queue_.empty();
}

void MainThreadDispatcher::resume() {
    bool wake = false;
    {
        platform::MutexLock guard(lock_);
        if (closed_ || queue_.empty()) {
            wakePending_ = false;
            return;
        }
        wakePending_ = true;
        wake = true;
    }
    if (wake && postToMain_) {
        postToMain_();
    }
}

void MainThreadDispatcher::close() {
    std::deque<Entry> dropped;
    {
        platform::MutexLock guard(lock_);
        if (closed_) {
            return;
        }
        closed_ = true;
        dropped.swap(queue_);
        // Answers already given stay: their waiters report them even when the close wakes them.
    }
    answeredOrClosed_.signalAll();
}

bool MainThreadDispatcher::isClosed() const {
    platform::MutexLock guard(lock_);
    return closed_;
}
