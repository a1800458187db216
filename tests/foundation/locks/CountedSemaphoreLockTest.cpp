// The counted two-semaphore lock: users counted across processes, the last one removes, a
// removed set is made again, retries are spaced.
#include "foundation/locks/CountedSemaphoreLock.h"

#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/sem.h>

#include <optional>
#include <string>

#include "foundation/locks/SystemVSemaphoreSet.h"
#include "tests/support/ChildProcesses.h"
#include "tests/support/FileContents.h"
#include "tests/support/SemaphoreKeyFolder.h"

using foundation::CountedSemaphoreLock;
using foundation::SystemVSemaphoreSet;
using UserCount = CountedSemaphoreLock::UserCount;

namespace {

// Low bytes no production key uses.
constexpr int kProjectId = 0x5B;

class CountedSemaphoreLockTest : public ::testing::Test {
protected:
    // A semaphore of the key's set as the kernel has it; nothing when there is no set.
    std::optional<int> semaphore(int index) const {
        const std::optional<key_t> key = SystemVSemaphoreSet::makeKey(keyPath_, kProjectId);
        if (!key) return std::nullopt;
        const int id = ::semget(*key, 0, 0);
        if (id < 0) return std::nullopt;
        const int value = ::semctl(id, index, GETVAL);
        return value < 0 ? std::nullopt : std::optional<int>(value);
    }
    std::optional<int> users() const { return semaphore(0); }
    std::optional<int> lockValue() const { return semaphore(1); }

    test_support::SemaphoreKeyFolder keys_{"counted-lock-test", {kProjectId}};
    const std::string& folder_ = keys_.folder();
    const std::string& keyPath_ = keys_.keyPath();
};

TEST_F(CountedSemaphoreLockTest, UsersAreCountedAndTheLastRemovesTheSet) {
    CountedSemaphoreLock first(UserCount::UndoneAtExit);
    CountedSemaphoreLock second(UserCount::KeptAtExit);
    ASSERT_TRUE(first.open(keyPath_, kProjectId));
    EXPECT_EQ(users(), 1);
    ASSERT_TRUE(second.open(keyPath_, kProjectId));
    EXPECT_EQ(users(), 2);
    EXPECT_EQ(lockValue(), 1);

    ASSERT_TRUE(first.take());
    EXPECT_EQ(lockValue(), 0);
    ASSERT_TRUE(first.give());
    EXPECT_EQ(lockValue(), 1);

    EXPECT_TRUE(first.close());
    EXPECT_FALSE(first.configured());
    EXPECT_FALSE(first.holdsSet());
    EXPECT_EQ(users(), 1) << "another user still counts";
    EXPECT_TRUE(second.close());
    EXPECT_FALSE(users()) << "the last user removes the set";
}

TEST_F(CountedSemaphoreLockTest, ASetRemovedUnderAUserIsMadeAgainOnTake) {
    CountedSemaphoreLock lock(UserCount::UndoneAtExit);
    ASSERT_TRUE(lock.open(keyPath_, kProjectId));
    ASSERT_TRUE(SystemVSemaphoreSet::removeKey(keyPath_, kProjectId));

    ASSERT_TRUE(lock.take());
    EXPECT_TRUE(lock.holdsSet());
    EXPECT_EQ(users(), 1) << "the new set counts us again";
    EXPECT_EQ(lockValue(), 0) << "and we hold it";
    EXPECT_TRUE(lock.give());
    EXPECT_TRUE(lock.close());
    EXPECT_FALSE(users());
}

TEST_F(CountedSemaphoreLockTest, NothingHeldWithoutAKeyAndRetriesAreSpaced) {
    CountedSemaphoreLock never(UserCount::KeptAtExit);
    EXPECT_FALSE(never.take());
    never.retryIfDue();
    EXPECT_FALSE(never.holdsSet());
    EXPECT_TRUE(never.close());

    // A key whose path is missing: nothing now, and not again at once when it appears.
    const std::string later = folder_ + "/later";
    CountedSemaphoreLock lock(UserCount::KeptAtExit);
    EXPECT_FALSE(lock.open(later, kProjectId));
    EXPECT_TRUE(lock.configured());
    EXPECT_FALSE(lock.holdsSet());
    ASSERT_TRUE(test_support::writeFile(later, ""));
    lock.retryIfDue();
    EXPECT_FALSE(lock.holdsSet()) << "a retry before the interval would slow every caller";
    EXPECT_FALSE(lock.take());
    ASSERT_TRUE(SystemVSemaphoreSet::removeKey(later, kProjectId));
}

TEST_F(CountedSemaphoreLockTest, ADeadProcessGivesBackTheLockAndItsCountOnlyWhenUndone) {
    const struct {
        UserCount userCount;
        int usersAfterExit;
    } cases[] = {{UserCount::KeptAtExit, 1}, {UserCount::UndoneAtExit, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.usersAfterExit);
        CountedSemaphoreLock watcher(UserCount::UndoneAtExit);
        ASSERT_TRUE(watcher.open(keyPath_, kProjectId));
        const int status = test_support::runInChild([&] {
            CountedSemaphoreLock lock(c.userCount);
            if (!lock.open(keyPath_, kProjectId)) return 2;
            return lock.take() ? 0 : 3;  // exits holding the lock, never closing
        });
        ASSERT_EQ(status, 0);
        EXPECT_EQ(users(), 1 + c.usersAfterExit);
        EXPECT_EQ(lockValue(), 1) << "the lock is always taken with undo";
        EXPECT_TRUE(watcher.close());
        ASSERT_TRUE(SystemVSemaphoreSet::removeKey(keyPath_, kProjectId));
    }
}

}  // namespace
