// Whole headless runs that wait: held locks, a second instance, quit during the download, the
// proxy sheet, and folders that cannot be looked up.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "foundation/locks/ZRVSemaphoreLock.h"
#include "foundation/locks/ZRVSystemLevelDeploymentLock.h"
#include "platform/ProxySettings.h"
#include "tests/bootstrapper/app/RunLog.h"
#include "tests/bootstrapper/app/WholeRun.h"
#include "tests/bootstrapper/app/WholeRunChecks.h"

namespace fs = std::filesystem;
using test_support::WholeRun;
using test_support::expectClosingLast;
using test_support::kA12E2;
using test_support::kAllEvents;
using test_support::servedScenario;
using Screen = ScreenModel::Screen;
using Strings = std::vector<std::string>;

namespace {

constexpr const char* kAnotherInstaller = "Another installer is currently running";
constexpr const char* kOtherInstances = "Other instances of Morvane Studio Packager";
constexpr uint32_t kLockPoll = 500000;
constexpr const char* kPackagePath = "/product/packager.sqfs";

// What another instance would hold: a deployment lock of that id, or the instance probe.
std::unique_ptr<ZRVLockClass> otherInstanceLock(bool deployment, int deploymentId, const WholeRun& run) {
    if (deployment) {
        return std::make_unique<ZRVSystemLevelDeploymentLock>(deploymentId, run.keyFile());
    }
    return std::make_unique<ZRVSemaphoreLock>(bootstrap_locks::kInstanceProbeId, bootstrap_locks::kInstanceProbeUnits,
                                              run.keyFile());
}

size_t warningsWith(WholeRun& run, const std::string& text) {
    size_t count = 0;
    for (const test_support::WindowCall& call : run.window().calls()) {
        if (call.kind == test_support::WindowCall::Kind::Window && call.name == "showWarningErrorScreen" &&
            !call.arguments.empty() && call.arguments[0].find(text) != std::string::npos) {
            ++count;
        }
    }
    return count;
}

// The lock is held by this test and released by the state machine's k-th state-4 pass.
struct HeldLockCase {
    const char* name;
    bool deployment;  // else the other-instance probe
    int releaseAtPass;
    const char* warning;
};

class HeldLockTest : public ::testing::TestWithParam<HeldLockCase> {};

TEST_P(HeldLockTest, WarnsOnlyAfterTwentyPassesAndGoesOnByItself) {
    const HeldLockCase& c = GetParam();
    WholeRun run;
    run.makeProduct();
    run.preinstall("1.0.0.1");
    std::unique_ptr<ZRVLockClass> lock = otherInstanceLock(c.deployment, bootstrap_locks::kDeploymentLockIds[1], run);
    ASSERT_TRUE(lock->acquire());
    std::atomic<int> passes{0};
    std::vector<size_t> warningsAtPass;  // worker only until the join
    run.onSleep([&](uint32_t microseconds) {
        if (microseconds != kLockPoll) {
            return;
        }
        warningsAtPass.push_back(warningsWith(run, c.warning));
        if (++passes == c.releaseAtPass) {
            lock->release();
        }
    });
    run.start();
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(passes.load(), c.releaseAtPass);
    for (size_t pass = 0; pass < warningsAtPass.size(); ++pass) {
        // Shown in pass 20, so seen from the 21st sleep on; never twice.
        EXPECT_EQ(warningsAtPass[pass], pass + 1 > 20 ? 1u : 0u) << "pass " << pass + 1;
    }
    EXPECT_EQ(warningsWith(run, c.warning), c.releaseAtPass > 20 ? 1u : 0u);
    EXPECT_TRUE(run.shown("updateProgressPercent", "99.5"));
    lock.reset();
}

const HeldLockCase kHeldLockCases[] = {
    {"deployment_lock_briefly", true, 5, kAnotherInstaller},
    {"deployment_lock_at_the_limit", true, 20, kAnotherInstaller},
    {"deployment_lock_long", true, 25, kAnotherInstaller},
    {"instance_probe_long", false, 23, kOtherInstances},
};

INSTANTIATE_TEST_SUITE_P(Locks, HeldLockTest, ::testing::ValuesIn(kHeldLockCases),
                         [](const ::testing::TestParamInfo<HeldLockCase>& info) { return info.param.name; });

TEST(WholeRunWaitTest, SecondInstanceWaitsUntilTheFirstLetsGo) {
    WholeRun run;
    run.makeProduct();
    run.preinstall("1.0.0.1");
    ZRVSemaphoreLock first(bootstrap_locks::kInstanceLockId, 1, run.keyFile());
    ASSERT_TRUE(first.acquire());
    run.start();
    ASSERT_TRUE(run.waitForWarning(kAnotherInstaller)) << run.window().describeCalls();
    EXPECT_FALSE(run.window().model().retryVisible());
    ASSERT_TRUE(first.release());
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(warningsWith(run, kAnotherInstaller), 1u);
    EXPECT_TRUE(run.shown("updateProgressPercent", "99.5"));
}

struct AfterDownloadCase {
    const char* name;
    bool deployment;
    const char* warning;
};

class AfterDownloadLockTest : public ::testing::TestWithParam<AfterDownloadCase> {};

TEST_P(AfterDownloadLockTest, WarnsAtOnceThenInstalls) {
    SKIP_WITHOUT_MOUNTING();
    const AfterDownloadCase& c = GetParam();
    WholeRun run;
    run.makeProduct();
    run.server().setScenario(servedScenario(run, "packager.sqfs", R"(,"faults":[{"kind":"gate","after_bytes":1000}])"));
    run.start();
    ASSERT_TRUE(run.server().waitUntilHeld(kPackagePath));
    std::unique_ptr<ZRVLockClass> lock = otherInstanceLock(c.deployment, bootstrap_locks::kDeploymentLockIds[0], run);
    ASSERT_TRUE(lock->acquire());
    run.server().openGate(kPackagePath);
    ASSERT_TRUE(run.waitForWarning(c.warning)) << run.window().describeCalls();
    ASSERT_TRUE(lock->release());
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(warningsWith(run, c.warning), 1u);
    EXPECT_EQ(run.events(), kAllEvents);
    const Strings log = run.logLines();
    EXPECT_TRUE(test_support::linesInOrder(log, {"post download deployment lock check passed"}));
    lock.reset();
}

const AfterDownloadCase kAfterDownloadCases[] = {
    {"deployment_lock", true, kAnotherInstaller},
    {"instance_probe", false, kOtherInstances},
};

INSTANTIATE_TEST_SUITE_P(Locks, AfterDownloadLockTest, ::testing::ValuesIn(kAfterDownloadCases),
                         [](const ::testing::TestParamInfo<AfterDownloadCase>& info) { return info.param.name; });

bool quitEnabledDuringTransfer(WholeRun& run) {
    return run.window().waitFor(
        [](const ScreenModel& m, const auto&) {
            return m.screen() == Screen::Progress && m.quitEnabled() && m.percent() >= 5.0f;
        },
        WholeRun::kWait);
}

// The package stops after its first segment until the test opens the gate.
void holdPackageAfterFirstSegment(WholeRun& run) {
    run.server().setScenario(
        servedScenario(run, "packager.sqfs", R"(,"faults":[{"kind":"gate","after_bytes":65536}])"));
}

// Quit on the progress screen, then the answer to the question it asks.
void quitDuringTransfer(WholeRun& run, bool answer) {
    ASSERT_TRUE(quitEnabledDuringTransfer(run)) << run.window().describeCalls();
    ASSERT_TRUE(run.window().clickQuit());
    ASSERT_TRUE(run.waitForDialog(ScreenModel::Dialog::QuitQuestion));
    ASSERT_TRUE(run.window().answerQuit(answer));
}

TEST(WholeRunWaitTest, QuitDuringDownloadThenNoResumesToTheEnd) {
    SKIP_WITHOUT_MOUNTING();
    WholeRun run;
    run.makeProduct();
    holdPackageAfterFirstSegment(run);
    run.start();
    ASSERT_TRUE(run.server().waitUntilHeld(kPackagePath));
    ASSERT_NO_FATAL_FAILURE(quitDuringTransfer(run, false));
    run.server().openGate(kPackagePath);
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.events(), kAllEvents);
    EXPECT_TRUE(fs::exists(run.packagerFolder() + "/MSP/version.xml"));
    expectClosingLast(run);
}

