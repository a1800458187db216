// A std::mutex that clang's thread-safety analysis can check, and its scoped lock for waits.
#pragma once

#include <mutex>

#include "platform/ThreadAnnotations.h"

namespace test_support {

class CAPABILITY("mutex") HeadlessMutex {
public:
    HeadlessMutex() = default;
    HeadlessMutex(const HeadlessMutex&) = delete;
    HeadlessMutex& operator=(const HeadlessMutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

// Held for one scope; std::condition_variable_any releases and retakes it through lock/unlock
// while it waits, so the analysis sees the guarded fields held for the whole scope.
class SCOPED_CAPABILITY HeadlessLock {
public:
    explicit HeadlessLock(HeadlessMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~HeadlessLock() RELEASE() { mutex_.unlock(); }
    HeadlessLock(const HeadlessLock&) = delete;
    HeadlessLock& operator=(const HeadlessLock&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    HeadlessMutex& mutex_;
};

}  // namespace test_support
