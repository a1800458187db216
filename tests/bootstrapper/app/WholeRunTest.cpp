// Whole headless runs against the sample product on the loopback server, checked by their
// screens, log lines, telemetry events, installed files and the installer's arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/bootstrapper/app/RunLog.h"
#include "tests/bootstrapper/app/WholeRun.h"
#include "tests/bootstrapper/app/WholeRunChecks.h"

namespace fs = std::filesystem;
using test_support::WholeRun;
using test_support::installedVersion;
using test_support::kAllEvents;
using Strings = std::vector<std::string>;

namespace {

constexpr const char* kDownloadingTitle = "Downloading Morvane Studio Packager";
constexpr const char* kInstallingTitle = "Installing Morvane Studio Packager";
constexpr const char* kUpdatingTitle = "Updating Morvane Studio Packager";
constexpr const char* kLaunchingTitle = "Launching Morvane Studio Packager";
constexpr const char* kSampleVersion = "1.0.0.1";

// Log lines of the run's states, each after the one before.
void expectStates(const WholeRun& run, const Strings& lines) {
    const Strings log = run.logLines();
    EXPECT_TRUE(test_support::linesInOrder(log, lines)) << test_support::joinLines(log);
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("Closing MSP_ZOR workflow"), std::string::npos) << log.back();
}

// The percents the run showed, in order.
std::vector<float> percents(WholeRun& run) {
    std::vector<float> values;
    for (const test_support::WindowCall& call : run.window().calls()) {
        if (call.kind == test_support::WindowCall::Kind::Window && call.name == "updateProgressPercent") {
            values.push_back(std::stof(call.arguments.at(0)));
        }
    }
    return values;
}

TEST(WholeRunTest, NotInstalledDownloadsAndInstalls) {
    SKIP_WITHOUT_MOUNTING();
    WholeRun run;
    run.makeProduct();
    run.start({"--userId=someone"});
    ASSERT_TRUE(run.finish());

    expectStates(run, {"Starting MSP_ZOR workflow", "initializing screen", "Bootstraping Passed", "MSP_ZOR lock acquired",
                       "System requirements check passed", "deployment lock check passed",
                       "MSP not present so downloading is initiatied",
                       "Downloading Morvane Studio Packager Enterprise Edition",
                       "post download deployment lock check passed", "Extracting and installing Morvane Studio Packager",
                       "Closing MSP_ZOR workflow"});
    EXPECT_TRUE(run.shown("showProgressScreen", kDownloadingTitle));
    EXPECT_TRUE(run.shown("showProgressScreen", kInstallingTitle));
    EXPECT_TRUE(run.shown("updateProgressPercent", "99.99"));
    // The first screen has no title and quit enabled; the lock check then titles it.
    const std::vector<test_support::WindowCall> calls = run.window().calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().name, "showProgressScreen");
    EXPECT_EQ(calls.front().arguments, (Strings{"", "true"}));
    EXPECT_TRUE(run.shown("showProgressScreen", "Initializing Installer"));
    // 2.5 while the manifest comes, 5 for the validation data, up to 70 for the transfer, the
    // install curve from 70 on, and 99.99 at the end; never backwards.
    const std::vector<float> shown = percents(run);
    ASSERT_FALSE(shown.empty());
    EXPECT_FLOAT_EQ(shown.front(), 2.5f);
    EXPECT_NE(std::find(shown.begin(), shown.end(), 5.0f), shown.end());
    EXPECT_NE(std::find(shown.begin(), shown.end(), 70.0f), shown.end());
    EXPECT_FLOAT_EQ(shown.back(), 99.99f);
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
    EXPECT_EQ(run.events(), kAllEvents);
    // Each event carries the state it was sent in and no error.
    EXPECT_EQ(run.eventProperty("Error_Subcode"), (Strings{"9", "9", "13", "14"}));
    EXPECT_EQ(run.eventProperty("Error_Code"), (Strings{"0", "0", "0", "0"}));
    EXPECT_EQ(run.eventProperty("Installed_MSP_Ver"), (Strings{"", "", "", ""}));
    const std::string sessionId = run.eventSessionId();
    ASSERT_EQ(sessionId.size(), 36u);
    const Strings arguments = run.installerArguments();
    EXPECT_NE(std::find(arguments.begin(), arguments.end(), "--sessionId=" + sessionId), arguments.end());
    EXPECT_NE(std::find(arguments.begin(), arguments.end(), "--userId=someone"), arguments.end());
    EXPECT_EQ(installedVersion(run), kSampleVersion);
    // One pass of the lock wait, one pause after the install.
    EXPECT_EQ(run.sleeps(), (std::vector<uint32_t>{500000, 2000000}));
}

