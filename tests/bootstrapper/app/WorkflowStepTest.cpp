// Steps of states and sub-steps no other step enters, set directly (the program never sets them).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bootstrapper/app/BootstrapSeams.h"
#include "bootstrapper/app/TestSeams.h"
#include "bootstrapper/app/ZORSessionProxy.h"
#include "bootstrapper/app/ZORWorkflowManager.h"
#include "bootstrapper/support/DEZReporter.h"
#include "bootstrapper/support/SupportAddress.h"
#include "bootstrapper/support/VOR.h"
#include "bootstrapper/ui/ViewMediator.h"
#include "foundation/locks/SystemVSemaphoreSet.h"
#include "foundation/locks/ZRVSemaphoreLock.h"
#include "foundation/logging/LogTargetDefault.h"
#include "foundation/logging/LoggingCore.h"
#include "tests/bootstrapper/app/RecordingWindow.h"
#include "tests/bootstrapper/app/RunLog.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/LogFacadeHome.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

constexpr const char* kSinkPath = "/hsmessaging/rest";

// A worker without its thread, a "ZOR" log target of its own and a telemetry sink.
class StepTest : public ::testing::Test {
protected:
    StepTest() : window_(session_), target_("ZOR") {}

    void SetUp() override {
        target_.setLogFile("steps.log", environment_.base().c_str());
        target_.setLogLevel(zezu::INFO);
        zezu::LoggingCore::getInstance()->registerTarget(&target_);
        server_.setScenario(std::string(R"({"path":")") + kSinkPath + R"(","sink":true})");
        setenv("BOOTSTRAP_EVENT_SERVICE_URL", server_.url("").c_str(), 1);
        session_.viewHandles.controller = &window_;
        mediator_.setSession(&session_);
        mediator_.setUtils(&session_.utils);
        mediator_.setViewHandles(&session_.viewHandles);
        manager_ = std::make_unique<ZORWorkflowManager>();
        ASSERT_TRUE(manager_->init(&session_, &mediator_));
    }

    void TearDown() override {
        manager_.reset();
        DEZReporter::destroyInstance();
        unsetenv("BOOTSTRAP_EVENT_SERVICE_URL");
        zezu::LoggingCore::getInstance()->unregisterTarget(&target_);
    }

    std::vector<std::string> log() const { return test_support::readLines(environment_.base() + "/steps.log"); }

    test_support::TemporaryEnvironment environment_;
    test_support::HttpTestServer server_;
    ZORSessionProxy session_;
    ViewMediator mediator_;
    test_support::RecordingWindow window_;
    zezu::LogTargetDefault target_;
    std::unique_ptr<ZORWorkflowManager> manager_;
};

TEST_F(StepTest, StatesNoStepEntersDoNothing) {
    for (const int32_t state : {10, 11, 12, 18}) {
        session_.state = state;
        session_.subState = 3;
        manager_->stepStateMachine();
        EXPECT_EQ(session_.state, state);
        EXPECT_EQ(session_.subState, 3);
    }
    EXPECT_TRUE(window_.calls.empty());
    EXPECT_TRUE(server_.postedBodies(kSinkPath).empty());
}

TEST_F(StepTest, StateFifteenOnlyLogs) {
    session_.state = 15;
    manager_->stepStateMachine();
    EXPECT_EQ(session_.state, 15);
    EXPECT_TRUE(window_.calls.empty());
    EXPECT_EQ(test_support::countLines(log(), "Installing latest Morvane Studio Packager"), 1u);
}

TEST_F(StepTest, PackageSubStepSevenGoesToTheLockCheck) {
    session_.state = 9;
    session_.subState = 7;
    manager_->stepStateMachine();
    EXPECT_EQ(session_.state, 13);
}

TEST_F(StepTest, PackageSubStepFourWithNothingToPauseReportsTheDownloadFailure) {
    session_.state = 9;
    session_.subState = 4;
    manager_->stepStateMachine();
    EXPECT_EQ(session_.state, 9);
    // Not a paused download: the failure is reported and the download end event sent.
    EXPECT_NE(session_.errorKind, 0);
    EXPECT_EQ(session_.userAction.load(), 8);
    const std::vector<std::string> bodies = server_.postedBodies(kSinkPath);
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_NE(bodies[0].find("MSP_BOOTSTRAP_DL_END"), std::string::npos);
}

TEST_F(StepTest, VersionFileSubStepsThatWaitDoNothing) {
    for (const int32_t subState : {0, 3, 4, 5}) {
        session_.state = 6;
        session_.subState = subState;
        manager_->stepStateMachine();
        EXPECT_EQ(session_.state, 6);
        EXPECT_EQ(session_.subState, subState);
    }
    EXPECT_TRUE(window_.calls.empty());
}

TEST_F(StepTest, VersionFileDoneRecordsNoErrorAndCompares) {
    session_.state = 6;
    session_.subState = 7;
    session_.errorKind = 4;
    manager_->stepStateMachine();
    EXPECT_EQ(session_.errorKind, 0);
    EXPECT_EQ(session_.subState, 0);
    EXPECT_EQ(session_.state, 7);
}

TEST_F(StepTest, UnreadableVersionFileLaunchesWhatIsInstalled) {
    session_.state = 7;
    session_.versionFilePath = environment_.base() + "/missing-version.xml";
    manager_->stepStateMachine();
    EXPECT_EQ(session_.state, 16);
    EXPECT_EQ(test_support::countLines(log(), "Failed to get MSP version from downloaded version.xml."), 1u);
}

TEST_F(StepTest, LaunchWithoutItsFolderShowsInternalErrorAndGoesInert) {
    // A file where <root>/Applications belongs: the packager's folder cannot be looked up.
    std::ofstream(environment_.localRoot() + "/Applications") << "not a folder";
    session_.state = 16;
    manager_->stepStateMachine();
    EXPECT_EQ(session_.state, 18);
    EXPECT_EQ(session_.errorKind, 6);
    // Nothing waits in state 18; quit closes at once.
    EXPECT_EQ(session_.userAction.load(), 0);
    ASSERT_EQ(window_.calls.size(), 2u);
    EXPECT_EQ(window_.calls[0].name, "showFatalErrorScreen");
    EXPECT_NE(window_.calls[0].text.find("Installer failed to initialize."), std::string::npos);
    EXPECT_EQ(window_.calls[0].text.find("A12E2"), std::string::npos);
    EXPECT_TRUE(window_.calls[0].flag);
    EXPECT_EQ(window_.calls[1].name, "enableQuitButton");
    EXPECT_TRUE(window_.calls[1].flag);
    EXPECT_EQ(test_support::countLines(log(), "Failed to launch MSP. Some Internal Error"), 1u);
}

TEST_F(StepTest, CloseAsksTheWindowToCloseAndEndsTheWorker) {
    manager_->setRunning(true);
    session_.state = 17;
    manager_->stepStateMachine();
    EXPECT_TRUE(window_.called("closeUI"));
    EXPECT_FALSE(manager_->isRunning());
}

TEST_F(StepTest, RunningAgainStopsTheFirstThreadFirst) {
    ASSERT_TRUE(manager_->run());
    ASSERT_TRUE(manager_->run());
    EXPECT_TRUE(manager_->isRunning());
    EXPECT_TRUE(manager_->stopThread());
    EXPECT_FALSE(manager_->isRunning());
    // Stopping twice is harmless.
    EXPECT_TRUE(manager_->stopThread());
    const std::vector<std::string> lines = log();
    const size_t warning = test_support::findLine(lines, "thread (0) is already running. Closing it first");
    ASSERT_LT(warning, lines.size()) << test_support::joinLines(lines);
    EXPECT_NE(lines[warning].find("[WARN]"), std::string::npos);
}

TEST_F(StepTest, CloseSavesCredentialsWhenRememberedAndNeverErasesThem) {
    const auto stored = [] {
        VOR store;
        store.createLibRef();
        std::string user;
        std::string password;
        store.readProxyCredentials(user, password);
        store.freeLibRef();
        return user + ":" + password;
    };
    // Saved as they stand, whether or not the proxy took them.
    session_.setProxyCredentials("first", "secret-1");
    session_.setRememberCredentials(true);
    session_.state = 17;
    manager_->stepStateMachine();
    EXPECT_EQ(stored(), "first:secret-1");
    EXPECT_TRUE(std::filesystem::exists(environment_.home() + "/Library/Application Support/Zarvo/ZEZU/vor.db"));
    // A later close without remember leaves them.
    session_.setProxyCredentials("second", "secret-2");
    session_.setRememberCredentials(false);
    manager_->stepStateMachine();
    EXPECT_EQ(stored(), "first:secret-1");
}

struct DownloadFailureCase {
    const char* name;
    int32_t errorType;
    int32_t kind;
    const char* call;
    const char* textPart;
    bool flag;  // retry shown (warning), link shown (fatal)
    int32_t subStateAfter;
};

// Sub-step 2 of the version file failed: what the user can mend waits in sub-step 5.
const DownloadFailureCase kDownloadFailureCases[] = {
    {"proxy_authentication", -8, 1, "showProxyDialog", "Please provide your proxy server username and password", false,
     5},
    {"server_error", -40, 4, "showWarningErrorScreen", "The remote server is not responding", true, 5},
    {"network_unavailable", -50, 4, "showWarningErrorScreen", "Please connect to internet", true, 5},
    {"invalid_path", -80, 5, "showFatalErrorScreen", "(Error code: A12E4)", true, 2},
    {"disk_full", -30, 5, "showFatalErrorScreen", "Insufficient hard disk space", false, 2},
};

class DownloadFailureTest : public StepTest, public ::testing::WithParamInterface<DownloadFailureCase> {};

TEST_P(DownloadFailureTest, ScreenAndSubStep) {
    const DownloadFailureCase& c = GetParam();
    session_.state = 6;
    session_.subState = 2;
    manager_->reportFailure(c.errorType, 0);
    EXPECT_EQ(session_.errorKind, c.kind);
    EXPECT_EQ(session_.subState, c.subStateAfter);
    EXPECT_EQ(session_.userAction.load(), 8);
    ASSERT_EQ(window_.calls.size(), 1u);
    const test_support::RecordedCall& call = window_.calls[0];
    EXPECT_EQ(call.name, c.call);
    EXPECT_NE(call.text.find(c.textPart), std::string::npos) << call.text;
    EXPECT_EQ(call.flag, c.flag);
    EXPECT_EQ(call.userActionAtCall, 8);
    // No event here: the manifest's failures send theirs in the caller.
    EXPECT_TRUE(server_.postedBodies(kSinkPath).empty());
}

TEST_P(DownloadFailureTest, QuitClickedDuringTheDownloadIsActedOnNextTick) {
    const DownloadFailureCase& c = GetParam();
    session_.state = 6;
    session_.subState = 2;
    // Clicked while the synchronous download blocked the worker, which then fails.
    session_.quit();
    manager_->reportFailure(c.errorType, 0);
    EXPECT_EQ(session_.userAction.load(), 2);
    EXPECT_FALSE(manager_->dispatchUserAction());
    const bool asks = c.kind == 4;
    EXPECT_EQ(window_.called("showQuitConfirmation"), asks);
    EXPECT_EQ(session_.state, asks ? 6 : 17);
}

INSTANTIATE_TEST_SUITE_P(Types, DownloadFailureTest, ::testing::ValuesIn(kDownloadFailureCases),
                         [](const ::testing::TestParamInfo<DownloadFailureCase>& info) { return info.param.name; });

struct InstallFailureCase {
    const char* name;
    int actionType;
    int resultCode;
    const char* textPart;
    bool link;
    bool supportButton;  // the second button opens the support page
};

const InstallFailureCase kInstallFailureCases[] = {
    {"signature_check_sets_up_the_support_button", 1, 503, "There seems to be a problem with Morvane Studio Packager",
     false, true},
    {"installer_failed", 1, 10, "Morvane Studio Packager failed to install.", true, false},
    {"extraction_failed", 2, 0, "(Error code: A12E3)", true, false},
};

class InstallFailureTest : public StepTest, public ::testing::WithParamInterface<InstallFailureCase> {};

TEST_P(InstallFailureTest, FatalScreenEventAndSecondButton) {
    const InstallFailureCase& c = GetParam();
    std::vector<std::string> links;
    bootstrap_seams::testing::setLinkOpener([&links](const std::string& url) { links.push_back(url); });
    session_.state = 14;
    manager_->reportInstallFailure(c.actionType, c.resultCode);

    EXPECT_EQ(session_.errorKind, 5);
    EXPECT_EQ(session_.userAction.load(), 8);
    std::vector<std::string> names;
    for (const test_support::RecordedCall& call : window_.calls) {
        names.push_back(call.name);
    }
    const std::vector<std::string> expected =
        c.supportButton ? std::vector<std::string>{"setButton2Text", "showButton2", "showFatalErrorScreen"}
                        : std::vector<std::string>{"showFatalErrorScreen"};
    ASSERT_EQ(names, expected);
    const test_support::RecordedCall& screen = window_.calls.back();
    EXPECT_NE(screen.text.find(c.textPart), std::string::npos) << screen.text;
    EXPECT_EQ(screen.flag, c.link);
    // The screen comes after the button is set up, so the button takes the focus.
    EXPECT_EQ(screen.focusSecondButton, c.supportButton);
    if (c.supportButton) {
        EXPECT_EQ(window_.calls[0].text, "Download");
        EXPECT_TRUE(window_.calls[1].flag);
    }
    EXPECT_EQ(test_support::countLines(log(), "Failed to extract or install Morvane Studio Packager. Error Code - " +
                                                  std::to_string(c.resultCode)),
              1u);
    const std::vector<std::string> bodies = server_.postedBodies(kSinkPath);
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_NE(bodies[0].find("MSP_BOOTSTRAP_INSTALL_END"), std::string::npos);
    EXPECT_NE(bodies[0].find("name=\"Error_Code\">5<"), std::string::npos) << bodies[0];

    // The second button opens the support page, then acts as quit; on a fatal screen either
    // closes without a question.
    if (c.supportButton) {
        session_.retry();
        EXPECT_TRUE(manager_->dispatchUserAction());
    } else {
        session_.quit();
        EXPECT_FALSE(manager_->dispatchUserAction());
    }
    bootstrap_seams::testing::setLinkOpener({});
    EXPECT_EQ(links, c.supportButton ? std::vector<std::string>{kSupportAddress} : std::vector<std::string>{});
    EXPECT_EQ(session_.state, 17);
    EXPECT_FALSE(window_.called("showQuitConfirmation"));
}

INSTANTIATE_TEST_SUITE_P(Rows, InstallFailureTest, ::testing::ValuesIn(kInstallFailureCases),
                         [](const ::testing::TestParamInfo<InstallFailureCase>& info) { return info.param.name; });

// A lock key file of the test's own as BOOTSTRAP_LOCK_KEY_PATH; the run's sets on it go on
// every exit, a failed assertion's included.
class LockKeyFile {
public:
    explicit LockKeyFile(std::string path) : path_(std::move(path)) {
        std::ofstream(path_) << "key";
        setenv("BOOTSTRAP_LOCK_KEY_PATH", path_.c_str(), 1);
    }
    ~LockKeyFile() {
        unsetenv("BOOTSTRAP_LOCK_KEY_PATH");
        for (const int id : {bootstrap_locks::kInstanceLockId, bootstrap_locks::kInstanceProbeId,
                             bootstrap_locks::kDeploymentLockIds[0], bootstrap_locks::kDeploymentLockIds[1]}) {
            foundation::SystemVSemaphoreSet::removeKey(path_, id);
        }
    }
    LockKeyFile(const LockKeyFile&) = delete;
    LockKeyFile& operator=(const LockKeyFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

TEST(SleepSeamTest, EnvironmentSetsTheLockPoll) {
    test_support::TemporaryEnvironment environment;
    const LockKeyFile key(environment.base() + "/lock-key");
    setenv("BOOTSTRAP_LOCK_POLL_US", "77", 1);
    std::vector<uint32_t> sleeps;
    bootstrap_seams::testing::setSleep([&sleeps](uint32_t microseconds) { sleeps.push_back(microseconds); });
    {
        ZORSessionProxy session;
        ViewMediator mediator;
        ZORWorkflowManager manager;
        ASSERT_TRUE(manager.init(&session, &mediator));
        session.state = 4;
        manager.stepStateMachine();
        EXPECT_EQ(session.state, 5);
    }
    bootstrap_seams::testing::setSleep({});
    unsetenv("BOOTSTRAP_LOCK_POLL_US");
    EXPECT_EQ(sleeps, (std::vector<uint32_t>{77}));
}

TEST(InstanceLockTest, HeldLockIsReleasedWhenTheRunNeverCloses) {
    test_support::TemporaryEnvironment environment;
    const LockKeyFile key(environment.base() + "/lock-key");
    const std::string& keyFile = key.path();
    foundation::SystemVSemaphoreSet::removeKey(keyFile, bootstrap_locks::kInstanceLockId);
    {
        ZORSessionProxy session;
        ViewMediator mediator;
        ZORWorkflowManager manager;
        ASSERT_TRUE(manager.init(&session, &mediator));
        session.state = 2;
        manager.stepStateMachine();
        ASSERT_EQ(session.state, 3);
        ZRVSemaphoreLock other(bootstrap_locks::kInstanceLockId, 1, keyFile);
        EXPECT_FALSE(other.acquire());
    }
    ZRVSemaphoreLock after(bootstrap_locks::kInstanceLockId, 1, keyFile);
    EXPECT_TRUE(after.acquire());
    after.release();
}

}  // namespace
