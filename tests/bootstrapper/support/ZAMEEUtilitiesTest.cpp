// The bootstrapper's launch of installers, its temporary folder and its OS version.
#include "bootstrapper/support/TestSeams.h"
#include "bootstrapper/support/ZAMEEUtilities.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "foundation/logging/LogFacade.h"
#include "platform/OperatingSystemVersion.h"
#include "tests/bootstrapper/support/UtilitiesTestSupport.h"

namespace {

namespace fs = std::filesystem;
using utilities_test::entry;

const std::string kProbe = PROCESS_PROBE;
constexpr const char* kComponent = "ZAMEEUtilities";

class ZAMEEUtilitiesTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The facade stays silent until a verbosity is set; DEBUG shows every line these write.
        Logger::getInstance()->setLogLevel(Logger::DEBUG, "UtilitiesTest", nullptr);
        bin_ = env_.base() + "/bin dir";
        fs::create_directories(bin_);
        fs::copy_file(kProbe, bin_ + "/probe");
    }
    void TearDown() override { ZAMEEUtilities::testing::setTempFolderBase(""); }

    std::vector<std::string> logged() const { return capture_.messagesOf(kComponent); }

    test_support::TemporaryEnvironment env_;
    test_support::RecordingLogTarget capture_{"ZSU"};
    std::string bin_;
};

TEST_F(ZAMEEUtilitiesTest, EmptyOrMissingPathGivesOneAndStartsNothing) {
    int status = -7;
    EXPECT_EQ(ZAMEEUtilities::launchProcess("", {"x"}, status), 1);
    EXPECT_EQ(status, -7);
    EXPECT_EQ(logged(),
              (std::vector<std::string>{entry(zezu::ERROR, "CreateProcess failed. PathToProcess does not exist.\n")}));

    // A missing file is answered without a line.
    const std::string missing = env_.base() + "/missing";
    EXPECT_EQ(ZAMEEUtilities::launchProcess(missing, {}, status), 1);
    EXPECT_EQ(ZAMEEUtilities::launchProcess(missing, {}, status, env_.base()), 1);
    EXPECT_EQ(status, -7);
    EXPECT_EQ(logged().size(), 1u);
}

TEST_F(ZAMEEUtilitiesTest, UnstartableProgramsGiveTwoAndLeaveTheStatusAlone) {
    const std::string plain = env_.base() + "/readme.txt";
    test_support::writeFile(plain, "not a program\n");
    chmod(plain.c_str(), 0644);
    const std::string marker = env_.base() + "/ran";
    const struct {
        const char* what;
        std::string path;
        std::string workingFolder;
        int reason;  // the errno whose text the failure is logged with
    } cases[] = {
        {"not executable", plain, "", EACCES},
        {"a folder", bin_, "", EACCES},
        {"a missing working folder", bin_ + "/probe", env_.base() + "/no such folder", ENOENT},
        {"a file as working folder", bin_ + "/probe", plain, ENOTDIR},
    };
    for (const auto& c : cases) {
        int status = -7;
        EXPECT_EQ(ZAMEEUtilities::launchProcess(c.path, {"record", marker}, status, c.workingFolder), 2) << c.what;
        EXPECT_EQ(status, -7) << c.what;
        EXPECT_FALSE(fs::exists(marker)) << c.what;
        const std::vector<std::string> lines = logged();
        ASSERT_FALSE(lines.empty()) << c.what;
        EXPECT_EQ(lines.back(),
                  entry(zezu::ERROR, "Launch Process failed for " + c.path + ": " + std::strerror(c.reason)))
            << c.what;
    }
}

