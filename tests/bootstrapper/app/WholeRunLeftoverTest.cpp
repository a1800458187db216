// Whole headless runs after a run whose image could not be detached, with either mount kind and
// with the disk-image records kept or lost: the next run installs the version it downloaded, or
// fails on a screen; it never installs from the image left attached.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/ProcessLauncher.h"
#include "tests/bootstrapper/app/RunLog.h"
#include "tests/bootstrapper/app/WholeRun.h"
#include "tests/bootstrapper/app/WholeRunChecks.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/UserSpaceMounts.h"

namespace fs = std::filesystem;
using test_support::WholeRun;
using test_support::installedVersion;

namespace {

constexpr const char* kA12E3 = "(Error code: A12E3)";

// A process working inside a folder, so that nothing mounted there can be detached.
class FolderHolder {
public:
    explicit FolderHolder(const std::string& folder) {
        platform::ProcessOptions options;
        options.workingFolder = folder;
        platform::startProcess("/bin/sleep", {"600"}, pid_, options);
    }
    ~FolderHolder() { release(); }
    FolderHolder(const FolderHolder&) = delete;
    FolderHolder& operator=(const FolderHolder&) = delete;
    bool holding() const { return pid_ > 0; }
    void release() {
        if (pid_ <= 0) {
            return;
        }
        ::kill(pid_, SIGKILL);
        platform::waitForProcess(pid_);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

class WholeRunLeftoverTest : public testing::TestWithParam<test_support::LeftoverCase> {};

TEST_P(WholeRunLeftoverTest, AfterABusyDetachTheNextRunFailsOrInstallsTheNewerVersionNeverTheOld) {
    SKIP_WITHOUT_MOUNTING();
    const test_support::LeftoverCase leftover = GetParam();
    SKIP_WITHOUT_USER_SPACE_MOUNTS(leftover);
    test_support::ScopedEnvironment mountKind("BOOTSTRAP_DISK_IMAGE_MOUNT", leftover.userSpace ? "fuse" : "");
    WholeRun first;
    test_support::MountRootCleanup cleanup{first.mountRoot()};
    const test_support::UserSpaceMountCleanup servers{first.environment().base()};
    first.makeProduct({{"--version", "1.0.0.1"}, ""});
    const std::string gate = first.environment().base() + "/installer gate";
    std::ofstream(gate) << "held";
    test_support::ScopedEnvironment gateVariable("SAMPLE_INSTALLER_GATE", gate);
    const std::string arguments = first.packagerFolder() + "/installer-arguments";

    // While the installer waits at its gate, a process of its starts working in the image.
    first.start();
    ASSERT_TRUE(test_support::waitForFile(arguments)) << first.window().describeCalls();
    EXPECT_EQ(test_support::mountTypeAt(first.mountRoot()), test_support::mountTypeOf(leftover));
    FolderHolder holder(first.mountRoot());
    ASSERT_TRUE(holder.holding());
    fs::remove(gate);
    ASSERT_TRUE(first.finish());
    EXPECT_EQ(installedVersion(first), "1.0.0.1");
    const auto firstLog = first.logLines();
    const size_t warning = test_support::findLine(firstLog, "could not be detached from " + first.mountRoot());
    ASSERT_LT(warning, firstLog.size()) << test_support::joinLines(firstLog);
    EXPECT_NE(firstLog[warning].find("WARN"), std::string::npos) << firstLog[warning];
    EXPECT_NE(firstLog[warning].find("busy"), std::string::npos) << firstLog[warning];
    if (leftover.recordsRemoved) {
        fs::remove_all(first.diskImageState());
    }

    // The old image is still attached where the next run attaches its newer one, and busy.
    fs::remove(arguments);
    WholeRun second(first.sharedEnvironment());
    second.shareDiskImagesWith(first);
    second.makeProduct({{"--version", "1.0.0.2"}, ""});
    second.start();
    ASSERT_TRUE(second.waitForFatal(kA12E3)) << second.window().describeCalls();
    ASSERT_TRUE(second.window().clickQuit());
    EXPECT_TRUE(second.finish());
    EXPECT_FALSE(fs::exists(arguments)) << "an installer ran from the image left attached";
    EXPECT_EQ(installedVersion(second), "1.0.0.1");
    const auto secondLog = second.logLines();
    const size_t reason = test_support::findLine(secondLog, "could not be attached");
    ASSERT_LT(reason, secondLog.size()) << test_support::joinLines(secondLog);
    EXPECT_NE(secondLog[reason].find(leftover.laterRunsInstall() ? "busy" : "something is mounted at"),
              std::string::npos)
        << secondLog[reason];

    // Once nothing works in it, the old image goes and the newer version is installed.
    holder.release();
    WholeRun third(first.sharedEnvironment());
    third.shareDiskImagesWith(first);
    third.makeProduct({{"--version", "1.0.0.2"}, ""});
    third.start();
    if (!leftover.laterRunsInstall()) {
        ASSERT_TRUE(third.waitForFatal(kA12E3)) << third.window().describeCalls();
        ASSERT_TRUE(third.window().clickQuit());
        EXPECT_TRUE(third.finish());
        EXPECT_FALSE(fs::exists(arguments)) << "an installer ran from the image left attached";
        EXPECT_EQ(installedVersion(third), "1.0.0.1");
        return;
    }
    ASSERT_TRUE(third.finish());
    EXPECT_EQ(installedVersion(third), "1.0.0.2");
    EXPECT_TRUE(fs::exists(arguments));
    // The image the third run attached is detached at its end, and the squashfuse processes of
    // all three runs are gone with their mounts.
    EXPECT_TRUE(test_support::waitForNoSquashfuseUnder(first.environment().base()));
}

INSTANTIATE_TEST_SUITE_P(MountKinds, WholeRunLeftoverTest, testing::ValuesIn(test_support::kLeftoverCases),
                         test_support::leftoverCaseName);

}  // namespace
