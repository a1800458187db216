// A counting lock over a System V semaphore set, shared by every process using its key.
#pragma once

#include <string>

#include "foundation/locks/SystemVSemaphoreSet.h"
#include "foundation/locks/ZRVLockClass.h"

// Semaphore 0 holds the free units (the maximum count when none is taken); semaphore 1
// counts the objects, in all processes, that opened the set. Every change is made with
// undo, so the units and counts of a process that ends or crashes come back by themselves.
class ZRVSemaphoreLock : public ZRVLockClass {
public:
    // Path mode 1 keys the set on the process's home folder, any other on "/tmp".
    ZRVSemaphoreLock(int projectId, int maximumCount, int pathMode);
    // The same on a key path of the caller's choice (tests use their own key files).
    ZRVSemaphoreLock(int projectId, int maximumCount, const std::string& keyPath);
    // Stops counting this object as a user. The set itself stays: removing it when the
    // count reaches 0 would race with a process that has just opened it.
    ~ZRVSemaphoreLock() override;

    // Takes one unit without waiting; a second call takes a second unit.
    bool acquire() override;
    // True when at least one unit is taken, by anyone.
    bool isInUse();
    bool isLocked() override { return isInUse(); }
    // Gives back one unit; true when this object holds none.
    bool release() override;

    // errno of the last failed System V call (EAGAIN: no unit free), 0 when none failed;
    // lets a caller tell "taken" from "System V unusable".
    int lastError() const { return lastError_; }

private:
    void open(const std::string& keyPath);
    bool fail();

    foundation::SystemVSemaphoreSet set_;
    int projectId_;
    bool held_ = false;
    int maximumCount_;
    int lastError_ = 0;
};
