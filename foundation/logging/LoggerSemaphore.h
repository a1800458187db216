// LoggerSemaphore, the cross-process mutex every message of the log facade passes.
#pragma once

#include <string>

#include "foundation/locks/CountedSemaphoreLock.h"
#include "platform/Mutex.h"

// A System V set of two semaphores: 0 counts the users (with undo, so a dead process stops
// counting), 1 is the mutex (1 free, 0 taken). Threads of this process also pass an
// in-process mutex, which gives them the ordering the kernel semaphore hides from tools.
class LoggerSemaphore {
public:
    LoggerSemaphore() = default;
    ~LoggerSemaphore() = default;
    LoggerSemaphore(const LoggerSemaphore&) = delete;
    LoggerSemaphore& operator=(const LoggerSemaphore&) = delete;

    // Opens or creates the set of the key and counts this process as a user. The key is
    // remembered, so lock() tries again when no set is held.
    bool open(const std::string& path, int projectId) EXCLUDES(stateMutex_);
    // Stops counting this process; the last user removes the set.
    bool close() EXCLUDES(stateMutex_);
    // Blocks without a time limit; false when no set can be had (the message is dropped).
    bool lock() TRY_ACQUIRE(true, holderMutex_) EXCLUDES(stateMutex_);
    bool unlock() RELEASE(holderMutex_) EXCLUDES(stateMutex_);

private:
    platform::Mutex stateMutex_;
    platform::Mutex holderMutex_;  // held from lock() to unlock()
    foundation::CountedSemaphoreLock set_ GUARDED_BY(stateMutex_){
        foundation::CountedSemaphoreLock::UserCount::UndoneAtExit};
    bool held_ GUARDED_BY(stateMutex_) = false;
};
