// The OS version from the plist under the local root, else from /etc/os-release.
#include "platform/OperatingSystemVersion.h"

#include "tests/support/TemporaryEnvironment.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

TEST(OperatingSystemVersion, ParsesVersionTexts) {
    struct Case {
        const char* text;
        bool ok;
        long major, minor, patch;
    } cases[] = {
        {"12", true, 12, 0, 0},       {"10.15", true, 10, 15, 0}, {"10.15.7", true, 10, 15, 7},
        {"", false, 0, 0, 0},         {"12.", false, 0, 0, 0},    {"a.1", false, 0, 0, 0},
        {"1.2.3.4", false, 0, 0, 0},  {"12 ", false, 0, 0, 0},    {"-1", false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        auto version = platform::parseOperatingSystemVersion(c.text);
        ASSERT_EQ(version.has_value(), c.ok) << '"' << c.text << '"';
        if (!c.ok) continue;
        EXPECT_EQ(version->major, c.major) << c.text;
        EXPECT_EQ(version->minor, c.minor) << c.text;
        EXPECT_EQ(version->patch, c.patch) << c.text;
    }
}

TEST(OperatingSystemVersion, PlistUnderLocalRootWins) {
    test_support::TemporaryEnvironment env;
    const std::string folder = env.localRoot() + "/System/Library/CoreServices";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/SystemVersion.plist") << R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>ProductName</key><string>Desk OS</string>
  <key>ProductVersion</key><string>10.14.6</string>
</dict></plist>)";
    auto version = platform::operatingSystemVersion();
    ASSERT_TRUE(version);
    EXPECT_EQ(version->major, 10);
    EXPECT_EQ(version->minor, 14);
    EXPECT_EQ(version->patch, 6);
}

TEST(OperatingSystemVersion, WithoutPlistFallsBackToOsRelease) {
    test_support::TemporaryEnvironment env;
    if (!std::filesystem::exists("/etc/os-release")) GTEST_SKIP() << "no /etc/os-release";
    auto version = platform::operatingSystemVersion();
    ASSERT_TRUE(version);
    // Debian 12 reads as 12.0.0: never the kernel's version, never an "old" system.
    EXPECT_GE(version->major, 11);
}

}  // namespace
