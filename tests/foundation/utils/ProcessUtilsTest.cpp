// LaunchProcess: exit statuses, signal deaths, unstartable paths, verbatim arguments, routing.
#include "foundation/utils/ProcessUtils.h"

#include "foundation/logging/Logger.h"
#include "foundation/utils/UtilsLogging.h"
#include "tests/support/TemporaryEnvironment.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using ZEZUUtils::ProcessUtils;
const std::string kProbe = PROCESS_PROBE;

struct Message {
    zezu::Log_Level level;
    std::string product, className, text3, text4, text;
};
std::vector<Message> messages;

void capture(zezu::Log_Level level, const char* product, const char* className, const char* text3,
             const char* text4, const char* format, va_list arguments) {
    char buffer[1024];
    std::vsnprintf(buffer, sizeof buffer, format, arguments);
    messages.push_back({level, product, className, text3, text4, buffer});
}

// Collects what the ZEZUUtils classes send to the process-wide log function.
class ProcessUtilsTest : public ::testing::Test {
protected:
    void SetUp() override {
        messages.clear();
        zezuUtilsLogMessageFnPtr = capture;
    }
    void TearDown() override { zezuUtilsLogMessageFnPtr = nullptr; }

    bool launch(const std::vector<std::string>& arguments, unsigned long& status, bool wait = true,
                bool front = false, const std::string& path = kProbe) {
        unsigned long pid = 0;
        return ProcessUtils::LaunchProcess(path, arguments, pid, wait, status, front, 0);
    }
};

TEST_F(ProcessUtilsTest, ExitStatusesAndSignalDeaths) {
    const struct {
        std::vector<std::string> arguments;
        unsigned long status;
    } cases[] = {
        {{"exit", "0"}, 0},
        {{"exit", "3"}, 3},
        {{"exit", "255"}, 255},
        {{"signal", std::to_string(SIGKILL)}, 128 + SIGKILL},
        {{"signal", std::to_string(SIGABRT)}, 128 + SIGABRT},
    };
    for (const auto& c : cases) {
        unsigned long status = 12345;
        ASSERT_TRUE(launch(c.arguments, status)) << c.arguments[1];
        EXPECT_EQ(status, c.status) << c.arguments[0] << " " << c.arguments[1];
    }
}

TEST_F(ProcessUtilsTest, MissingOrUnstartablePaths) {
    test_support::TemporaryEnvironment env;
    const std::string plain = env.base() + "/plain";
    std::ofstream(plain) << "not a program";
    chmod(plain.c_str(), 0644);
    unsigned long status = 12345;
    EXPECT_FALSE(launch({}, status, true, false, ""));
    EXPECT_FALSE(launch({}, status, true, false, env.base() + "/missing"));
    EXPECT_TRUE(messages.empty());  // nothing there: false without a word
    for (const std::string& path : {plain, env.base()}) {
        EXPECT_FALSE(launch({}, status, true, false, path)) << path;
        EXPECT_FALSE(launch({}, status, false, true, path)) << path;
    }
    EXPECT_EQ(status, 12345u);
}

TEST_F(ProcessUtilsTest, ArgumentsReachTheChildVerbatimAndAreLogged) {
    test_support::TemporaryEnvironment env;
    const std::string record = env.base() + "/record";
    const std::string marker = env.base() + "/ran";
    const std::vector<std::string> given = {"--sessionId=id with spaces", "\"quoted\"", "'single'",
                                            "$(touch " + marker + ")", "`touch " + marker + "`", "a;b|c&d", ""};
    std::vector<std::string> arguments = {"record", record};
    arguments.insert(arguments.end(), given.begin(), given.end());
    unsigned long status = 12345;
    ASSERT_TRUE(launch(arguments, status));
    EXPECT_EQ(status, 0u);
    std::ifstream in(record, std::ios::binary);
    std::vector<std::string> received;
    for (std::string item; std::getline(in, item, '\0');) received.push_back(item);
    EXPECT_EQ(received, given);
    EXPECT_FALSE(std::filesystem::exists(marker));

    ASSERT_GE(messages.size(), 2u + arguments.size());
    EXPECT_EQ(messages[0].level, zezu::DEBUG);
    EXPECT_EQ(messages[0].product, "ZEZUUtils");
    EXPECT_EQ(messages[0].className, "ProcessUtils");
    EXPECT_EQ(messages[0].text3, "");
    EXPECT_EQ(messages[0].text, "Launch Process at path " + kProbe);
    EXPECT_EQ(messages[3].text, "Launch Process With Arg 2 : " + given[0]);
}

TEST_F(ProcessUtilsTest, BringToFrontStartsDetachedAndMarksNoExitStatus) {
    test_support::TemporaryEnvironment env;
    const std::string record = env.base() + "/record";
    unsigned long status = 12345;
    ASSERT_TRUE(launch({"record", record, "x"}, status, true, true));
    EXPECT_EQ(status, static_cast<unsigned long>(-1));
    status = 12345;
    ASSERT_TRUE(launch({"exit", "0"}, status, false, true));
    EXPECT_EQ(status, 12345u);
}

TEST_F(ProcessUtilsTest, GivenLoggerComesBeforeTheProcessWideFunction) {
    zezu::Logger logger("NO-SUCH-TARGET");
    unsigned long pid = 0, status = 0;
    ASSERT_TRUE(ProcessUtils::LaunchProcess(kProbe, {"exit", "0"}, pid, true, status, false, 0, &logger));
    EXPECT_TRUE(messages.empty());
    ZEZUUtils::logMessage(nullptr, zezu::WARN, "FileUtils", "n=%d s=%s", 7, "x");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].level, zezu::WARN);
    EXPECT_EQ(messages[0].className, "FileUtils");
    EXPECT_EQ(messages[0].text, "n=7 s=x");
    zezuUtilsLogMessageFnPtr = nullptr;
    ZEZUUtils::logMessage(nullptr, zezu::WARN, "FileUtils", "dropped");  // nowhere to go: no crash
    EXPECT_EQ(messages.size(), 1u);
}

}  // namespace
