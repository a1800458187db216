// Whole headless runs that fail on the way: warnings with retry, fatal screens, bad bundles.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bootstrapper/support/TestSeams.h"
#include "bootstrapper/support/ZAMEEUtilities.h"
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

bool retryShown(WholeRun& run) {
    return run.window().waitFor(
        [](const ScreenModel& m, const auto&) {
            return m.screen() == Screen::Warning && m.retryVisible() && m.retryEnabled();
        },
        WholeRun::kWait);
}

// The file's first request meets a 404: the run warns with retry, and the retry runs it to the end.
void retryAfterOne404(WholeRun& run, const std::string& file) {
    run.server().setScenario(servedScenario(run, file, R"(,"statuses":[404])"));
    run.start();
    ASSERT_TRUE(retryShown(run)) << run.window().describeCalls();
    ASSERT_TRUE(run.window().clickRetry());
    ASSERT_TRUE(run.finish());
}

// A fatal screen enables quit and the close box; either closes without a question.
void quitAtOnce(WholeRun& run, bool closeBox = false) {
    ASSERT_TRUE(closeBox ? run.window().clickClose() : run.window().clickQuit());
    EXPECT_TRUE(run.finish());
    EXPECT_EQ(run.window().callCount("showQuitConfirmation"), 0u);
    expectClosingLast(run);
}

TEST(WholeRunFailureTest, VersionFileNotFoundWarnsAndRetrySucceeds) {
    WholeRun run;
    run.makeProduct();
    run.preinstall("1.0.0.1");
    run.server().setScenario(servedScenario(run, "version.xml", R"(,"statuses":[404])"));
    run.start();
    ASSERT_TRUE(retryShown(run)) << run.window().describeCalls();
    const ScreenModel warning = run.window().model();
    EXPECT_FALSE(warning.linkVisible());
    ASSERT_TRUE(run.window().clickRetry());
    ASSERT_TRUE(run.finish());
    EXPECT_TRUE(run.shown("updateProgressPercent", "99.5"));
    const Strings log = run.logLines();
    EXPECT_EQ(test_support::countLines(log, "****Downloading MSP version info file****"), 2u);
    expectClosingLast(run);
}

TEST(WholeRunFailureTest, MissingBundleFileFailsOnceWithA12E2) {
    WholeRun run;
    run.makeProduct();
    fs::remove(run.resourcesFolder() + "/productInfo.xml");
    run.start();
    ASSERT_TRUE(run.waitForFatal(kA12E2)) << run.window().describeCalls();
    EXPECT_TRUE(run.window().model().linkVisible());
    // The worker waits for the user: nothing is tried again.
    quitAtOnce(run);
    const Strings log = run.logLines();
    EXPECT_EQ(test_support::countLines(log, "Product info xml is not present in the installer"), 1u);
    EXPECT_EQ(test_support::countLines(log, "FAILED to bootstart the MSP_ZOR"), 1u);
    EXPECT_TRUE(run.events().empty());
}

// Every resource is looked up, and each missing one is reported once; a product information
// file without the manifest URL fails the same way.
struct MissingResourcesCase {
    const char* name;
    bool systemCheck;
    bool productInfo;
    const char* productInfoText;  // written in place of productInfo.xml when given
    const char* failureLine;      // the line that says why, when the file is there
};

const MissingResourcesCase kMissingResourcesCases[] = {
    {"system_check", true, false, nullptr, nullptr},
    {"both", true, true, nullptr, nullptr},
    {"product_info_without_url", false, false,
     "<?xml version=\"1.0\"?>\n<product_info><SAPCode>MSP</SAPCode></product_info>\n",
     "MSP Url not specified in the product information file"},
    {"product_info_not_xml", false, false, "not xml at all", "Could not initialize the product information file"},
};

class MissingResourcesTest : public ::testing::TestWithParam<MissingResourcesCase> {};

