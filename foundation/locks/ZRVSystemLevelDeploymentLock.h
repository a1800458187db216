// A system-wide binary lock over a System V semaphore that other deployment programs share.
#pragma once

#include <string>

#include "foundation/locks/SystemVSemaphoreSet.h"
#include "foundation/locks/ZRVLockClass.h"

// The set's one semaphore is 1 when free, 0 when taken; it is taken and given back with
// undo, so a holder that dies frees it. Constructing touches no semaphore.
class ZRVSystemLevelDeploymentLock : public ZRVLockClass {
public:
    explicit ZRVSystemLevelDeploymentLock(int projectId);
    // The same on a key path of the caller's choice (tests use their own key files).
    ZRVSystemLevelDeploymentLock(int projectId, const std::string& keyPath);
    ~ZRVSystemLevelDeploymentLock() override;

    bool acquire() override;
    // True when another holder has the lock. Probes by acquiring and, on success, releasing
    // at once, so on an object that holds the lock it gives up that hold and answers false.
    bool isLocked() override;
    bool release() override;

    // errno of the last failed System V call (EAGAIN: held elsewhere), 0 when none failed.
    int lastError() const { return lastError_; }

private:
    foundation::SystemVSemaphoreSet set_;
    int projectId_;
    bool held_ = false;
    std::string keyPath_;
    int lastError_ = 0;
};
