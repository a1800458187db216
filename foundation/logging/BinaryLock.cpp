// BinaryLock: System V lock per log file, with an in-process fallback when no set is had.
#include "foundation/logging/BinaryLock.h"

namespace zezu {

BinaryLock::~BinaryLock() {
    platform::MutexLock lock(mutex_);
    if (set_.holdsSet()) set_.close();
}

bool BinaryLock::create(const std::string& path, int projectId) {
    platform::MutexLock lock(mutex_);
    return set_.open(path, projectId);
}

bool BinaryLock::wait() {
    mutex_.lock();
    if (!set_.configured()) {
        mutex_.unlock();
        return false;
    }
    set_.retryIfDue();
    // A set that cannot be taken, even made again, is dropped: carry on in-process only.
    if (set_.holdsSet() && !set_.take()) set_.forget();
    heldSystemV_ = set_.holdsSet();
    return true;  // mutex_ stays held until release()
}

bool BinaryLock::release() {
    bool released = true;
    if (heldSystemV_) {
        released = set_.give();
        heldSystemV_ = false;
    }
    mutex_.unlock();
    return released;
}

bool BinaryLock::finalize() {
    platform::MutexLock lock(mutex_);
    return set_.close();
}

bool BinaryLock::holdsSet() {
    platform::MutexLock lock(mutex_);
    return set_.holdsSet();
}

}  // namespace zezu
