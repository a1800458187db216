// LoggerSemaphore: the facade's System V mutex, reopened when its set is removed under it.
#include "foundation/logging/LoggerSemaphore.h"

bool LoggerSemaphore::open(const std::string& path, int projectId) {
    platform::MutexLock state(stateMutex_);
    return set_.open(path, projectId);
}

bool LoggerSemaphore::close() {
    platform::MutexLock state(stateMutex_);
    return set_.close();
}

bool LoggerSemaphore::lock() {
    holderMutex_.lock();
    platform::MutexLock state(stateMutex_);
    set_.retryIfDue();
    if (!set_.take()) {
        holderMutex_.unlock();
        return false;
    }
    held_ = true;
    return true;
}

// An unlock without a hold answers true, which the analysis cannot follow.
bool LoggerSemaphore::unlock() NO_THREAD_SAFETY_ANALYSIS {
    platform::MutexLock state(stateMutex_);
    if (!held_) return true;
    held_ = false;
    // Even when the set went away the in-process hold must end, or every thread would block.
    const bool released = set_.give();
    holderMutex_.unlock();
    return released;
}
