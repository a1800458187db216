// foundation::CountedSemaphoreLock, a cross-process lock on a System V set that counts its users.
#pragma once

#include <chrono>
#include <string>

#include "foundation/locks/SystemVSemaphoreSet.h"

namespace foundation {

// A set of two semaphores under one key: 0 counts the processes that use it, 1 is the lock
// (1 free, 0 taken). The last user to leave removes the set. The key is remembered, so a set
// that could not be had, or that someone removed, is made again: on a removal at once, else
// when retryIfDue() finds the retry interval passed, so a broken System V never slows every
// caller. Thread contract: not thread-safe; its owner serialises every call under its own
// mutex, which also gives that owner's threads the ordering the kernel semaphore hides.
// It never logs: the logging library stands on it.
class CountedSemaphoreLock {
public:
    // Whether the kernel takes back a process's user count when the process ends.
    enum class UserCount { KeptAtExit, UndoneAtExit };

    // A creator initialises a fresh set within microseconds; a longer wait only means it died.
    static constexpr std::chrono::milliseconds kInitialisationWait{250};
    static constexpr std::chrono::seconds kRetryInterval{5};

    explicit CountedSemaphoreLock(UserCount userCount) : userCount_(userCount) {}
    CountedSemaphoreLock(const CountedSemaphoreLock&) = delete;
    CountedSemaphoreLock& operator=(const CountedSemaphoreLock&) = delete;

    // Remembers the key (path must exist), opens or creates its set and counts this process
    // as a user. True when a set is held.
    bool open(const std::string& path, int projectId);
    // Stops counting this process, removing the set when it was the last user, and forgets
    // the key. True when nothing went wrong (also when no set was held).
    bool close();

    bool configured() const { return configured_; }
    bool holdsSet() const { return set_.valid(); }

    // Opens the set again when the key is known, none is held and the last attempt is older
    // than kRetryInterval.
    void retryIfDue();

    // Takes semaphore 1, blocking, with undo. A set removed under us is made again once and
    // taken; false with errno when that fails too or no set is held. The handle is left as
    // the failure left it: forget() drops it.
    bool take();
    // Gives semaphore 1 back.
    bool give();

    // Drops the handle without touching the kernel set.
    void forget() { set_.reset(); }

private:
    bool openOnce();
    unsigned userCountFlags() const;

    const UserCount userCount_;
    SystemVSemaphoreSet set_;
    std::string path_;
    int projectId_ = 0;
    bool configured_ = false;
    std::chrono::steady_clock::time_point lastAttempt_{};
};

}  // namespace foundation
