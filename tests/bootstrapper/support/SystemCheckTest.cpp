// The system check: each way the requirement file fails, the required text, and the comparison
// with the running version written under a temporary local root.
#include "bootstrapper/support/SystemCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>

#include "tests/support/LogFacadeHome.h"
#include "tests/support/RecordingLogTarget.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

using test_support::RecordingLogTarget;

std::string requirement(const std::string& major, const std::string& minor, const std::string& servicePack) {
    return "<SystemCheck><checks><os_version><major>" + major + "</major><minor>" + minor + "</minor><service_pack>" +
           servicePack + "</service_pack></os_version></checks></SystemCheck>";
}

void writeSystemVersion(const test_support::TemporaryEnvironment& environment, const std::string& version) {
    const std::string folder = environment.localRoot() + "/System/Library/CoreServices";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/SystemVersion.plist") << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                                      "<plist version=\"1.0\"><dict>"
                                                      "<key>ProductVersion</key><string>"
                                                   << version << "</string></dict></plist>";
}

TEST(SystemCheck, EachLoadFailureWarnsAndLeavesNoRequirement) {
    struct Case {
        const char* name;
        std::string xml;
        std::string warning;
    } cases[] = {
        {"not XML", "<SystemCheck><checks>", "Could not initialize the system check information file"},
        {"empty text", "", "Could not initialize the system check information file"},
        {"no os_version", "<SystemCheck><checks><cpu/></checks></SystemCheck>",
         "//SystemCheck/checks/os_version tag not specified in the system check information file"},
        {"os_version elsewhere", "<Other><checks><os_version><major>1</major></os_version></checks></Other>",
         "//SystemCheck/checks/os_version tag not specified in the system check information file"},
        {"no major",
         "<SystemCheck><checks><os_version><minor>7</minor><service_pack>0</service_pack></os_version></checks>"
         "</SystemCheck>",
         "//SystemCheck/checks/os_version/major tag not specified in the system check information file"},
        {"no minor",
         "<SystemCheck><checks><os_version><major>10</major><service_pack>0</service_pack></os_version></checks>"
         "</SystemCheck>",
         "//SystemCheck/checks/os_version/minor tag not specified in the system check information file"},
        {"no service_pack",
         "<SystemCheck><checks><os_version><major>10</major><minor>7</minor></os_version></checks></SystemCheck>",
         "//SystemCheck/checks/os_version/service_pack tag not specified in the system check information file"},
    };
    for (const auto& c : cases) {
        RecordingLogTarget log;
        SystemCheck check;
        EXPECT_FALSE(check.loadRequirements(c.xml, false)) << c.name;
        EXPECT_EQ(log.count(zezu::WARN, "SystemCheck", c.warning), 1) << c.name << "\n" << log.dump();
        EXPECT_EQ(log.lines().size(), 1u) << c.name << "\n" << log.dump();
        // The error screen then shows an empty required version.
        EXPECT_EQ(check.getRequiredVersionString(), "") << c.name;
    }
}

TEST(SystemCheck, LoadsFromAPathAndFailsOnAMissingFile) {
    test_support::TemporaryEnvironment environment;
    const std::string path = environment.base() + "/systemCheck.xml";
    std::ofstream(path) << "<?xml version=\"1.0\"?>\n<SystemCheck><checks><os_version><major>10</major><minor>9"
                           "</minor><service_pack>5</service_pack></os_version><ram>4</ram></checks></SystemCheck>";
    SystemCheck check;
    ASSERT_TRUE(check.loadRequirements(path, true));
    EXPECT_EQ(check.getRequiredVersionString(), "10.9.5");

    RecordingLogTarget log;
    SystemCheck missing;
    EXPECT_FALSE(missing.loadRequirements(environment.base() + "/absent.xml", true));
    EXPECT_EQ(log.count(zezu::WARN, "SystemCheck", "Could not initialize the system check information file"), 1);
    // A path is not taken for XML text, nor XML text for a path.
    EXPECT_FALSE(missing.loadRequirements(requirement("1", "2", "3"), true));
}