TEST_P(MissingResourcesTest, EachIsReportedOnceThenA12E2) {
    const MissingResourcesCase& c = GetParam();
    WholeRun run;
    run.makeProduct();
    if (c.systemCheck) {
        fs::remove(run.resourcesFolder() + "/systemCheck.xml");
    }
    if (c.productInfo) {
        fs::remove(run.resourcesFolder() + "/productInfo.xml");
    }
    if (c.productInfoText != nullptr) {
        std::ofstream(run.resourcesFolder() + "/productInfo.xml", std::ios::trunc) << c.productInfoText;
    }
    run.start();
    ASSERT_TRUE(run.waitForFatal(kA12E2)) << run.window().describeCalls();
    quitAtOnce(run, true);
    const Strings log = run.logLines();
    const auto expected = [](bool missing) { return missing ? 1u : 0u; };
    EXPECT_EQ(test_support::countLines(
                  log, "System Check info xml is not present in the installer. The installer is corrupted."),
              expected(c.systemCheck));
    EXPECT_EQ(test_support::countLines(log, "System check information not available or is Invalid"),
              expected(c.systemCheck));
    EXPECT_EQ(
        test_support::countLines(log, "Product info xml is not present in the installer. The installer is corrupted."),
        expected(c.productInfo));
    EXPECT_EQ(test_support::countLines(log, "Product Info information not available or is Invalid"),
              expected(c.productInfo));
    if (c.failureLine != nullptr) {
        EXPECT_EQ(test_support::countLines(log, c.failureLine), 1u) << test_support::joinLines(log);
    }
    EXPECT_EQ(test_support::countLines(log, "FAILED to bootstart the MSP_ZOR"), 1u);
    EXPECT_EQ(test_support::findLine(log, "Bootstraping Passed"), log.size());
    EXPECT_EQ(test_support::findLine(log, "MSP_ZOR lock acquired"), log.size());
}

INSTANTIATE_TEST_SUITE_P(Resources, MissingResourcesTest, ::testing::ValuesIn(kMissingResourcesCases),
                         [](const ::testing::TestParamInfo<MissingResourcesCase>& info) { return info.param.name; });

TEST(WholeRunFailureTest, EmptyTemporaryFolderIsABootstrapFailure) {
    WholeRun run;
    run.makeProduct();
    const std::string blocker = run.environment().base() + "/blocker";
    std::ofstream(blocker) << "a file where the temporary folders belong";
    ZAMEEUtilities::testing::setTempFolderBase(blocker);
    const bool rootVersionFile = fs::exists("/version.xml");
    run.start();
    EXPECT_TRUE(run.facade()->getSessionProxy()->tempFolderPath.empty());
    ASSERT_TRUE(run.waitForFatal(kA12E2)) << run.window().describeCalls();
    quitAtOnce(run);
    EXPECT_EQ(fs::exists("/version.xml"), rootVersionFile);
    EXPECT_EQ(test_support::countLines(run.logLines(), "FAILED to bootstart the MSP_ZOR"), 1u);
}

TEST(WholeRunFailureTest, OperatingSystemBelowRequirementShowsTheRequiredVersion) {
    WholeRun run;
    run.makeProduct({{}, "above"});
    run.start();
    ASSERT_TRUE(run.waitForFatal("99.0.0 is the minimum required for installation")) << run.window().describeCalls();
    EXPECT_FALSE(run.window().model().linkVisible());
    quitAtOnce(run);
    EXPECT_TRUE(
        test_support::linesInOrder(run.logLines(), {"System check failed", "FAILED to meet the system requirements"}));
}

TEST(WholeRunFailureTest, UnloadableSystemCheckEndsOnEmptyFatalScreen) {
    WholeRun run;
    run.makeProduct({{}, "unloadable"});
    run.start();
    ASSERT_TRUE(run.window().waitFor([](const ScreenModel& m, const auto&) { return m.screen() == Screen::Fatal; },
                                     WholeRun::kWait));
    EXPECT_EQ(run.window().model().errorText(), "");
    EXPECT_FALSE(run.window().model().linkVisible());
    quitAtOnce(run);
    const Strings log = run.logLines();
    EXPECT_TRUE(test_support::linesInOrder(log, {"System check information not available or is Invalid",
                                                 "Unknown error during system requirements check"}));
    // The OS check never ran on an unset requirement.
    EXPECT_EQ(test_support::findLine(log, "System OS Version"), log.size());
    EXPECT_EQ(test_support::findLine(log, "System check failed"), log.size());
}