TEST(WholeRunWaitTest, QuitDuringDownloadThenYesCloses) {
    WholeRun run;
    run.makeProduct();
    holdPackageAfterFirstSegment(run);
    run.start();
    ASSERT_TRUE(run.server().waitUntilHeld(kPackagePath));
    ASSERT_NO_FATAL_FAILURE(quitDuringTransfer(run, true));
    ASSERT_TRUE(run.finish());
    run.server().openGate(kPackagePath);
    EXPECT_EQ(run.events(), (Strings{"MSP_BOOTSTRAP_DL_START"}));
    EXPECT_FALSE(fs::exists(run.packagerFolder() + "/MSP"));
    expectClosingLast(run);
}

TEST(WholeRunWaitTest, QuitAfterALockWarningStillResumesOnNo) {
    SKIP_WITHOUT_MOUNTING();
    WholeRun run;
    run.makeProduct();
    holdPackageAfterFirstSegment(run);
    ZRVSystemLevelDeploymentLock lock(bootstrap_locks::kDeploymentLockIds[0], run.keyFile());
    ASSERT_TRUE(lock.acquire());
    int passes = 0;  // worker only
    run.onSleep([&](uint32_t microseconds) {
        if (microseconds == kLockPoll && ++passes == 22) {
            lock.release();
        }
    });
    run.start();
    ASSERT_TRUE(run.server().waitUntilHeld(kPackagePath));
    EXPECT_EQ(warningsWith(run, kAnotherInstaller), 1u);
    ASSERT_NO_FATAL_FAILURE(quitDuringTransfer(run, false));
    run.server().openGate(kPackagePath);
    ASSERT_TRUE(run.finish());
    EXPECT_TRUE(fs::exists(run.packagerFolder() + "/MSP/version.xml"));
    // The events carry no stale lock kind.
    for (const std::string& body : run.server().postedBodies(WholeRun::kSinkPath)) {
        EXPECT_NE(body.find("name=\"Error_Code\">0<"), std::string::npos) << body;
    }
}