TEST(SystemCheck, RequiredVersionTextFromTheConvertedNumbers) {
    struct Case {
        const char* major;
        const char* minor;
        const char* servicePack;
        const char* text;
    } cases[] = {
        {"10", "07", "0", "10.7.0"},
        {"10", "7abc", " 3", "10.7.3"},  // leading digits count, white space before them is skipped
        {"x", "", "0", "0.0.0"},           // no digits count as 0
        {"10", "-1", "+2", "10.-1.2"},
        {"999999", "0", "0", "999999.0.0"},
    };
    for (const auto& c : cases) {
        SystemCheck check;
        ASSERT_TRUE(check.loadRequirements(requirement(c.major, c.minor, c.servicePack), false)) << c.text;
        EXPECT_EQ(check.getRequiredVersionString(), c.text);
    }
}

TEST(SystemCheck, ComparesTheRunningVersionWithTheRequirement) {
    struct Case {
        const char* system;
        const char* major;
        const char* minor;
        const char* servicePack;
        bool passes;
    } cases[] = {
        {"10.7.0", "10", "7", "0", true},     // equal is enough
        {"10.7", "10", "7", "0", true},       // a missing bug-fix number reads as 0
        {"10.6.8", "10", "7", "0", false},
        {"10.10.0", "10", "9", "5", true},    // 101000 above 100905
        {"10.9.5", "10", "10", "0", false},
        {"11.0.0", "10", "15", "7", true},
        {"12.0.0", "999999", "0", "0", false},
        // 429497 x 10000 is just past 2^32: in 32 bits it would wrap to a small value and pass.
        {"12.0.0", "429497", "0", "0", false},
        {"12.0.0", "214749", "0", "0", false},  // past 2^31: would wrap negative
        {"999999.0.0", "10", "7", "0", true},
        {"999999.0.1", "999999", "0", "1", true},
    };
    for (const auto& c : cases) {
        test_support::TemporaryEnvironment environment;
        writeSystemVersion(environment, c.system);
        SystemCheck check;
        ASSERT_TRUE(check.loadRequirements(requirement(c.major, c.minor, c.servicePack), false));
        EXPECT_EQ(check.checkOSVersion(), c.passes)
            << c.system << " against " << c.major << "." << c.minor << "." << c.servicePack;
    }
}

TEST(SystemCheck, LogsTheVersionsItCompares) {
    test_support::TemporaryEnvironment environment;
    writeSystemVersion(environment, "10.9.5");
    SystemCheck check;
    ASSERT_TRUE(check.loadRequirements(requirement("10", "10", "0"), false));
    RecordingLogTarget log;
    EXPECT_FALSE(check.checkOSVersion());
    EXPECT_EQ(log.count(zezu::INFO, "SystemCheck", "System OS Version - major = 10, minor = 9, bugFix = 5"), 1)
        << log.dump();
    EXPECT_EQ(log.count(zezu::DEBUG, "SystemCheck", "Comparing system version = 100905 with required version = 101000 "),
              1)
        << log.dump();
}

TEST(SystemCheck, UnreadableRunningVersionFailsWithTheMajorLine) {
    test_support::TemporaryEnvironment environment;
    writeSystemVersion(environment, "ten.nine");
    SystemCheck check;
    ASSERT_TRUE(check.loadRequirements(requirement("0", "0", "0"), false));
    RecordingLogTarget log;
    // Even a requirement every version meets fails when the version cannot be read.
    EXPECT_FALSE(check.checkOSVersion());
    EXPECT_EQ(log.count(zezu::FATAL, "SystemCheck", "Unable to retrieve OS major version"), 1) << log.dump();
    EXPECT_EQ(log.lines().size(), 1u) << log.dump();
}

TEST(SystemCheck, VersionValueSaturatesInsteadOfOverflowing) {
    const int64_t max = std::numeric_limits<int64_t>::max();
    const int64_t min = std::numeric_limits<int64_t>::min();
    EXPECT_EQ(SystemCheck::versionValue(10, 10, 0), 101000);
    EXPECT_EQ(SystemCheck::versionValue(999999, 0, 0), 9999990000);
    EXPECT_EQ(SystemCheck::versionValue(std::numeric_limits<long>::max(), 0, 0), max);
    EXPECT_EQ(SystemCheck::versionValue(std::numeric_limits<long>::min(), 0, 0), min);
    EXPECT_EQ(SystemCheck::versionValue(0, 0, std::numeric_limits<long>::max()), max);
}

}  // namespace