TEST(WholeRunTest, InstalledAndCurrentLaunchesThePackager) {
    WholeRun run;
    run.makeProduct();
    run.preinstall(kSampleVersion);
    run.start({"--sessionId=given"});
    ASSERT_TRUE(run.finish());

    expectStates(run, {"MSP already present", "****Downloading MSP version info file****", "Launching Morvane Studio Packager",
                       "Closing MSP_ZOR workflow"});
    EXPECT_TRUE(run.shown("updateProgressTitle", kLaunchingTitle));
    EXPECT_TRUE(run.shown("updateProgressPercent", "99.5"));
    EXPECT_TRUE(run.events().empty());
    EXPECT_EQ(run.sleeps(), (std::vector<uint32_t>{500000, 2000000}));
    // The packager starts detached; wait for what it writes.
    const std::string launched = run.packagerFolder() + "/MSP/launched";
    ASSERT_TRUE(test_support::waitForFile(launched, WholeRun::kWait));
    // Started without arguments.
    EXPECT_EQ(fs::file_size(launched), 0u);
}

TEST(WholeRunTest, SecondRunLaunchesThePackagerTheFirstInstalled) {
    SKIP_WITHOUT_MOUNTING();
    std::shared_ptr<test_support::TemporaryEnvironment> environment;
    {
        WholeRun first;
        first.makeProduct();
        first.start();
        ASSERT_TRUE(first.finish());
        ASSERT_EQ(installedVersion(first), kSampleVersion);
        // Installing does not start it.
        EXPECT_FALSE(fs::exists(first.packagerFolder() + "/MSP/launched"));
        environment = first.sharedEnvironment();
    }
    // Same home and local root: the installed version equals the served one.
    WholeRun second(environment);
    second.makeProduct();
    second.start();
    ASSERT_TRUE(second.finish());
    // Both runs write one log; the second run's lines start at its own Starting line.
    Strings log = second.logLines();
    size_t start = 0;
    for (size_t at = 0; (at = test_support::findLine(log, "Starting MSP_ZOR workflow", at)) < log.size(); ++at) {
        start = at;
    }
    ASSERT_GT(start, 0u);
    log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(start));
    EXPECT_TRUE(test_support::linesInOrder(log, {"MSP already present", "****Downloading MSP version info file****",
                                                 "Launching Morvane Studio Packager"}))
        << test_support::joinLines(log);
    EXPECT_NE(log.back().find("Closing MSP_ZOR workflow"), std::string::npos) << log.back();
    EXPECT_EQ(test_support::findLine(log, "needs to be updated"), log.size());
    EXPECT_EQ(test_support::findLine(log, "Downloading Morvane Studio Packager Enterprise Edition"), log.size());
    EXPECT_TRUE(second.shown("updateProgressPercent", "99.5"));
    EXPECT_TRUE(second.events().empty());
    // The sample packager from the image writes "launched" in its MSP folder: no arguments.
    const std::string launched = second.packagerFolder() + "/MSP/launched";
    ASSERT_TRUE(test_support::waitForFile(launched, WholeRun::kWait));
    EXPECT_EQ(fs::file_size(launched), 0u);
}