struct BlockedFolderCase {
    const char* name;
    const char* file;     // under the local root
    bool downloadFolder;  // in place of the package's folder instead (the home's, for root the local one)
    bool installed;
};

class BlockedFolderTest : public ::testing::TestWithParam<BlockedFolderCase> {};

TEST_P(BlockedFolderTest, LookUpFailureIsABootstrapFailure) {
    const BlockedFolderCase& c = GetParam();
    WholeRun run;
    run.makeProduct();
    if (c.installed) {
        run.preinstall("1.0.0.0");
    }
    const std::string path = c.downloadFolder ? run.downloadFolder() : run.environment().localRoot() + c.file;
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << "a file where a folder belongs";
    const bool rootFolder = fs::exists("/MSP");
    run.start();
    ASSERT_TRUE(run.waitForFatal(kA12E2)) << run.window().describeCalls();
    ASSERT_TRUE(run.window().clickQuit());
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(fs::exists("/MSP"), rootFolder);
    EXPECT_TRUE(run.events().empty());
    expectClosingLast(run);
}

const BlockedFolderCase kBlockedFolderCases[] = {
    {"applications_folder", "/Applications", false, false},
    {"application_support_folder", "", true, false},
    {"application_support_folder_update", "", true, true},
};

INSTANTIATE_TEST_SUITE_P(Folders, BlockedFolderTest, ::testing::ValuesIn(kBlockedFolderCases),
                         [](const ::testing::TestParamInfo<BlockedFolderCase>& info) { return info.param.name; });

TEST(WholeRunWaitTest, FileWhereLogsBelongStillRuns) {
    WholeRun run;
    run.makeProduct();
    run.preinstall("1.0.0.1");
    fs::create_directories(run.environment().home() + "/Library");
    std::ofstream(run.environment().home() + "/Library/Logs") << "not a folder";
    const bool rootFolder = fs::exists("/ZarvoDownload");
    run.start();
    ASSERT_TRUE(run.finish());
    EXPECT_TRUE(run.shown("updateProgressPercent", "99.5"));
    EXPECT_EQ(fs::exists("/ZarvoDownload"), rootFolder);
}

// The proxy demands credentials; the sink stays out of it through no_proxy.
class ProxyRun {
public:
    explicit ProxyRun(WholeRun& run) {
        test_support::HttpTestServer::Options options;
        options.proxyAuth = "proxyuser:proxysecret";
        proxy_ = std::make_unique<test_support::HttpTestServer>(options);
        variables_->set("http_proxy", proxy_->url(""));
        variables_->set("no_proxy", "localhost");
        variables_->set("BOOTSTRAP_EVENT_SERVICE_URL", "http://localhost:" + std::to_string(run.server().port()));
        platform::ProxySettings::refresh();
    }
    // The settings are read again only once the variables are back.
    ~ProxyRun() {
        variables_.reset();
        platform::ProxySettings::refresh();
    }

private:
    std::unique_ptr<test_support::HttpTestServer> proxy_;
    std::optional<test_support::ScopedEnvironment> variables_{std::in_place};
};

