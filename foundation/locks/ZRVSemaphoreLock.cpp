// A counting lock over a System V semaphore set, shared by every process using its key.
#include "foundation/locks/ZRVSemaphoreLock.h"

#include <cerrno>

#include "platform/UserFolders.h"

namespace {

constexpr unsigned short kFreeUnits = 0;
constexpr unsigned short kUsers = 1;
constexpr unsigned kTakeNow = foundation::SystemVSemaphoreSet::kNoWait | foundation::SystemVSemaphoreSet::kUndo;

std::string keyPathForMode(int pathMode) {
    if (pathMode == 1)
        return platform::processHomeFolder().value_or("");
    return "/tmp";
}

}  // namespace

ZRVSemaphoreLock::ZRVSemaphoreLock(int projectId, int maximumCount, int pathMode)
    : projectId_(projectId), maximumCount_(maximumCount) {
    open(keyPathForMode(pathMode));
}

ZRVSemaphoreLock::ZRVSemaphoreLock(int projectId, int maximumCount, const std::string& keyPath)
    : projectId_(projectId), maximumCount_(maximumCount) {
    open(keyPath);
}

void ZRVSemaphoreLock::open(const std::string& keyPath) {
    if (keyPath.empty() || maximumCount_ < 1 || maximumCount_ > 32767) {
        lastError_ = EINVAL;
        return;
    }
    // Exclusive creation: only the creator sets the free units, so two instances starting
    // together cannot re-free a unit the other already took.
    auto opened = foundation::SystemVSemaphoreSet::openOrCreate(
        keyPath, projectId_, {static_cast<unsigned short>(maximumCount_), 0});
    if (!opened) {
        lastError_ = errno;
        return;
    }
    set_ = std::move(opened->set);
    if (!set_.change(kUsers, 1, foundation::SystemVSemaphoreSet::kUndo)) {
        lastError_ = errno;
        set_.reset();
    }
}

ZRVSemaphoreLock::~ZRVSemaphoreLock() {
    if (set_.valid())
        set_.change(kUsers, -1, kTakeNow);
    set_.reset();
}

bool ZRVSemaphoreLock::fail() {
    lastError_ = errno;
    return false;
}

bool ZRVSemaphoreLock::acquire() {
    if (!set_.valid())
        return false;
    if (!set_.change(kFreeUnits, -1, kTakeNow))
        return fail();
    held_ = true;
    return true;
}

bool ZRVSemaphoreLock::isInUse() {
    if (!set_.valid())
        return false;
    std::optional<int> free = set_.value(kFreeUnits);
    if (!free)
        return fail();
    return *free < maximumCount_;
}

bool ZRVSemaphoreLock::release() {
    if (!held_)
        return true;
    if (!set_.valid())
        return false;
    if (!set_.change(kFreeUnits, 1, foundation::SystemVSemaphoreSet::kUndo))
        return fail();
    held_ = false;
    return true;
}