TEST(WholeRunFailureTest, MissingPackagerExecutableShowsInternalError) {
    WholeRun run;
    run.makeProduct();
    run.preinstall("1.0.0.1", false);
    run.start();
    ASSERT_TRUE(run.waitForFatal("Installer failed to initialize.")) << run.window().describeCalls();
    EXPECT_TRUE(run.window().model().linkVisible());
    EXPECT_EQ(run.window().model().errorText().find("A12E2"), std::string::npos);
    quitAtOnce(run);
    EXPECT_EQ(test_support::countLines(run.logLines(), "Failed to launch MSP. Some Internal Error"), 1u);
}

TEST(WholeRunFailureTest, PackagerFolderLostBeforeTheLaunchShowsInternalError) {
    WholeRun run;
    run.makeProduct();
    run.preinstall("1.0.0.1");
    run.server().setScenario(servedScenario(run, "version.xml", R"(,"faults":[{"kind":"gate","after_bytes":8}])"));
    run.start();
    // State 5 found the packager; while the version file is held, a file takes the place of
    // <root>/Applications, so state 16's look-up of the same folder fails.
    ASSERT_TRUE(run.server().waitUntilHeld("/product/version.xml"));
    const std::string applications = run.environment().localRoot() + "/Applications";
    fs::rename(applications, applications + ".moved");
    std::ofstream(applications) << "a file where a folder belongs";
    run.server().openGate("/product/version.xml");
    ASSERT_TRUE(run.waitForFatal("Installer failed to initialize.")) << run.window().describeCalls();
    EXPECT_TRUE(run.window().model().linkVisible());
    EXPECT_EQ(run.window().model().errorText().find("A12E2"), std::string::npos);
    quitAtOnce(run);
    EXPECT_TRUE(test_support::linesInOrder(run.logLines(), {"MSP already present", "Launching Morvane Studio Packager",
                                                            "Failed to launch MSP. Some Internal Error"}));
    EXPECT_FALSE(fs::exists(applications + ".moved/Utilities/Zarvo Application Manager/MSP/launched"));
    EXPECT_FALSE(run.shown("updateProgressPercent", "99.5"));
}

TEST(WholeRunFailureTest, FailedInstallerShowsInstallTextAndSendsInstallEnd) {
    SKIP_WITHOUT_MOUNTING();
    WholeRun run;
    run.makeProduct({{"--installer-exit", "10"}, ""});
    run.start();
    ASSERT_TRUE(run.waitForFatal("Morvane Studio Packager failed to install.")) << run.window().describeCalls();
    EXPECT_TRUE(run.window().model().linkVisible());
    quitAtOnce(run);
    EXPECT_EQ(run.events(), kAllEvents);
    // The install end event carries the fatal kind raised just before it.
    EXPECT_EQ(run.eventProperty("Error_Code").back(), "5");
    EXPECT_EQ(run.eventProperty("Error_Subcode").back(), "14");
    EXPECT_EQ(test_support::countLines(run.logLines(),
                                       "Failed to extract or install Morvane Studio Packager. Error Code - 10"),
              1u);
}

TEST(WholeRunFailureTest, AssetNotFoundDuringDownloadRecoversThroughRetry) {
    SKIP_WITHOUT_MOUNTING();
    WholeRun run;
    run.makeProduct();
    ASSERT_NO_FATAL_FAILURE(retryAfterOne404(run, "packager.sqfs"));
    EXPECT_EQ(run.events(), (Strings{"MSP_BOOTSTRAP_DL_START", "MSP_BOOTSTRAP_DL_END", "MSP_BOOTSTRAP_DL_END",
                                     "MSP_BOOTSTRAP_INSTALL_START", "MSP_BOOTSTRAP_INSTALL_END"}));
    expectClosingLast(run);
}

