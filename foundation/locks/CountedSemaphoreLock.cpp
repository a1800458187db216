// CountedSemaphoreLock: open, retry and recreate of the two-semaphore lock set.
#include "foundation/locks/CountedSemaphoreLock.h"

#include <cerrno>
#include <optional>

namespace foundation {
namespace {

constexpr unsigned short kUsers = 0;
constexpr unsigned short kLock = 1;

bool setWasRemoved(int error) { return error == EIDRM || error == EINVAL; }

}  // namespace

unsigned CountedSemaphoreLock::userCountFlags() const {
    return userCount_ == UserCount::UndoneAtExit ? SystemVSemaphoreSet::kNoWait | SystemVSemaphoreSet::kUndo
                                                 : SystemVSemaphoreSet::kNoWait;
}

bool CountedSemaphoreLock::open(const std::string& path, int projectId) {
    path_ = path;
    projectId_ = projectId;
    configured_ = true;
    // A set removed by its last other user between our open and our count raise is simply
    // made again, so try twice.
    return openOnce() || openOnce();
}

bool CountedSemaphoreLock::openOnce() {
    if (set_.valid()) return true;
    lastAttempt_ = std::chrono::steady_clock::now();
    auto opened = SystemVSemaphoreSet::openOrCreate(path_, projectId_, {0, 1}, 0666, kInitialisationWait);
    if (!opened) return false;
    if (!opened->set.change(kUsers, 1, userCountFlags())) return false;
    set_ = std::move(opened->set);
    return true;
}

void CountedSemaphoreLock::retryIfDue() {
    if (!set_.valid() && configured_ && std::chrono::steady_clock::now() - lastAttempt_ >= kRetryInterval) {
        openOnce();
    }
}

bool CountedSemaphoreLock::take() {
    if (!set_.valid()) return false;
    if (set_.change(kLock, -1, SystemVSemaphoreSet::kUndo)) return true;
    if (!setWasRemoved(errno)) return false;
    set_.reset();
    return openOnce() && set_.change(kLock, -1, SystemVSemaphoreSet::kUndo);
}

bool CountedSemaphoreLock::give() { return set_.change(kLock, 1, SystemVSemaphoreSet::kUndo); }

bool CountedSemaphoreLock::close() {
    configured_ = false;
    if (!set_.valid()) return true;
    if (!set_.change(kUsers, -1, userCountFlags())) {
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

}  // namespace foundation
