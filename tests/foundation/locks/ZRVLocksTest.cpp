// The instance lock, the in-use probe and the deployment locks, across real processes.
#include "foundation/locks/ZRVSemaphoreLock.h"
#include "foundation/locks/ZRVSystemLevelDeploymentLock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/locks/SystemVSemaphoreSet.h"
#include "tests/support/ChildProcesses.h"
#include "tests/support/SemaphoreKeyFolder.h"

using foundation::SystemVSemaphoreSet;

namespace {

// Low bytes no production key uses (theirs are 0xA8, 0x48, 0x9D, 0x61), on a key file of
// the test's own, so no test can meet a real run's set.
constexpr int kInstanceId = 0x1133;
constexpr int kProbeId = 0x2244;
constexpr int kDeploymentId = 0x3355;

// A child process that runs a body and then waits until it is killed or told to exit.
class Child {
public:
    template <typename Body>
    explicit Child(Body body) {
        int ready[2];
        int go[2];
        EXPECT_EQ(pipe2(ready, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(go, O_CLOEXEC), 0);
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(go[1]);
            char result = body() ? 'y' : 'n';
            if (write(ready[1], &result, 1) != 1) _exit(3);
            char ignored;
            ssize_t n = read(go[0], &ignored, 1);  // until told to go, or the parent dies
            _exit(n >= 0 ? 0 : 4);
        }
        close(ready[1]);
        close(go[0]);
        readyFd_ = ready[0];
        goFd_ = go[1];
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(readyFd_);
        close(goFd_);
    }
    // The body's result, once it has run.
    bool result() {
        char c = 0;
        return read(readyFd_, &c, 1) == 1 && c == 'y';
    }
    void killHard() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    void exitNormally() {
        char c = 'x';
        EXPECT_EQ(write(goFd_, &c, 1), 1);
        EXPECT_EQ(test_support::waitForExitStatus(pid_), 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int readyFd_ = -1;
    int goFd_ = -1;
};

class ZRVLocksTest : public ::testing::Test {
protected:
    std::unique_ptr<ZRVSemaphoreLock> instanceLock() {
        return std::make_unique<ZRVSemaphoreLock>(kInstanceId, 1, keyPath_);
    }

    test_support::SemaphoreKeyFolder keys_{"zrv-locks", {kInstanceId, kProbeId, kDeploymentId}};
    const std::string& folder_ = keys_.folder();
    const std::string& keyPath_ = keys_.keyPath();
};

}  // namespace

TEST_F(ZRVLocksTest, InstanceLockHasOneHolderUntilItsProcessIsKilled) {
    Child first([&] { return instanceLock()->acquire(); });
    // Leaked on purpose in the child: the process holds the unit until it dies.
    ASSERT_TRUE(first.result());

    Child second([&] {
        auto lock = instanceLock();
        return !lock->acquire() && lock->lastError() == EAGAIN;
    });
    EXPECT_TRUE(second.result());
    auto here = instanceLock();
    EXPECT_FALSE(here->acquire());
    EXPECT_TRUE(here->isInUse());

    first.killHard();  // SIGKILL: only the kernel's undo can give the unit back
    EXPECT_FALSE(here->isInUse());
    EXPECT_TRUE(here->acquire());
    EXPECT_FALSE(instanceLock()->acquire());
    EXPECT_TRUE(here->release());
    EXPECT_TRUE(instanceLock()->acquire());
}

TEST_F(ZRVLocksTest, ContendingProcessesNeverHoldTheInstanceLockTogether) {
    // Shared between the processes: who holds the lock now, and the worst overlap seen.
    auto* shared = static_cast<std::atomic<int>*>(
        mmap(nullptr, 2 * sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(shared, MAP_FAILED);
    new (&shared[0]) std::atomic<int>(0);
    new (&shared[1]) std::atomic<int>(0);
    test_support::ChildGroup children(3, [&](int) {
        int taken = 0;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (taken < 50 && std::chrono::steady_clock::now() < until) {
            ZRVSemaphoreLock lock(kInstanceId, 1, keyPath_);
            if (!lock.acquire()) continue;
            int holders = ++shared[0];
            if (holders > shared[1]) shared[1] = holders;
            usleep(200);
            --shared[0];
            lock.release();
            ++taken;
        }
        return taken == 50 ? 0 : 1;
    });
    EXPECT_TRUE(children.forked());
    for (const int status : children.wait()) EXPECT_EQ(status, 0);
    EXPECT_EQ(shared[1].load(), 1);
    munmap(shared, 2 * sizeof(std::atomic<int>));
}

TEST_F(ZRVLocksTest, InstancesStartingTogetherGetOneHolder) {
    // Every child creates-or-opens the fresh set at the same moment and tries to take it.
    constexpr int kChildren = 6;
    int results[2];
    ASSERT_EQ(pipe2(results, O_CLOEXEC), 0);
    {
        test_support::ChildGroup children(kChildren, [&](int) {
            ZRVSemaphoreLock lock(kInstanceId, 1, keyPath_);
            char result = lock.acquire() ? 'y' : 'n';
            if (write(results[1], &result, 1) != 1) return 3;
            pause();  // keep the unit until killed
            return 0;
        });
        ASSERT_TRUE(children.forked());
        children.start();  // everyone goes at once
        close(results[1]);
        int holders = 0;
        for (int i = 0; i < kChildren; ++i) {
            char result = 0;
            ASSERT_EQ(read(results[0], &result, 1), 1);
            holders += result == 'y';
        }
        EXPECT_EQ(holders, 1);
    }  // the children are killed here
    close(results[0]);
    EXPECT_TRUE(instanceLock()->acquire());
}

TEST_F(ZRVLocksTest, InUseProbeOf255Units) {
    auto probe = [&] { return ZRVSemaphoreLock(kProbeId, 255, keyPath_).isInUse(); };
    EXPECT_FALSE(probe());

    Child user([&] { return (new ZRVSemaphoreLock(kProbeId, 255, keyPath_))->acquire(); });
    ASSERT_TRUE(user.result());
    EXPECT_TRUE(probe());
    user.exitNormally();  // its unit comes back at exit
    EXPECT_FALSE(probe());

    // Every unit taken: the next acquire fails; one release frees one.
    std::vector<std::unique_ptr<ZRVSemaphoreLock>> holders;
    for (int i = 0; i < 255; ++i) {
        holders.push_back(std::make_unique<ZRVSemaphoreLock>(kProbeId, 255, keyPath_));
        ASSERT_TRUE(holders.back()->acquire()) << i;
    }
    ZRVSemaphoreLock extra(kProbeId, 255, keyPath_);
    EXPECT_FALSE(extra.acquire());
    EXPECT_TRUE(holders[0]->release());
    EXPECT_TRUE(extra.acquire());
}

TEST_F(ZRVLocksTest, SecondUnitAndReleaseRules) {
    ZRVSemaphoreLock lock(kProbeId, 3, keyPath_);
    EXPECT_TRUE(lock.release());  // never acquired
    EXPECT_TRUE(lock.acquire());
    EXPECT_TRUE(lock.acquire());  // a second unit
    EXPECT_TRUE(lock.release());  // gives back one unit only
    EXPECT_TRUE(lock.release());  // holds none now, by its own account
    ZRVSemaphoreLock other(kProbeId, 3, keyPath_);
    EXPECT_TRUE(other.isInUse());
    EXPECT_TRUE(other.isLocked());  // the same test through the interface
}

TEST_F(ZRVLocksTest, SetIsCountedPerUserAndLeftInPlace) {
    {
        ZRVSemaphoreLock a(kInstanceId, 1, keyPath_);
        ZRVSemaphoreLock b(kInstanceId, 1, keyPath_);
        auto set = SystemVSemaphoreSet::openOrCreate(keyPath_, kInstanceId, {1, 0});
        ASSERT_TRUE(set);
        EXPECT_EQ(set->set.value(1), 2);
    }
    auto set = SystemVSemaphoreSet::openOrCreate(keyPath_, kInstanceId, {1, 0});
    ASSERT_TRUE(set);
    EXPECT_FALSE(set->created);  // not removed by its last user
    EXPECT_EQ(set->set.value(1), 0);
    EXPECT_EQ(set->set.value(0), 1);
}

TEST_F(ZRVLocksTest, LockWithoutASetIsNeverObtained) {
    ZRVSemaphoreLock missing(kInstanceId, 1, folder_ + "/no-such-key-file");
    EXPECT_FALSE(missing.acquire());
    EXPECT_FALSE(missing.isInUse());
    EXPECT_TRUE(missing.release());
    EXPECT_NE(missing.lastError(), 0);
    ZRVSemaphoreLock empty(kInstanceId, 1, std::string());
    EXPECT_FALSE(empty.acquire());

    ZRVSystemLevelDeploymentLock deployment(kDeploymentId, folder_ + "/no-such-key-file");
    EXPECT_FALSE(deployment.acquire());
    EXPECT_TRUE(deployment.isLocked());  // the caller decides what an unusable lock means
    EXPECT_NE(deployment.lastError(), EAGAIN);
}

TEST_F(ZRVLocksTest, DeploymentLockProbeLeavesAnotherHoldersHoldAlone) {
    auto lock = [&] { return std::make_unique<ZRVSystemLevelDeploymentLock>(kDeploymentId, keyPath_); };
    EXPECT_FALSE(lock()->isLocked());
    EXPECT_FALSE(lock()->isLocked());  // and free again afterwards

    Child holder([&] { return lock().release()->acquire(); });  // leaked: held until killed
    ASSERT_TRUE(holder.result());
    auto probe = lock();
    EXPECT_TRUE(probe->isLocked());
    EXPECT_EQ(probe->lastError(), EAGAIN);
    EXPECT_TRUE(lock()->isLocked());  // probing took nothing from the holder
    holder.killHard();
    EXPECT_FALSE(lock()->isLocked());

    // An object's own hold: acquire is idempotent, release frees it for others.
    auto mine = lock();
    EXPECT_TRUE(mine->acquire());
    EXPECT_TRUE(mine->acquire());
    EXPECT_TRUE(lock()->isLocked());
    EXPECT_TRUE(mine->release());
    EXPECT_TRUE(mine->release());
    EXPECT_FALSE(lock()->isLocked());
    // Held when destroyed: given back.
    EXPECT_TRUE(mine->acquire());
    mine.reset();
    EXPECT_FALSE(lock()->isLocked());
}