TEST(WholeRunWaitTest, ProxySheetSubmitRetriesAndRememberedCredentialsPassNextTime) {
    std::shared_ptr<test_support::TemporaryEnvironment> environment;
    {
        WholeRun run;
        run.makeProduct();
        run.preinstall("1.0.0.1");
        ProxyRun proxy(run);
        run.start();
        ASSERT_TRUE(run.waitForDialog(ScreenModel::Dialog::ProxySheet)) << run.window().describeCalls();
        ASSERT_TRUE(run.window().toggleRemember(true));
        ASSERT_TRUE(run.window().answerProxy("proxyuser", "proxysecret"));
        ASSERT_TRUE(run.finish());
        EXPECT_TRUE(run.shown("updateProgressPercent", "99.5"));
        environment = run.sharedEnvironment();
    }
    // Later runs share the home (the settings store) and never tick remember: the credentials
    // stay remembered all the same.
    for (int later = 0; later < 2; ++later) {
        SCOPED_TRACE(later);
        WholeRun next(environment);
        next.makeProduct();
        ProxyRun proxy(next);
        next.start();
        ASSERT_TRUE(next.finish());
        EXPECT_EQ(next.window().callCount("showProxyDialog"), 0u);
        EXPECT_TRUE(next.shown("updateProgressPercent", "99.5"));
    }
}

TEST(WholeRunWaitTest, ProxySheetDuringPackageDownloadResumesWithTheNewCredentials) {
    SKIP_WITHOUT_MOUNTING();
    WholeRun run;
    run.makeProduct();
    ProxyRun proxy(run);
    run.start();
    ASSERT_TRUE(run.waitForDialog(ScreenModel::Dialog::ProxySheet)) << run.window().describeCalls();
    ASSERT_TRUE(run.window().answerProxy("proxyuser", "proxysecret"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.window().callCount("showProxyDialog"), 1u);
    EXPECT_TRUE(fs::exists(run.packagerFolder() + "/MSP/version.xml"));
    // Telemetry went round the proxy, straight to the sink: the refused transfer ended once, the
    // resumed one goes on without a second start.
    EXPECT_EQ(run.events(), (Strings{"MSP_BOOTSTRAP_DL_START", "MSP_BOOTSTRAP_DL_END", "MSP_BOOTSTRAP_DL_END",
                                     "MSP_BOOTSTRAP_INSTALL_START", "MSP_BOOTSTRAP_INSTALL_END"}));
    expectClosingLast(run);
}

TEST(WholeRunWaitTest, ProxySheetForASecondAssetDuringInstallRecovers) {
    SKIP_WITHOUT_MOUNTING();
    WholeRun run;
    run.makeProduct();
    run.server().setScenario(servedScenario(run, "notes.bin", R"(,"statuses":[407])"));
    run.start();
    ASSERT_TRUE(run.waitForDialog(ScreenModel::Dialog::ProxySheet)) << run.window().describeCalls();
    // The packager is installed already: the sheet came up in state 14.
    EXPECT_TRUE(run.shown("showProgressScreen", "Installing Morvane Studio Packager"));
    ASSERT_TRUE(run.window().answerProxy("someone", "secret"));
    ASSERT_TRUE(run.finish());
    EXPECT_TRUE(fs::exists(run.downloadFolder() + "/notes.bin"));
    // The refused second asset ends a transfer inside the install.
    EXPECT_EQ(run.events(), (Strings{"MSP_BOOTSTRAP_DL_START", "MSP_BOOTSTRAP_DL_END", "MSP_BOOTSTRAP_INSTALL_START",
                                     "MSP_BOOTSTRAP_DL_END", "MSP_BOOTSTRAP_INSTALL_END"}));
    expectClosingLast(run);
}

TEST(WholeRunWaitTest, ProxySheetCancelEndsOnFatalScreenAndQuitClosesAtOnce) {
    WholeRun run;
    run.makeProduct();
    run.preinstall("1.0.0.1");
    ProxyRun proxy(run);
    run.start();
    ASSERT_TRUE(run.waitForDialog(ScreenModel::Dialog::ProxySheet)) << run.window().describeCalls();
    ASSERT_TRUE(run.window().cancelProxy());
    ASSERT_TRUE(run.waitForFatal("without successful proxy authentication"));
    EXPECT_EQ(run.facade()->getSessionProxy()->state, 18);
    ASSERT_TRUE(run.window().clickQuit());
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.window().callCount("showQuitConfirmation"), 0u);
    expectClosingLast(run);
}

}  // namespace
