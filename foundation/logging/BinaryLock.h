// zezu::BinaryLock, the cross-process lock that serialises the writers of one log file.
#pragma once

#include <string>

#include "foundation/locks/CountedSemaphoreLock.h"
#include "platform/Mutex.h"

namespace zezu {

// A System V set of two semaphores: 0 counts the processes that use it, 1 is the lock
// (1 free, 0 taken). The threads of this process also pass an in-process mutex first, which
// carries the memory ordering the kernel semaphore gives no tool a view of. When no set can
// be had, writers are still serialised within the process and each line goes out in one
// O_APPEND write, so lines stay whole; the set is asked for again on later waits, at most
// once every few seconds so a broken System V never slows every line.
class BinaryLock {
public:
    // The project id the log files' locks use.
    static constexpr int kLogFileProjectId = 11;

    BinaryLock() = default;
    ~BinaryLock();
    BinaryLock(const BinaryLock&) = delete;
    BinaryLock& operator=(const BinaryLock&) = delete;

    // Opens or creates the set keyed by the path (which must exist) and counts this process
    // as a user. Remembers the key for later retries; true when a set is held.
    bool create(const std::string& path, int projectId) EXCLUDES(mutex_);

    // Takes the lock, blocking. False only when the lock was never created. The in-process
    // mutex stays held from a true wait() to release().
    bool wait() TRY_ACQUIRE(true, mutex_);
    bool release() RELEASE(mutex_);

    // Stops counting this process as a user and removes the set when it was the last.
    bool finalize() EXCLUDES(mutex_);

    // Not while this thread holds the lock.
    bool holdsSet() EXCLUDES(mutex_);

private:
    platform::Mutex mutex_;
    // The user count stays when a process dies: the log file's set outlives its writers.
    foundation::CountedSemaphoreLock set_ GUARDED_BY(mutex_){foundation::CountedSemaphoreLock::UserCount::KeptAtExit};
    bool heldSystemV_ GUARDED_BY(mutex_) = false;  // the current holder took semaphore 1
};

}  // namespace zezu
