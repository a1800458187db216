// BinaryLock: System V lock per log file, with an in-process fallback when no set is had.
#include "foundation/logging/BinaryLock.h"

#include <cerrno>

namespace zezu {
namespace {

using foundation::SystemVSemaphoreSet;

constexpr unsigned short kUsers = 0;
constexpr unsigned short kLock = 1;
// A creator initialises a fresh set within microseconds; a longer wait only means it died.
constexpr std::chrono::milliseconds kInitialisationWait{250};
constexpr std::chrono::seconds kRetryInterval{5};

bool setWasRemoved(int error) { return error == EIDRM || error == EINVAL; }

}  // namespace

BinaryLock::~BinaryLock() {
    platform::MutexLock lock(mutex_);
    if (set_.valid()) finalizeLocked();
}

bool BinaryLock::create(const std::string& path, int projectId) {
    platform::MutexLock lock(mutex_);
    path_ = path;
    projectId_ = projectId;
    configured_ = true;
    // A set removed by its last other user between our open and our count raise is simply
    // made again, so try twice before falling back.
    return createLocked() || createLocked();
}

bool BinaryLock::createLocked() {
    if (set_.valid()) return true;
    lastAttempt_ = std::chrono::steady_clock::now();
    auto opened =
        SystemVSemaphoreSet::openOrCreate(path_, projectId_, {0, 1}, 0666, kInitialisationWait);
    if (!opened) return false;
    if (!opened->set.change(kUsers, 1, SystemVSemaphoreSet::kNoWait)) return false;
    set_ = std::move(opened->set);
    return true;
}

bool BinaryLock::wait() {
    mutex_.lock();
    if (!configured_) {
        mutex_.unlock();
        return false;
    }
    if (!set_.valid() && std::chrono::steady_clock::now() - lastAttempt_ >= kRetryInterval) {
        createLocked();
    }
    if (set_.valid() && !set_.change(kLock, -1, SystemVSemaphoreSet::kUndo)) {
        // The set went away under us: make it again once, else carry on in-process only.
        if (setWasRemoved(errno)) {
            set_.reset();
            if (createLocked() && !set_.change(kLock, -1, SystemVSemaphoreSet::kUndo)) {
                set_.reset();
            }
        } else {
            set_.reset();
        }
    }
    heldSystemV_ = set_.valid();
    return true;  // mutex_ stays held until release()
}

bool BinaryLock::release() {
    bool released = true;
    if (heldSystemV_) {
        released = set_.change(kLock, 1, SystemVSemaphoreSet::kUndo);
        heldSystemV_ = false;
    }
    mutex_.unlock();
    return released;
}

bool BinaryLock::finalize() {
    platform::MutexLock lock(mutex_);
    configured_ = false;
    return finalizeLocked();
}

bool BinaryLock::finalizeLocked() {
    if (!set_.valid()) return true;
    if (!set_.change(kUsers, -1, SystemVSemaphoreSet::kNoWait)) {
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

bool BinaryLock::holdsSet() {
    platform::MutexLock lock(mutex_);
    return set_.valid();
}

}  // namespace zezu
