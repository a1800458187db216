// Several processes appending to one log file through its lock while it rotates.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "foundation/logging/Logger.h"
#include "tests/foundation/logging/LogTargetProbe.h"
#include "tests/foundation/logging/LogTestSupport.h"
#include "tests/support/ChildProcesses.h"

namespace {

constexpr int kProcesses = 6;
constexpr int kLinesEach = 1500;
// Every line is long enough that the writers cross the rotation size together.
const std::string kPadding(150, 'p');

// Writes kLinesEach numbered lines, checking the size before every one so that whichever
// process crosses 10 MiB first rotates the file while the others keep writing.
int writeLines(int process) {
    auto target = log_test::registerTarget("MPR", "shared.log");
    if (!target) return 2;
    zezu::Logger logger("MPR");
    for (int line = 0; line < kLinesEach; ++line) {
        target->pretendAnHourPassed();
        logger.info("process=%d line=%d %s", process, line, kPadding.c_str());
    }
    return 0;
}

TEST(LoggingProcessesTest, WritersLoseAndTearNoLineAcrossARotation) {
    log_test::LogEnvironment environment;
    const std::string path = environment.preparedLogPath("shared.log");
    // Close enough to the rotation size that exactly one rotation happens mid-run.
    const std::string filler = "filler line that predates the run\n";
    const size_t fillerLines = (zezu::LogTargetDefault::kRotationSize - 400000) / filler.size();
    {
        std::string content;
        content.reserve(fillerLines * filler.size());
        for (size_t i = 0; i < fillerLines; ++i) content += filler;
        log_test::writeFile(path, content);
    }

    test_support::ChildGroup children(kProcesses, writeLines);
    ASSERT_TRUE(children.forked());
    for (const int status : children.wait()) EXPECT_EQ(status, 0);

    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(environment.logs())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("shared ", 0) == 0) files.push_back(entry.path().string());
    }
    ASSERT_EQ(files.size(), 1u) << "one rotation was expected";
    files.push_back(path);  // the copy holds the older lines

    const std::regex written(R"(process=(\d+) line=(\d+) (p+))");
    std::map<int, int> nextLine;
    size_t fillerSeen = 0;
    for (const std::string& file : files) {
        for (const std::string& line : log_test::readLines(file)) {
            if (line + "\n" == filler) {
                ++fillerSeen;
                continue;
            }
            const std::vector<std::string> pieces = log_test::fields(line);
            ASSERT_EQ(pieces.size(), 10u) << "torn line: " << line;
            std::smatch match;
            ASSERT_TRUE(std::regex_match(pieces.back(), match, written)) << "torn line: " << line;
            ASSERT_EQ(match[3].length(), static_cast<long>(kPadding.size()));
            const int process = std::stoi(match[1]);
            const int number = std::stoi(match[2]);
            ASSERT_EQ(number, nextLine[process]) << "lost or reordered line of " << process;
            ++nextLine[process];
        }
    }
    EXPECT_EQ(fillerSeen, fillerLines);
    ASSERT_EQ(nextLine.size(), static_cast<size_t>(kProcesses));
    for (const auto& [process, count] : nextLine) EXPECT_EQ(count, kLinesEach) << process;
}

}  // namespace
