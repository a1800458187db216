// A system-wide binary lock over a System V semaphore that other deployment programs share.
#include "foundation/locks/ZRVSystemLevelDeploymentLock.h"

#include <cerrno>

namespace {
constexpr unsigned short kLock = 0;
}

ZRVSystemLevelDeploymentLock::ZRVSystemLevelDeploymentLock(int projectId)
    : ZRVSystemLevelDeploymentLock(projectId, "/tmp") {}

ZRVSystemLevelDeploymentLock::ZRVSystemLevelDeploymentLock(int projectId, const std::string& keyPath)
    : projectId_(projectId), keyPath_(keyPath) {}

ZRVSystemLevelDeploymentLock::~ZRVSystemLevelDeploymentLock() {
    if (held_ && set_.valid() && set_.change(kLock, 1, foundation::SystemVSemaphoreSet::kUndo)) {
        set_.reset();
        held_ = false;
    }
}

bool ZRVSystemLevelDeploymentLock::acquire() {
    if (held_)
        return true;
    if (!set_.valid()) {
        // Only the creator sets the lock free, so a second creator cannot free a held lock.
        auto opened = foundation::SystemVSemaphoreSet::openOrCreate(keyPath_, projectId_, {1});
        if (!opened) {
            lastError_ = errno;
            return false;
        }
        set_ = std::move(opened->set);
    }
    if (!set_.change(kLock, -1, foundation::SystemVSemaphoreSet::kNoWait | foundation::SystemVSemaphoreSet::kUndo)) {
        lastError_ = errno;
        return false;
    }
    held_ = true;
    return true;
}

bool ZRVSystemLevelDeploymentLock::isLocked() {
    if (!acquire())
        return true;
    release();
    return false;
}

bool ZRVSystemLevelDeploymentLock::release() {
    if (!held_)
        return true;
    if (!set_.valid())
        return false;
    if (!set_.change(kLock, 1, foundation::SystemVSemaphoreSet::kUndo)) {
        lastError_ = errno;
        return false;
    }
    set_.reset();
    held_ = false;
    return true;
}
