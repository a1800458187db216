// The facade and the program: log lines, a failed initialisation, the no-window host, the log folder.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bootstrapper/app/ZORApplicationFacade.h"
#include "bootstrapper/support/TestSeams.h"
#include "bootstrapper/support/ZAMEEUtilities.h"
#include "platform/ProcessLauncher.h"
#include "tests/bootstrapper/app/RunLog.h"
#include "tests/support/TemporaryEnvironment.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kResourcesVariable = "BOOTSTRAP_RESOURCES_FOLDER";

std::string bundleFolder() {
    const char* binary = std::getenv("PROJECT_BINARY_DIR");
    return std::string(binary != nullptr ? binary : ".") + "/MSPInstaller.app";
}

class FacadeTest : public ::testing::Test {
protected:
    void SetUp() override {
        temporaryBase_ = environment_.base() + "/tmp";
        fs::create_directories(temporaryBase_);
        ZAMEEUtilities::testing::setTempFolderBase(temporaryBase_);
    }
    void TearDown() override {
        ZAMEEUtilities::testing::setTempFolderBase("");
        unsetenv(kResourcesVariable);
    }

    bool temporaryBaseEmpty() const { return fs::is_empty(temporaryBase_); }
    std::vector<std::string> log() const {
        return test_support::readLines(test_support::programLogPath(environment_.home()));
    }

    test_support::TemporaryEnvironment environment_;
    std::string temporaryBase_;
};

TEST_F(FacadeTest, FailedInitLogsThenShutsDownCleanly) {
    const std::string empty = environment_.base() + "/no-resources";
    fs::create_directories(empty);
    setenv(kResourcesVariable, empty.c_str(), 1);

    ZORApplicationFacade* facade = ZORApplicationFacade::getInstance();
    EXPECT_FALSE(facade->init());
    EXPECT_FALSE(temporaryBaseEmpty());
    // A host that starts anyway is told the worker did not start.
    EXPECT_FALSE(facade->start());
    ZORApplicationFacade::shutdown();

    const std::vector<std::string> lines = log();
    EXPECT_TRUE(test_support::linesInOrder(
        lines,
        {"****************Starting MSP_ZOR workflow*******************", "FAILED to init the session proxy",
         "Thread is not initialized, so it cannot run", "****************Closing MSP_ZOR workflow*******************"}))
        << test_support::joinLines(lines);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("Closing MSP_ZOR workflow"), std::string::npos);
    // The temporary folder goes with the facade.
    EXPECT_TRUE(temporaryBaseEmpty());
}

TEST_F(FacadeTest, NoWindowHostShutsDownWithoutStartingTheWorker) {
    setenv(kResourcesVariable, (bundleFolder() + "/Contents/Resources").c_str(), 1);
    ZORApplicationFacade* facade = ZORApplicationFacade::getInstance();
    ASSERT_TRUE(facade->init());
    WindowHostContext context = facade->windowHostContext();
    EXPECT_EQ(runNoWindowHost(context), -1);
    // shutdown already ran: a second one has nothing to do.
    ZORApplicationFacade::shutdown();

    const std::vector<std::string> lines = log();
    EXPECT_TRUE(test_support::linesInOrder(
        lines, {"Starting MSP_ZOR workflow", "No window toolkit in this build", "Closing MSP_ZOR workflow"}))
        << test_support::joinLines(lines);
    EXPECT_EQ(test_support::findLine(lines, "initializing screen"), lines.size());
    EXPECT_TRUE(temporaryBaseEmpty());
}

TEST_F(FacadeTest, FileWhereLogsBelongWritesNoLogAndMakesNoRootFolder) {
    setenv(kResourcesVariable, (bundleFolder() + "/Contents/Resources").c_str(), 1);
    const bool rootFolderBefore = fs::exists("/ZarvoDownload");
    fs::create_directories(environment_.home() + "/Library");
    std::ofstream(environment_.home() + "/Library/Logs") << "not a folder";

    ZORApplicationFacade* facade = ZORApplicationFacade::getInstance();
    EXPECT_TRUE(facade->init());
    ZORApplicationFacade::shutdown();

    EXPECT_EQ(fs::exists("/ZarvoDownload"), rootFolderBefore);
    EXPECT_TRUE(fs::is_regular_file(environment_.home() + "/Library/Logs"));
    EXPECT_TRUE(temporaryBaseEmpty());
}

TEST_F(FacadeTest, LockKeyPathThatDoesNotExistIsWarnedAbout) {
    setenv(kResourcesVariable, (bundleFolder() + "/Contents/Resources").c_str(), 1);
    const std::string missing = environment_.base() + "/no-such-key-file";
    setenv("BOOTSTRAP_LOCK_KEY_PATH", missing.c_str(), 1);
    ZORApplicationFacade* facade = ZORApplicationFacade::getInstance();
    EXPECT_TRUE(facade->init());
    ZORApplicationFacade::shutdown();
    unsetenv("BOOTSTRAP_LOCK_KEY_PATH");
    const std::vector<std::string> lines = log();
    const size_t warning = test_support::findLine(lines, "BOOTSTRAP_LOCK_KEY_PATH names nothing that exists");
    ASSERT_LT(warning, lines.size()) << test_support::joinLines(lines);
    EXPECT_NE(lines[warning].find("[WARN]"), std::string::npos);
    EXPECT_NE(lines[warning].find("/tmp"), std::string::npos);
}

class ProgramTest : public FacadeTest {
protected:
    int runProgram(const std::vector<std::string>& arguments) {
        int status = -1;
        platform::ProcessOptions options;
        options.discardOutput = true;
        EXPECT_TRUE(platform::runProcess(bundleFolder() + "/Contents/MacOS/bootstrapper", arguments, status, options));
        return status;
    }
};

TEST_F(ProgramTest, WithoutAWindowLogsAnErrorAndReturnsMinusOne) {
    // No toolkit in the build, or no display for it: either way one ERROR line and no worker.
    const char* display = std::getenv("DISPLAY");
    const std::string savedDisplay = display != nullptr ? display : "";
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(runProgram({"--sessionId=abc"}), 255);
    if (display != nullptr) {
        setenv("DISPLAY", savedDisplay.c_str(), 1);
    }
    const std::vector<std::string> lines = log();
    const size_t starting = test_support::findLine(lines, "Starting MSP_ZOR workflow");
    const size_t error = test_support::findLine(lines, "[ERROR]", starting);
    ASSERT_LT(error, lines.size()) << test_support::joinLines(lines);
    EXPECT_TRUE(lines[error].find("No window toolkit in this build") != std::string::npos ||
                lines[error].find("display") != std::string::npos)
        << lines[error];
    EXPECT_EQ(test_support::findLine(lines, "initializing screen"), lines.size());
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("Closing MSP_ZOR workflow"), std::string::npos);
}

TEST_F(ProgramTest, MissingDictionaryReturnsMinusOneAfterClosing) {
    const std::string empty = environment_.base() + "/no-resources";
    fs::create_directories(empty);
    setenv(kResourcesVariable, empty.c_str(), 1);
    EXPECT_EQ(runProgram({}), 255);
    const std::vector<std::string> lines = log();
    EXPECT_TRUE(test_support::linesInOrder(
        lines, {"Starting MSP_ZOR workflow", "FAILED to init the session proxy", "Closing MSP_ZOR workflow"}))
        << test_support::joinLines(lines);
    EXPECT_EQ(test_support::findLine(lines, "No window toolkit"), lines.size());
}

}  // namespace