TEST(WholeRunFailureTest, SecondAssetFailingDuringInstallRecoversThroughRetry) {
    SKIP_WITHOUT_MOUNTING();
    WholeRun run;
    run.makeProduct();
    ASSERT_NO_FATAL_FAILURE(retryAfterOne404(run, "notes.bin"));
    EXPECT_TRUE(fs::exists(run.downloadFolder() + "/notes.bin"));
    EXPECT_EQ(run.events(), (Strings{"MSP_BOOTSTRAP_DL_START", "MSP_BOOTSTRAP_DL_END", "MSP_BOOTSTRAP_INSTALL_START",
                                     "MSP_BOOTSTRAP_DL_END", "MSP_BOOTSTRAP_INSTALL_END"}));
    // The install bar replaced the warning, and the install ended on it.
    const ScreenModel last = run.window().model();
    EXPECT_EQ(last.screen(), Screen::Progress);
    EXPECT_EQ(last.title(), "Installing Morvane Studio Packager");
    EXPECT_FLOAT_EQ(last.percent(), 99.99f);
    EXPECT_FALSE(last.quitEnabled());
    expectClosingLast(run);
}

// A server that ignores ranges and cuts every stream of the image at a segment's end, with no
// length on the body: the run ends on a failure screen and installs nothing, whether or not the
// HEAD gave the length.
struct StreamCutForGoodCase {
    const char* name;
    const char* faults;
};

const StreamCutForGoodCase kStreamCutForGoodCases[] = {
    {"sized_head", R"({"kind":"close_delimited","after_bytes":196608,"times":-1})"},
    {"no_length_anywhere", R"({"kind":"close_delimited","after_bytes":196608,"times":-1},)"
                           R"({"kind":"close_delimited","methods":["HEAD"],"times":-1})"},
};

class StreamCutForGoodTest : public ::testing::TestWithParam<StreamCutForGoodCase> {};

TEST_P(StreamCutForGoodTest, EndsOnAFailureScreenWithNothingInstalled) {
    WholeRun run;
    run.makeProduct();
    run.server().setScenario(
        servedScenario(run, "packager.sqfs", std::string(R"(,"ranges":false,"faults":[)") + GetParam().faults + "]"));
    run.start();
    ASSERT_TRUE(retryShown(run)) << run.window().describeCalls();
    EXPECT_FALSE(fs::exists(run.packagerFolder() + "/MSP"));
    EXPECT_FALSE(fs::exists(run.packagerFolder() + "/installer-arguments"));
    EXPECT_FALSE(fs::exists(run.environment().home() + "/Library/Application Support/packager.sqfs"))
        << "no short image where the asset belongs";
    ASSERT_TRUE(run.window().clickQuit());
    ASSERT_TRUE(run.waitForDialog(ScreenModel::Dialog::QuitQuestion));
    ASSERT_TRUE(run.window().answerQuit(true));
    EXPECT_TRUE(run.finish());
    const Strings log = run.logLines();
    EXPECT_EQ(test_support::findLine(log, "Extracting and installing Morvane Studio Packager"), log.size())
        << test_support::joinLines(log);
    EXPECT_EQ(run.events(), (Strings{"MSP_BOOTSTRAP_DL_START", "MSP_BOOTSTRAP_DL_END"}));
    expectClosingLast(run);
}

INSTANTIATE_TEST_SUITE_P(Image, StreamCutForGoodTest, ::testing::ValuesIn(kStreamCutForGoodCases),
                         [](const ::testing::TestParamInfo<StreamCutForGoodCase>& info) { return info.param.name; });

TEST(WholeRunFailureTest, QuitOverWarningAskedAndNoKeepsTheWarning) {
    WholeRun run;
    run.makeProduct();
    run.preinstall("1.0.0.1");
    run.server().setScenario(servedScenario(run, "version.xml", R"(,"statuses":[404])"));
    run.start();
    ASSERT_TRUE(retryShown(run));
    ASSERT_TRUE(run.window().clickQuit());
    ASSERT_TRUE(run.waitForDialog(ScreenModel::Dialog::QuitQuestion));
    ASSERT_TRUE(run.window().answerQuit(false));
    // The warning keeps waiting: retry still works and the download runs once more only then.
    ASSERT_TRUE(retryShown(run));
    ASSERT_TRUE(run.window().clickRetry());
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(test_support::countLines(run.logLines(), "****Downloading MSP version info file****"), 2u);
}

}  // namespace
