// Checks and scenarios the whole-run programs share.
#pragma once

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/MountTable.h"
#include "tests/bootstrapper/app/RunLog.h"
#include "tests/bootstrapper/app/WholeRun.h"
#include "tests/support/UserSpaceMounts.h"

// A run that installs needs an image attached; without the means the test skips.
#define SKIP_WITHOUT_MOUNTING()                      \
    do {                                             \
        std::string reason;                          \
        if (!test_support::canMountImages(reason)) { \
            GTEST_SKIP() << reason;                  \
        }                                            \
    } while (0)

namespace test_support {

inline constexpr const char* kA12E2 = "(Error code: A12E2)";
// The telemetry events of a run that downloads and installs once.
inline const std::vector<std::string> kAllEvents = {"MSP_BOOTSTRAP_DL_START", "MSP_BOOTSTRAP_DL_END",
                                                    "MSP_BOOTSTRAP_INSTALL_START", "MSP_BOOTSTRAP_INSTALL_END"};

// A test-server scenario that serves one file of the sample product, with extra keys.
inline std::string servedScenario(const WholeRun& run, const std::string& name, const std::string& extra) {
    return R"({"path":"/product/)" + name + R"(","body_file":")" + run.productFolder() + "/" + name + R"(")" + extra +
           "}";
}

// The version of the installed packager; "" when none can be read.
inline std::string installedVersion(const WholeRun& run) {
    std::ifstream in(run.packagerFolder() + "/MSP/version.xml");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t start = text.find("<Version>");
    const size_t end = text.find("</Version>");
    return start == std::string::npos || end == std::string::npos ? "" : text.substr(start + 9, end - start - 9);
}

// True once the file exists; false when it did not come within the run's wait.
inline bool waitForFile(const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + WholeRun::kWait;
    while (::access(path.c_str(), F_OK) != 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// How the runs after a leftover attach: their images mounted with a loop device (root's way) or
// in user space (BOOTSTRAP_DISK_IMAGE_MOUNT=fuse, every other user's), and whether the
// disk-image tool's records survive until the next run (a records folder under
// $XDG_RUNTIME_DIR goes at logout; the mount may outlive it).
struct LeftoverCase {
    bool userSpace;
    bool recordsRemoved;
    // A loop mount no record explains is not the tool's to detach: every later run fails on a
    // screen until someone detaches it.
    bool laterRunsInstall() const { return userSpace || !recordsRemoved; }
};

inline const LeftoverCase kLeftoverCases[] = {{false, false}, {false, true}, {true, false}, {true, true}};

// A user-space case needs squashfuse and /dev/fuse; without them it skips.
#define SKIP_WITHOUT_USER_SPACE_MOUNTS(leftover)                            \
    do {                                                                    \
        const std::string missing = test_support::missingUserSpaceMounts(); \
        if ((leftover).userSpace && !missing.empty()) {                     \
            GTEST_SKIP() << missing;                                        \
        }                                                                   \
    } while (0)

inline std::string leftoverCaseName(const testing::TestParamInfo<LeftoverCase>& info) {
    return std::string(info.param.userSpace ? "UserSpace" : "Loop") +
           (info.param.recordsRemoved ? "RecordsRemoved" : "RecordsKept");
}

// The file-system type mounted (last) at point: "squashfs" for a loop device, "fuse.squashfuse"
// in user space; "" when nothing is.
inline std::string mountTypeAt(const std::string& point) {
    std::string type;
    for (const platform::MountEntry& entry : platform::currentMounts()) {
        if (entry.mountPoint == point) {
            type = entry.fileSystemType;
        }
    }
    return type;
}

inline std::string mountTypeOf(const LeftoverCase& leftover) {
    return leftover.userSpace ? "fuse.squashfuse" : "squashfs";
}

// Unmounts whatever a test left attached at a mount root before its folders go.
struct MountRootCleanup {
    std::string mountRoot;
    ~MountRootCleanup() {
        while (::umount2(mountRoot.c_str(), MNT_DETACH) == 0) {
        }
    }
};

inline void expectClosingLast(const WholeRun& run) {
    const std::vector<std::string> log = run.logLines();
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("Closing MSP_ZOR workflow"), std::string::npos) << joinLines(log);
}

}  // namespace test_support