TEST(WholeRunTest, InstalledAndOlderUpdates) {
    SKIP_WITHOUT_MOUNTING();
    WholeRun run;
    run.makeProduct();
    run.preinstall("1.0.0.0");
    run.start({"--sessionId=from-the-command-line"});
    ASSERT_TRUE(run.finish());

    expectStates(run, {"MSP already present", "Latest Morvane Studio Packager needs to be updated on the machine",
                       "Downloading Morvane Studio Packager Enterprise Edition",
                       "post download deployment lock check passed", "Closing MSP_ZOR workflow"});
    EXPECT_TRUE(run.shown("showProgressScreen", kUpdatingTitle));
    EXPECT_FALSE(run.shown("showProgressScreen", kDownloadingTitle));
    EXPECT_EQ(run.events(), kAllEvents);
    EXPECT_EQ(run.eventSessionId(), "from-the-command-line");
    EXPECT_EQ(run.eventProperty("Installed_MSP_Ver"), (Strings{"1.0.0.0", "1.0.0.0", "1.0.0.0", "1.0.0.0"}));
    EXPECT_EQ(run.eventProperty("New_MSP_Ver"), (Strings{kSampleVersion, kSampleVersion, kSampleVersion, kSampleVersion}));
    const Strings arguments = run.installerArguments();
    EXPECT_NE(std::find(arguments.begin(), arguments.end(), "--sessionId=from-the-command-line"), arguments.end());
    EXPECT_EQ(std::find_if(arguments.begin(), arguments.end(),
                           [](const std::string& a) { return a.rfind("--userId=", 0) == 0; }),
              arguments.end());
    EXPECT_EQ(installedVersion(run), kSampleVersion);
}

// A packager folder whose version cannot be read counts as not installed: it is installed again.
struct UnreadableVersionCase {
    const char* name;
    const char* versionFile;  // nullptr: no version file at all
};

const UnreadableVersionCase kUnreadableVersionCases[] = {
    {"version_file_missing", nullptr},
    {"version_file_not_xml", "this is not a version file"},
    {"version_file_without_the_value", "<?xml version=\"1.0\"?>\n<MSP><Macintosh></Macintosh></MSP>\n"},
};

class UnreadableVersionTest : public ::testing::TestWithParam<UnreadableVersionCase> {};

TEST_P(UnreadableVersionTest, PackagerIsInstalledAgain) {
    SKIP_WITHOUT_MOUNTING();
    const UnreadableVersionCase& c = GetParam();
    WholeRun run;
    run.makeProduct();
    run.preinstall("1.0.0.0");
    const std::string versionFile = run.packagerFolder() + "/MSP/version.xml";
    if (c.versionFile == nullptr) {
        fs::remove(versionFile);
    } else {
        std::ofstream(versionFile, std::ios::trunc) << c.versionFile;
    }
    run.start();
    ASSERT_TRUE(run.finish());

    expectStates(run, {"deployment lock check passed", "MSP not present so downloading is initiatied",
                       "Downloading Morvane Studio Packager Enterprise Edition",
                       "Extracting and installing Morvane Studio Packager", "Closing MSP_ZOR workflow"});
    EXPECT_EQ(test_support::findLine(run.logLines(), "MSP already present"), run.logLines().size());
    // Not installed as far as the run knows: the first install's titles, no version file fetched.
    EXPECT_TRUE(run.shown("showProgressScreen", kDownloadingTitle));
    EXPECT_FALSE(run.shown("showProgressScreen", kUpdatingTitle));
    EXPECT_EQ(test_support::findLine(run.logLines(), "****Downloading MSP version info file****"),
              run.logLines().size());
    EXPECT_EQ(run.events(), kAllEvents);
    EXPECT_EQ(run.eventProperty("Installed_MSP_Ver"), (Strings{"", "", "", ""}));
    EXPECT_EQ(installedVersion(run), kSampleVersion);
}

INSTANTIATE_TEST_SUITE_P(Folders, UnreadableVersionTest, ::testing::ValuesIn(kUnreadableVersionCases),
                         [](const ::testing::TestParamInfo<UnreadableVersionCase>& info) { return info.param.name; });

}  // namespace
