// The System V helper: exclusive creation, initialisation mark, undo, EINTR and removal.
#include "foundation/locks/SystemVSemaphoreSet.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/ChildProcesses.h"
#include "tests/support/SemaphoreKeyFolder.h"

using foundation::SystemVSemaphoreSet;

namespace {

// Low bytes no production key uses.
constexpr int kProjectId = 0x5A;

class SystemVSemaphoreSetTest : public ::testing::Test {
protected:
    SystemVSemaphoreSet open(const std::vector<unsigned short>& values, bool* created = nullptr) {
        auto opened = SystemVSemaphoreSet::openOrCreate(keyPath_, kProjectId, values);
        if (!opened) return SystemVSemaphoreSet();
        if (created) *created = opened->created;
        return std::move(opened->set);
    }

    test_support::SemaphoreKeyFolder keys_{"systemv-test", {kProjectId}};
    const std::string& folder_ = keys_.folder();
    const std::string& keyPath_ = keys_.keyPath();
};

TEST_F(SystemVSemaphoreSetTest, CreatorInitialisesAndLaterOpenersOnlyOpen) {
    bool created = false;
    SystemVSemaphoreSet first = open({0, 1}, &created);
    ASSERT_TRUE(first.valid());
    EXPECT_TRUE(created);
    EXPECT_EQ(first.value(0), 0);
    EXPECT_EQ(first.value(1), 1);

    ASSERT_TRUE(first.change(1, -1, SystemVSemaphoreSet::kNoWait));
    SystemVSemaphoreSet second = open({0, 1}, &created);
    ASSERT_TRUE(second.valid());
    EXPECT_FALSE(created);
    EXPECT_EQ(second.id(), first.id());
    EXPECT_EQ(second.value(1), 0) << "a second opener must not re-initialise a taken lock";
}

TEST_F(SystemVSemaphoreSetTest, AllZeroInitialValuesStillMarkTheSetReady) {
    ASSERT_TRUE(open({0, 0}).valid());
    bool created = true;
    EXPECT_TRUE(open({0, 0}, &created).valid());
    EXPECT_FALSE(created);
}

TEST_F(SystemVSemaphoreSetTest, ProcessesStartingTogetherMakeOneSetInitialisedOnce) {
    constexpr int kProcesses = 8;
    test_support::ChildGroup children(kProcesses, [&](int) {
        auto opened = SystemVSemaphoreSet::openOrCreate(keyPath_, kProjectId, {0, 1});
        if (!opened) return 2;
        if (!opened->set.change(0, 1, SystemVSemaphoreSet::kNoWait)) return 2;
        return opened->created ? 1 : 0;
    });
    ASSERT_TRUE(children.forked());
    int creators = 0;
    for (const int status : children.wait()) {
        ASSERT_GE(status, 0);
        ASSERT_LE(status, 1);
        creators += status;
    }
    EXPECT_EQ(creators, 1);
    SystemVSemaphoreSet set = open({0, 1});
    ASSERT_TRUE(set.valid());
    EXPECT_EQ(set.value(0), kProcesses);
    EXPECT_EQ(set.value(1), 1) << "initialised more than once";
}

TEST_F(SystemVSemaphoreSetTest, UninitialisedSetFailsAfterABoundedWaitThenOpensOnceMarked) {
    const key_t key = *SystemVSemaphoreSet::makeKey(keyPath_, kProjectId);
    // A creator that made the set and has not (or never will) initialise it.
    const int raw = ::semget(key, 2, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(raw, 0);

    const auto start = std::chrono::steady_clock::now();
    auto opened = SystemVSemaphoreSet::openOrCreate(keyPath_, kProjectId, {0, 1}, 0666, std::chrono::milliseconds(100));
    const int error = errno;
    EXPECT_FALSE(opened);
    EXPECT_EQ(error, ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    sembuf mark{1, 1, IPC_NOWAIT};
    ASSERT_EQ(::semop(raw, &mark, 1), 0);
    opened = SystemVSemaphoreSet::openOrCreate(keyPath_, kProjectId, {0, 1});
    ASSERT_TRUE(opened);
    EXPECT_FALSE(opened->created);
    EXPECT_EQ(opened->set.id(), raw);
}

TEST_F(SystemVSemaphoreSetTest, UndoGivesBackWhatADeadProcessHeld) {
    SystemVSemaphoreSet set = open({0, 1});
    ASSERT_TRUE(set.valid());
    const int status = test_support::runInChild([&] {
        if (!set.change(1, -1, SystemVSemaphoreSet::kUndo)) return 2;
        return 0;  // exits holding the lock
    });
    ASSERT_EQ(status, 0);
    EXPECT_EQ(set.value(1), 1);

    ASSERT_TRUE(set.change(1, -1, SystemVSemaphoreSet::kNoWait));
    errno = 0;
    EXPECT_FALSE(set.change(1, -1, SystemVSemaphoreSet::kNoWait));
    EXPECT_EQ(errno, EAGAIN);
}

void ignoreSignal(int) {}

TEST_F(SystemVSemaphoreSetTest, BlockingChangeSurvivesASignal) {
    SystemVSemaphoreSet set = open({0, 0});
    ASSERT_TRUE(set.valid());
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        struct sigaction action {};
        action.sa_handler = ignoreSignal;  // no SA_RESTART: semop sees EINTR
        ::sigaction(SIGUSR1, &action, nullptr);
        const char byte = 1;
        if (::write(ready[1], &byte, 1) != 1) _exit(2);
        _exit(set.change(1, -1, SystemVSemaphoreSet::kBlocking) ? 0 : 1);
    }
    // A signal before the handler is in place would kill the child instead of interrupting it.
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    // Interrupt the wait a few times before the unit arrives.
    for (int i = 0; i < 5; ++i) {
        ::usleep(20000);
        ::kill(pid, SIGUSR1);
    }
    ::usleep(20000);
    ASSERT_TRUE(set.change(1, 1, SystemVSemaphoreSet::kNoWait));
    EXPECT_EQ(test_support::waitForExitStatus(pid), 0);
}

TEST_F(SystemVSemaphoreSetTest, RemovedSetFailsItsHoldersAndIsRecreated) {
    SystemVSemaphoreSet holder = open({0, 1});
    ASSERT_TRUE(holder.valid());
    SystemVSemaphoreSet remover = open({0, 1});
    ASSERT_TRUE(remover.remove());
    EXPECT_FALSE(remover.valid());
    errno = 0;
    EXPECT_FALSE(holder.change(1, -1, SystemVSemaphoreSet::kNoWait));
    EXPECT_TRUE(errno == EIDRM || errno == EINVAL);
    EXPECT_FALSE(holder.value(0));

    bool created = false;
    EXPECT_TRUE(open({0, 1}, &created).valid());
    EXPECT_TRUE(created);
    EXPECT_TRUE(SystemVSemaphoreSet::removeKey(keyPath_, kProjectId));
    EXPECT_TRUE(SystemVSemaphoreSet::removeKey(keyPath_, kProjectId)) << "nothing left is success";
}

TEST_F(SystemVSemaphoreSetTest, OpenersKeepFindingASetThatIsRemovedAndRecreatedUnderThem) {
    test_support::ChildGroup remover(1, [&](int) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (std::chrono::steady_clock::now() < end) {
            SystemVSemaphoreSet::removeKey(keyPath_, kProjectId);
            ::usleep(50);  // a last user leaving now and then, not a removal storm
        }
        return 0;
    });
    remover.start();
    int failures = 0;
    int lastError = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    while (std::chrono::steady_clock::now() < end) {
        auto opened = SystemVSemaphoreSet::openOrCreate(keyPath_, kProjectId, {0, 1});
        if (!opened) {
            ++failures;
            lastError = errno;
        }
    }
    remover.wait();
    EXPECT_EQ(failures, 0) << std::strerror(lastError);
}

TEST_F(SystemVSemaphoreSetTest, MissingKeyFileAndEmptyHandleFail) {
    EXPECT_FALSE(SystemVSemaphoreSet::openOrCreate(folder_ + "/absent", kProjectId, {1}));
    EXPECT_FALSE(SystemVSemaphoreSet::openOrCreate(keyPath_, kProjectId, {}));
    SystemVSemaphoreSet none;
    EXPECT_FALSE(none.change(0, 1, SystemVSemaphoreSet::kNoWait));
    EXPECT_FALSE(none.value(0));
    EXPECT_FALSE(none.remove());
}

}  // namespace
