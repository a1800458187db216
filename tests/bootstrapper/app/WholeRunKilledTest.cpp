// A whole headless run killed while its image is attached, then the runs after it, with either
// mount kind and with the disk-image records kept or lost. The run is forked, so this program
// holds no test but these: at each fork no thread of an earlier case may be running.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "foundation/locks/SystemVSemaphoreSet.h"
#include "foundation/logging/BinaryLock.h"
#include "platform/FileDescriptor.h"
#include "platform/MountTable.h"
#include "tests/bootstrapper/app/WholeRun.h"
#include "tests/bootstrapper/app/WholeRunChecks.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/UserSpaceMounts.h"

namespace fs = std::filesystem;
using test_support::WholeRun;
using test_support::installedVersion;

namespace {

constexpr uint32_t kPauseAfterInstall = 2000000;

bool mounted(const std::string& point) {
    for (const platform::MountEntry& entry : platform::currentMounts()) {
        if (entry.mountPoint == point) {
            return true;
        }
    }
    return false;
}

// The copies of the disk-image asset in the folder the runs download to.
std::vector<std::string> imageCopies(WholeRun& run) {
    std::vector<std::string> copies;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(run.downloadFolder(), error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("packager", 0) == 0 && name.find(".sqfs") != std::string::npos) {
            copies.push_back(entry.path().string());
        }
    }
    return copies;
}

// A killed writer's count stays on the lock set of each log file it had open, so no later run is
// ever the last to leave it: the sets keyed on the home's log files go when the test ends.
struct KilledWriterLogSets {
    std::string logs;
    ~KilledWriterLogSets() {
        std::error_code error;
        for (const auto& entry : fs::recursive_directory_iterator(logs, error)) {
            if (entry.is_regular_file(error)) {
                foundation::SystemVSemaphoreSet::removeKey(entry.path().string(), zezu::BinaryLock::kLogFileProjectId);
            }
        }
    }
};

class WholeRunKilledTest : public testing::TestWithParam<test_support::LeftoverCase> {};

TEST_P(WholeRunKilledTest, ARunKilledWhileAttachedStopsNoLaterRun) {
    SKIP_WITHOUT_MOUNTING();
    const test_support::LeftoverCase leftover = GetParam();
    SKIP_WITHOUT_USER_SPACE_MOUNTS(leftover);
    test_support::ScopedEnvironment mountKind("BOOTSTRAP_DISK_IMAGE_MOUNT", leftover.userSpace ? "fuse" : "");
    WholeRun first;
    const KilledWriterLogSets logSets{first.environment().home() + "/Library/Logs"};
    test_support::MountRootCleanup cleanup{first.mountRoot()};
    const test_support::UserSpaceMountCleanup servers{first.environment().base()};
    first.makeProduct({{"--version", "1.0.0.1"}, ""});
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    platform::FileDescriptor readEnd(fds[0]);
    platform::FileDescriptor writeEnd(fds[1]);
    // The installer has run and the image is still attached: the run stops there to be killed.
    const int signalFd = writeEnd.get();
    first.onSleep([signalFd](uint32_t microseconds) {
        if (microseconds != kPauseAfterInstall) {
            return;
        }
        [[maybe_unused]] const ssize_t written = ::write(signalFd, "k", 1);
        for (;;) {
            ::pause();
        }
    });
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        first.start();
        for (;;) {
            ::pause();
        }
    }
    writeEnd.reset();
    pollfd ready{readEnd.get(), POLLIN, 0};
    const bool stopped = ::poll(&ready, 1, static_cast<int>(WholeRun::kWait.count() * 1000)) == 1;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(stopped) << "the run never reached the pause after its install";
    ASSERT_TRUE(mounted(first.mountRoot()));
    EXPECT_EQ(test_support::mountTypeAt(first.mountRoot()), test_support::mountTypeOf(leftover));
    EXPECT_EQ(installedVersion(first), "1.0.0.1");
    ASSERT_EQ(imageCopies(first).size(), 1u);
    if (leftover.recordsRemoved) {
        fs::remove_all(first.diskImageState());
    }

    for (const std::string version : {"1.0.0.2", "1.0.0.3"}) {
        SCOPED_TRACE(version);
        WholeRun next(first.sharedEnvironment());
        next.shareDiskImagesWith(first);
        next.makeProduct({{"--version", version}, ""});
        next.start();
        if (!leftover.laterRunsInstall()) {
            ASSERT_TRUE(next.waitForFatal("(Error code: A12E3)")) << next.window().describeCalls();
            ASSERT_TRUE(next.window().clickQuit());
            EXPECT_TRUE(next.finish());
            EXPECT_EQ(installedVersion(next), "1.0.0.1");
            continue;
        }
        ASSERT_TRUE(next.finish());
        EXPECT_EQ(installedVersion(next), version);
        EXPECT_FALSE(mounted(first.mountRoot()));
        EXPECT_EQ(imageCopies(next), std::vector<std::string>{});
        // The killed run's squashfuse went with its mount, and the next run's with its own.
        EXPECT_TRUE(test_support::waitForNoSquashfuseUnder(first.environment().base()));
    }
}

INSTANTIATE_TEST_SUITE_P(MountKinds, WholeRunKilledTest, testing::ValuesIn(test_support::kLeftoverCases),
                         test_support::leftoverCaseName);

}  // namespace