TEST_F(ZAMEEUtilitiesTest, RunsWithTheArgumentsVerbatimAndLogsEachOne) {
    const std::string record = env_.base() + "/arguments";
    const std::vector<std::string> arguments = {"record", record, "--mode=silent", "two words \"quoted\" $HOME;$(id)",
                                                ""};
    int status = -7;
    ASSERT_EQ(ZAMEEUtilities::launchProcess(bin_ + "/probe", arguments, status), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(utilities_test::splitAt(test_support::readFile(record), '\0'),
              (std::vector<std::string>(arguments.begin() + 2, arguments.end())));
    EXPECT_EQ(logged(), (std::vector<std::string>{
                            entry(zezu::INFO, "Launch Process at path " + bin_ + "/probe"),
                            entry(zezu::INFO, "Launch Process With Arg 0 : record"),
                            entry(zezu::INFO, "Launch Process With Arg 1 : " + record),
                            entry(zezu::INFO, "Launch Process With Arg 2 : --mode=silent"),
                            entry(zezu::INFO, "Launch Process With Arg 3 : two words \"quoted\" $HOME;$(id)"),
                            entry(zezu::INFO, "Launch Process With Arg 4 : "),
                            entry(zezu::INFO, "Launch Process With Task "),
                        }));
}

TEST_F(ZAMEEUtilitiesTest, StatusIsTheExitCodeOrOneHundredTwentyEightPlusTheSignal) {
    const struct {
        std::vector<std::string> arguments;
        int status;
    } cases[] = {
        {{"exit", "3"}, 3},
        {{"exit", "10"}, 10},
        {{"signal", std::to_string(SIGKILL)}, 128 + SIGKILL},
        {{"signal", std::to_string(SIGTERM)}, 128 + SIGTERM},
    };
    for (const auto& c : cases) {
        int status = -7;
        EXPECT_EQ(ZAMEEUtilities::launchProcess(bin_ + "/probe", c.arguments, status), 0) << c.arguments[1];
        EXPECT_EQ(status, c.status) << c.arguments[1];
    }
}

TEST_F(ZAMEEUtilitiesTest, WorkingFolderComesFromThePathAsGiven) {
    const std::string bin = fs::canonical(bin_).string();
    const std::string other = env_.base() + "/other";
    fs::create_directories(other);
    const std::string report = env_.base() + "/where";
    const struct {
        const char* what;
        std::string runIn;  // this process's working folder for the call
        std::string path;
        std::string workingFolder;
        std::string expected;
    } cases[] = {
        {"absolute path", other, bin_ + "/probe", "", bin},
        {"relative path with a folder", env_.base(), "bin dir/probe", "", bin},
        {"relative path through ..", other, "../bin dir/probe", "", bin},
        {"bare name", bin_, "probe", "", bin},
        {"given folder", env_.base(), bin_ + "/probe", other, fs::canonical(other).string()},
        {"given folder, relative path", env_.base(), "bin dir/probe", other, fs::canonical(other).string()},
    };
    for (const auto& c : cases) {
        fs::remove(report);
        int status = -7;
        {
            utilities_test::ScopedWorkingFolder runIn(c.runIn);
            ASSERT_EQ(ZAMEEUtilities::launchProcess(c.path, {"where", report}, status, c.workingFolder), 0) << c.what;
        }
        EXPECT_EQ(status, 0) << c.what;
        // Standard output and error go to the null device.
        EXPECT_EQ(utilities_test::splitAt(test_support::readFile(report), '\n'),
                  (std::vector<std::string>{c.expected, "/dev/null", "/dev/null"}))
            << c.what;
    }
}

TEST_F(ZAMEEUtilitiesTest, MuchOutputOnBothStreamsNeverBlocksTheChild) {
    int status = -7;
    ASSERT_EQ(ZAMEEUtilities::launchProcess(bin_ + "/probe", {"bulk-both", "1024"}, status), 0);
    EXPECT_EQ(status, 0);
}

TEST_F(ZAMEEUtilitiesTest, TempFolderIsNewPrivateAndUnderTheBase) {
    ZAMEEUtilities::testing::setTempFolderBase(env_.base());
    std::string first;
    std::string second;
    ASSERT_TRUE(ZAMEEUtilities::createTempFolder(first));
    ASSERT_TRUE(ZAMEEUtilities::createTempFolder(second));
    EXPECT_NE(first, second);
    for (const std::string& path : {first, second}) {
        const std::string prefix = env_.base() + "/";
        ASSERT_EQ(path.compare(0, prefix.size(), prefix), 0) << path;
        EXPECT_EQ(path.size() - prefix.size(), 36u) << path;
        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << path;
        EXPECT_EQ(st.st_mode & 07777, 0700u) << path;
        EXPECT_TRUE(fs::is_empty(path)) << path;
    }
}

TEST_F(ZAMEEUtilitiesTest, TempFolderFailsWithoutMakingParentsAndLeavesThePathAlone) {
    const std::string file = env_.base() + "/a file";
    test_support::writeFile(file, "x");
    for (const std::string& base : {file, env_.base() + "/missing", env_.base() + "/missing/deeper"}) {
        ZAMEEUtilities::testing::setTempFolderBase(base);
        std::string path = "unchanged";
        EXPECT_FALSE(ZAMEEUtilities::createTempFolder(path)) << base;
        EXPECT_EQ(path, "unchanged") << base;
    }
    EXPECT_FALSE(fs::exists(env_.base() + "/missing"));
}

TEST_F(ZAMEEUtilitiesTest, TempFolderDefaultsToTmp) {
    ZAMEEUtilities::testing::setTempFolderBase(env_.base());
    ZAMEEUtilities::testing::setTempFolderBase("");
    std::string path;
    ASSERT_TRUE(ZAMEEUtilities::createTempFolder(path));
    EXPECT_EQ(path.rfind("/tmp/", 0), 0u) << path;
    EXPECT_EQ(path.size(), 5u + 36u) << path;
    EXPECT_TRUE(fs::is_directory(path));
    fs::remove(path);
}

void writeSystemVersion(const std::string& localRoot, const std::string& version) {
    const std::string folder = localRoot + "/System/Library/CoreServices";
    fs::create_directories(folder);
    test_support::writeFile(folder + "/SystemVersion.plist",
                            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                            "<key>ProductName</key><string>Test OS</string>"
                            "<key>ProductVersion</key><string>" +
                                version + "</string></dict></plist>\n");
}

TEST_F(ZAMEEUtilitiesTest, OSVersionFromTheSystemVersionFile) {
    const struct {
        const char* text;
        int version[3];
        const char* logged;
    } cases[] = {
        {"10.9", {10, 9, 0}, "10.9.0"},
        {"11.2.3", {11, 2, 3}, "11.2.3"},
        {"14", {14, 0, 0}, "14.0.0"},
        {"010.04.1", {10, 4, 1}, "10.4.1"},
    };
    for (const auto& c : cases) {
        writeSystemVersion(env_.localRoot(), c.text);
        int version[3] = {-1, -1, -1};
        const size_t before = logged().size();
        ASSERT_TRUE(ZAMEEUtilities::getOSVersion(version)) << c.text;
        EXPECT_EQ(std::vector<int>(version, version + 3), std::vector<int>(c.version, c.version + 3)) << c.text;
        const auto lines = logged();
        ASSERT_EQ(lines.size(), before + 1) << c.text;
        EXPECT_EQ(lines.back(), entry(zezu::DEBUG, std::string("The OS X version from the SystemVersion.plist file (") +
                                                       c.logged + ")."));
    }
}

TEST_F(ZAMEEUtilitiesTest, OSVersionFallsBackWithoutAWarningAndWarnsWhenNothingReadsAVersion) {
    // No file under the local root: the system's own version, and no warning.
    int version[3] = {-1, -1, -1};
    const auto system = platform::operatingSystemVersion();
    EXPECT_EQ(ZAMEEUtilities::getOSVersion(version), system.has_value());
    if (system) {
        EXPECT_EQ(std::vector<int>(version, version + 3),
                  (std::vector<int>{static_cast<int>(system->major), static_cast<int>(system->minor),
                                    static_cast<int>(system->patch)}));
        for (const auto& line : logged()) EXPECT_NE(line.rfind(std::to_string(zezu::WARN) + " ", 0), 0u) << line;
    }

    // A file whose version reads as nothing: false, the warning, the numbers untouched.
    writeSystemVersion(env_.localRoot(), "ten.nine");
    int untouched[3] = {-1, -1, -1};
    EXPECT_FALSE(ZAMEEUtilities::getOSVersion(untouched));
    EXPECT_EQ(std::vector<int>(untouched, untouched + 3), (std::vector<int>{-1, -1, -1}));
    ASSERT_FALSE(logged().empty());
    EXPECT_EQ(logged().back(), entry(zezu::WARN, "Failed to read the OS X version from the SystemVersion.plist file."));
}

}  // namespace
