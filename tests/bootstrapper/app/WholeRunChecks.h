// Checks and scenarios the whole-run programs share.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/bootstrapper/app/RunLog.h"
#include "tests/bootstrapper/app/WholeRun.h"

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

inline void expectClosingLast(const WholeRun& run) {
    const std::vector<std::string> log = run.logLines();
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("Closing MSP_ZOR workflow"), std::string::npos) << joinLines(log);
}

}  // namespace test_support
