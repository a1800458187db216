// LoggerSemaphore: the facade's System V mutex, reopened when its set is removed under it.
#include "foundation/logging/LoggerSemaphore.h"

#include <cerrno>

namespace {

using foundation::SystemVSemaphoreSet;

constexpr unsigned short kUsers = 0;
constexpr unsigned short kMutex = 1;
constexpr std::chrono::milliseconds kInitialisationWait{250};
constexpr std::chrono::seconds kRetryInterval{5};

}  // namespace

bool LoggerSemaphore::open(const std::string& path, int projectId) {
    platform::MutexLock state(stateMutex_);
    path_ = path;
    projectId_ = projectId;
    configured_ = true;
    // A set its last user removed between our open and our count raise is made again.
    return openLocked() || openLocked();
}

bool LoggerSemaphore::openLocked() {
    if (set_.valid()) return true;
    lastAttempt_ = std::chrono::steady_clock::now();
    auto opened =
        SystemVSemaphoreSet::openOrCreate(path_, projectId_, {0, 1}, 0666, kInitialisationWait);
    if (!opened) return false;
    if (!opened->set.change(kUsers, 1, SystemVSemaphoreSet::kNoWait | SystemVSemaphoreSet::kUndo)) {
        return false;
    }
    set_ = std::move(opened->set);
    return true;
}

bool LoggerSemaphore::close() {
    platform::MutexLock state(stateMutex_);
    configured_ = false;
    if (!set_.valid()) return true;
    if (!set_.change(kUsers, -1, SystemVSemaphoreSet::kNoWait | SystemVSemaphoreSet::kUndo)) {
        set_.reset();
        return false;
    }
    const std::optional<int> users = set_.value(kUsers);
    if (users && *users != 0) {
        set_.reset();
        return true;
    }
    return set_.remove();
}

bool LoggerSemaphore::lock() {
    holderMutex_.lock();
    platform::MutexLock state(stateMutex_);
    if (!set_.valid() && configured_ &&
        std::chrono::steady_clock::now() - lastAttempt_ >= kRetryInterval) {
        openLocked();
    }
    bool taken = set_.valid() && set_.change(kMutex, -1, SystemVSemaphoreSet::kUndo);
    if (!taken && set_.valid() && (errno == EIDRM || errno == EINVAL)) {
        set_.reset();
        taken = openLocked() && set_.change(kMutex, -1, SystemVSemaphoreSet::kUndo);
    }
    if (!taken) {
        holderMutex_.unlock();
        return false;
    }
    held_ = true;
    return true;
}

// An unlock without a hold is let pass; the analysis cannot see that held_ tells the two apart.
bool LoggerSemaphore::unlock() NO_THREAD_SAFETY_ANALYSIS {
    platform::MutexLock state(stateMutex_);
    if (!held_) return true;
    held_ = false;
    // Even when the set went away the in-process hold must end, or every thread would block.
    const bool released = set_.change(kMutex, 1, SystemVSemaphoreSet::kUndo);
    holderMutex_.unlock();
    return released;
}
