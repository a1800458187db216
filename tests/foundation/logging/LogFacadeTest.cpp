// The log facade: silence until its verbosity is set, the two INFO lines, markers and limits.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "foundation/locks/SystemVSemaphoreSet.h"
#include "foundation/logging/LogFacade.h"
#include "tests/foundation/logging/LogTestSupport.h"
#include "tests/support/ChildProcesses.h"

namespace {

// Low byte no production key uses.
constexpr int kTestProjectId = 0x5C;

class LogFacadeTest : public ::testing::Test {
protected:
    void SetUp() override {
        keyPath_ = environment_.home() + "/facade.key";
        log_test::writeFile(keyPath_, "");
        foundation::SystemVSemaphoreSet::removeKey(keyPath_, kTestProjectId);
        logPath_ = environment_.logPath("VexApp.log");
    }
    void TearDown() override { foundation::SystemVSemaphoreSet::removeKey(keyPath_, kTestProjectId); }
    std::unique_ptr<Logger> makeFacade() { return std::make_unique<Logger>(keyPath_, kTestProjectId); }
    std::vector<std::vector<std::string>> lines() {
        std::vector<std::vector<std::string>> result;
        for (const std::string& line : log_test::readLines(logPath_)) {
            result.push_back(log_test::fields(line));
        }
        return result;
    }

    log_test::LogEnvironment environment_;
    std::string keyPath_;
    std::string logPath_;
};

TEST_F(LogFacadeTest, SilentUntilTheVerbosityIsSetThenTwoInfoLines) {
    auto facade = makeFacade();
    facade->logError("Store", "before any verbosity");
    EXPECT_TRUE(lines().empty());

    facade->setLogLevel(Logger::INFO, "VOR", nullptr);
    facade->logDebug("Store", "debug stays out");
    facade->logInfo("Store", "opened %s", "settings");
    const auto written = lines();
    ASSERT_EQ(written.size(), 3u);
    const std::string threadId = std::to_string(::gettid());
    EXPECT_EQ(
        std::vector<std::string>(written[0].begin() + 1, written[0].end()),
        (std::vector<std::string>{"[INFO]", "", "ZSU", "VOR", "VOR", "", "", threadId, "Build Version - 9.0.1.57"}));
    EXPECT_EQ(written[1].back(), "Logging Level verbosity Set  to 4");
    EXPECT_EQ(std::vector<std::string>(written[2].begin() + 1, written[2].end()),
              (std::vector<std::string>{"[INFO]", "", "ZSU", "VOR", "Store", "", "", threadId, "opened settings"}));
    EXPECT_EQ(facade->target()->getLogLevel(), zezu::INFO);
}

TEST_F(LogFacadeTest, VerbosityMappingMarkersAndOutOfRangeValues) {
    {
        std::filesystem::create_directories(environment_.logs());
        log_test::writeFile(environment_.logs() + "/zsu.trace", "");
        auto facade = makeFacade();
        facade->setLogLevel(Logger::INFO, "VOR", nullptr);
        EXPECT_EQ(facade->target()->getLogLevel(), zezu::TRACE);
        facade->logTrace("Store", "trace enabled by the marker");
        EXPECT_EQ(lines().back().back(), "trace enabled by the marker");
        std::filesystem::remove(environment_.logs() + "/zsu.trace");
    }
    std::filesystem::remove(logPath_);
    auto facade = makeFacade();
    facade->setLogLevel(0, "VOR", nullptr);
    EXPECT_EQ(facade->target()->getLogLevel(), zezu::INFO) << "0 leaves the level";
    EXPECT_EQ(lines().back().back(), "Logging Level verbosity Set  to 0");

    facade->setLogLevel(Logger::FATAL, nullptr, nullptr);
    EXPECT_EQ(facade->target()->getLogLevel(), zezu::FATAL);
    EXPECT_EQ(lines().size(), 2u) << "no name, no lines";
    facade->logInfo("Store", "flag still set, target filters it");
    facade->logFatal(nullptr, "a NULL component is empty");
    const auto written = lines();
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(written[2][5], "");
}

TEST_F(LogFacadeTest, MessagesAreCutTo1022Characters) {
    auto facade = makeFacade();
    facade->setLogLevel(Logger::INFO, nullptr, nullptr);
    const std::string longText(3000, 'm');
    facade->logWarn("Store", "%s", longText.c_str());
    facade->logWarn("Store", "%s", longText.substr(0, 1022).c_str());
    const auto written = lines();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0].back(), std::string(1022, 'm'));
    EXPECT_EQ(written[1].back(), std::string(1022, 'm'));
}

TEST_F(LogFacadeTest, ProcessesWritingThroughTheFacadeLoseAndTearNoLine) {
    constexpr int kProcesses = 5;
    constexpr int kLines = 800;
    test_support::ChildGroup children(kProcesses, [&](int process) {
        // Never destroyed, as the real facade.
        Logger* facade = new Logger(keyPath_, kTestProjectId);
        facade->setLogLevel(Logger::INFO, nullptr, nullptr);
        const std::string padding(300, 'q');
        for (int line = 0; line < kLines; ++line) {
            facade->logInfo("Writer", "process=%d line=%d %s", process, line, padding.c_str());
        }
        return 0;
    });
    ASSERT_TRUE(children.forked());
    for (const int status : children.wait()) EXPECT_EQ(status, 0);
    const std::regex written(R"(process=(\d+) line=(\d+) q{300})");
    std::map<int, int> next;
    for (const auto& pieces : lines()) {
        ASSERT_EQ(pieces.size(), 10u);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(pieces.back(), match, written)) << pieces.back();
        const int process = std::stoi(match[1]);
        ASSERT_EQ(std::stoi(match[2]), next[process]) << "lost line of " << process;
        ++next[process];
    }
    ASSERT_EQ(next.size(), static_cast<size_t>(kProcesses));
    for (const auto& [process, count] : next) EXPECT_EQ(count, kLines) << process;
    // Every user was counted with undo, so the counts went back when the writers ended.
    auto opened = foundation::SystemVSemaphoreSet::openOrCreate(keyPath_, kTestProjectId, {0, 1});
    ASSERT_TRUE(opened);
    if (!opened->created) {
        EXPECT_EQ(opened->set.value(0), 0);
        EXPECT_EQ(opened->set.value(1), 1);
    }
}

}  // namespace
