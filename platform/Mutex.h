// The in-process locks the analysis checks: Mutex, SharedMutex, their scoped holders and CondVar.
#pragma once

#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "platform/ThreadAnnotations.h"

namespace platform {

namespace mutex_detail {
// One address per live thread; unlike std::thread::id it lets a Mutex be constant-initialised,
// so a global one is usable from program start.
inline const void* currentThreadToken() {
    static thread_local const char token = 0;
    return &token;
}
}  // namespace mutex_detail

// Holds any lockable with lock()/unlock() for one scope: platform::Mutex, and the download
// engine's own pthread Mutex, whose failing calls end the process with their statuses.
template <typename Lockable>
class SCOPED_CAPABILITY ScopedLock {
public:
    explicit ScopedLock(Lockable& lockable) ACQUIRE(lockable) : lockable_(lockable) { lockable_.lock(); }
    ~ScopedLock() RELEASE() { lockable_.unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    Lockable& lockable_;
};

// A non-recursive mutex. Debug builds remember the holder, so assertHeld() really checks.
class CAPABILITY("mutex") Mutex {
public:
    constexpr Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() {
        mutex_.lock();
        noteHolder();
    }
    void unlock() RELEASE() {
        forgetHolder();
        mutex_.unlock();
    }
    // For a function the analysis cannot follow (a callback run under the lock): tells it the
    // lock is held, and in debug builds stops the process when this thread does not hold it.
    void assertHeld() const ASSERT_CAPABILITY(this) {
#ifndef NDEBUG
        assert(holder_.load(std::memory_order_relaxed) == mutex_detail::currentThreadToken());
#endif
    }

private:
    friend class CondVar;

    void noteHolder() {
#ifndef NDEBUG
        holder_.store(mutex_detail::currentThreadToken(), std::memory_order_relaxed);
#endif
    }
    void forgetHolder() {
#ifndef NDEBUG
        holder_.store(nullptr, std::memory_order_relaxed);
#endif
    }

    std::mutex mutex_;
#ifndef NDEBUG
    std::atomic<const void*> holder_{nullptr};
#endif
};

using MutexLock = ScopedLock<Mutex>;

// Many readers or one writer; for data read far more often than it changes.
class CAPABILITY("mutex") SharedMutex {
public:
    SharedMutex() = default;
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    void lockShared() ACQUIRE_SHARED() { mutex_.lock_shared(); }
    void unlockShared() RELEASE_SHARED() { mutex_.unlock_shared(); }

private:
    std::shared_mutex mutex_;
};

using WriterLock = ScopedLock<SharedMutex>;

// Holds a SharedMutex shared for one scope.
class SCOPED_CAPABILITY ReaderLock {
public:
    explicit ReaderLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : mutex_(mutex) { mutex_.lockShared(); }
    ~ReaderLock() RELEASE() { mutex_.unlockShared(); }
    ReaderLock(const ReaderLock&) = delete;
    ReaderLock& operator=(const ReaderLock&) = delete;

private:
    SharedMutex& mutex_;
};

// A condition variable that waits on a platform::Mutex the caller holds. Every waiter of one
// CondVar passes the same mutex. Wake-ups may be spurious: wait in a loop, or with a predicate
// (annotate a lambda that reads guarded fields with REQUIRES(mutex)).
class CondVar {
public:
    CondVar() = default;
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;

    void wait(Mutex& mutex) REQUIRES(mutex) {
        std::unique_lock<std::mutex> held(mutex.mutex_, std::adopt_lock);
        mutex.forgetHolder();
        condition_.wait(held);
        mutex.noteHolder();
        held.release();
    }
    // False when the deadline passed before a wake-up.
    template <typename Clock, typename Duration>
    bool waitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(mutex) {
        std::unique_lock<std::mutex> held(mutex.mutex_, std::adopt_lock);
        mutex.forgetHolder();
        const std::cv_status status = condition_.wait_until(held, deadline);
        mutex.noteHolder();
        held.release();
        return status == std::cv_status::no_timeout;
    }
    // Waits until done() holds or `limit` passes; gives done()'s last answer. The analysis cannot
    // tie the caller's mutex to this parameter, so it checks done() where it is written instead.
    template <typename Rep, typename Period, typename Predicate>
    bool waitFor(Mutex& mutex, const std::chrono::duration<Rep, Period>& limit, Predicate done)
        REQUIRES(mutex) NO_THREAD_SAFETY_ANALYSIS {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (!waitUntil(mutex, deadline)) return done();
        }
        return true;
    }

    void signal() { condition_.notify_one(); }
    void signalAll() { condition_.notify_all(); }

private:
    std::condition_variable condition_;
};

}  // namespace platform
