// The logging core in one process: line format, filters, markers, rotation and streams.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "foundation/logging/LogFunctions.h"
#include "foundation/logging/Logger.h"
#include "foundation/logging/LoggingCore.h"
#include "tests/foundation/logging/LogTargetProbe.h"
#include "tests/foundation/logging/LogTestSupport.h"

namespace {

using log_test::fields;
using log_test::readLines;
using log_test::registerTarget;

class LoggingCoreTest : public ::testing::Test {
protected:
    log_test::LogEnvironment environment_;
};

TEST_F(LoggingCoreTest, LineCarriesTimeLevelContextsThreadIdAndMessage) {
    const std::string path = environment_.preparedLogPath("format.log");
    auto target = registerTarget("FMT", "format.log");
    ASSERT_TRUE(target);
    zezu::Logger logger("FMT", nullptr, "Download", "ZOR", "Downloader");
    logger.info("count=%d name=%s", 5, "disk");
    logger.warn("why", "plain %s", "warning");
    logger.log(zezu::ERROR, "one", "two", "%s", "both texts");
    target->setThreadIdFlag(false);
    logger.info("no thread id");

    const std::vector<std::string> lines = readLines(path);
    ASSERT_EQ(lines.size(), 4u);
    const std::string threadId = std::to_string(::gettid());
    const std::vector<std::vector<std::string>> expected = {
        {"[INFO]", "", "Download", "ZOR", "Downloader", "", "", threadId, "count=5 name=disk"},
        {"[WARN]", "", "Download", "ZOR", "Downloader", "why", "", threadId, "plain warning"},
        {"[ERROR]", "", "Download", "ZOR", "Downloader", "one", "two", threadId, "both texts"},
        {"[INFO]", "", "Download", "ZOR", "Downloader", "", "", "", "no thread id"},
    };
    const std::regex timeText(R"(.+ .+:\d{3})");
    for (size_t i = 0; i < lines.size(); ++i) {
        std::vector<std::string> pieces = fields(lines[i]);
        ASSERT_EQ(pieces.size(), 10u) << lines[i];
        EXPECT_TRUE(std::regex_match(pieces[0], timeText)) << pieces[0];
        pieces.erase(pieces.begin());
        EXPECT_EQ(pieces, expected[i]) << lines[i];
    }
}

TEST_F(LoggingCoreTest, LevelFilterAndLevelNames) {
    const std::string path = environment_.preparedLogPath("levels.log");
    auto target = registerTarget("LVL", "levels.log");
    ASSERT_TRUE(target);
    zezu::Logger logger("LVL");
    logger.trace("trace");
    logger.debug("debug");
    logger.info("info");
    logger.warn(nullptr, "warn");
    logger.error(nullptr, "error");
    logger.fatal(nullptr, "fatal");
    logger.log(static_cast<zezu::Log_Level>(35), nullptr, nullptr, "thirty-five");
    logger.log(static_cast<zezu::Log_Level>(29), nullptr, nullptr, "twenty-nine");
    logger.info(nullptr);

    std::vector<std::string> seen;
    for (const std::string& line : readLines(path)) {
        const std::vector<std::string> pieces = fields(line);
        seen.push_back(pieces[1] + " " + pieces.back());
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"[INFO] info", "[WARN] warn", "[ERROR] error",
                                              "[FATAL] fatal", "[ALL] thirty-five"}));

    target->setLogLevel(zezu::NONE);
    logger.fatal(nullptr, "silenced");
    EXPECT_EQ(readLines(path).size(), seen.size());
}

TEST_F(LoggingCoreTest, TokenBearingMessagesAreReplacedAndPrintedAsWarn) {
    const std::string path = environment_.preparedLogPath("token.log");
    auto target = registerTarget("TOK", "token.log", zezu::DEBUG);
    ASSERT_TRUE(target);
    struct Case {
        const char* message;
        bool replaced;
    };
    const Case cases[] = {
        {"header eyJhbGciOi only", false},
        {"Bearer eyJhbGciOi.eyJzdWIiOi.signature", true},
        {"eyJ.eyJ", true},
        {"no token at all", false},
        {"x.eyJ", false},  // the only ".eyJ" starts before the first "eyJ"
    };
    zezu::Logger logger("TOK");
    for (const Case& c : cases) logger.debug("%s", c.message);

    const std::vector<std::string> lines = readLines(path);
    ASSERT_EQ(lines.size(), std::size(cases));
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::vector<std::string> pieces = fields(lines[i]);
        if (cases[i].replaced) {
            EXPECT_EQ(pieces[1], "[WARN]") << cases[i].message;
            EXPECT_EQ(pieces.back(), "Found access/device token. Log skipped.");
        } else {
            EXPECT_EQ(pieces[1], "[DEBUG]") << cases[i].message;
            EXPECT_EQ(lines[i].substr(lines[i].size() - std::strlen(cases[i].message)),
                      cases[i].message);
        }
    }
}

TEST_F(LoggingCoreTest, MarkerFilesRaiseTheLevel) {
    struct Case {
        std::vector<const char*> markers;
        const char* fileName;  // nullptr: the default "ZEZU.log"
        zezu::Log_Level asked;
        zezu::Log_Level expected;
    };
    const Case cases[] = {
        {{}, "VexApp.log", zezu::FATAL, zezu::FATAL},
        {{"VexApp.trace"}, "VexApp.log", zezu::FATAL, zezu::TRACE},
        {{"VexApp.debug"}, "VexApp.log", zezu::TRACE, zezu::TRACE},
        {{"VexApp.debug"}, "VexApp.log", zezu::INFO, zezu::DEBUG},
        {{"VexApp.debug"}, "VexApp.log", static_cast<zezu::Log_Level>(21), zezu::DEBUG},
        {{"VexApp.debug"}, "VexApp.log", zezu::DEBUG, zezu::DEBUG},
        {{"zsu.trace"}, "VexApp.log", zezu::FATAL, zezu::TRACE},
        {{"zsu.debug"}, "VexApp.log", zezu::WARN, zezu::DEBUG},
        {{"zsu.debug"}, "VexApp.log", zezu::TRACE, zezu::TRACE},
        {{"Other.trace"}, "VexApp.log", zezu::WARN, zezu::WARN},
        {{"VexApp.debug", "zsu.trace"}, "VexApp.log", zezu::INFO, zezu::DEBUG},
        {{"ZEZU.trace"}, nullptr, zezu::FATAL, zezu::TRACE},
        {{"ZEZU.trace"}, "VexApp.log", zezu::FATAL, zezu::FATAL},
    };
    const std::string logs = environment_.logs();
    for (const Case& c : cases) {
        std::filesystem::create_directories(logs);
        for (const char* marker : c.markers) log_test::writeFile(logs + "/" + marker, "");
        log_test::ProbeTarget target("MRK");
        if (c.fileName) {
            ASSERT_TRUE(target.setLogFile(c.fileName, nullptr));
        }
        target.setLogLevel(c.asked);
        EXPECT_EQ(target.getLogLevel(), c.expected)
            << (c.markers.empty() ? "no marker" : c.markers[0]) << " asked " << c.asked;
        for (const char* marker : c.markers) std::filesystem::remove(logs + "/" + marker);
        std::filesystem::remove(logs + "/VexApp.log");
    }
}

// The copies rotation made of name ("name <time>.log") in the Logs folder.
std::vector<std::string> rotatedCopies(const std::string& logs, const std::string& stem) {
    std::vector<std::string> copies;
    for (const auto& entry : std::filesystem::directory_iterator(logs)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(stem + " ", 0) == 0) copies.push_back(entry.path().string());
    }
    return copies;
}

TEST_F(LoggingCoreTest, RotationHappensAtExactlyTenMebibytes) {
    for (const int64_t size : {int64_t{10485759}, int64_t{10485760}}) {
        SCOPED_TRACE(size);
        const std::string path = environment_.preparedLogPath("rotate.log");
        std::filesystem::resize_file(path, static_cast<uintmax_t>(size));
        auto target = registerTarget("ROT", "rotate.log");
        ASSERT_TRUE(target);
        zezu::Logger("ROT").info("after the check");
        const std::vector<std::string> copies = rotatedCopies(environment_.logs(), "rotate");
        if (size < zezu::LogTargetDefault::kRotationSize) {
            EXPECT_TRUE(copies.empty());
            EXPECT_GT(std::filesystem::file_size(path), static_cast<uintmax_t>(size));
        } else {
            ASSERT_EQ(copies.size(), 1u);
            EXPECT_EQ(std::filesystem::file_size(copies[0]), static_cast<uintmax_t>(size));
            const std::vector<std::string> lines = readLines(path);
            ASSERT_EQ(lines.size(), 1u) << "the log restarts empty after its copy";
            EXPECT_EQ(fields(lines[0]).back(), "after the check");
            std::filesystem::remove(copies[0]);
        }
        target.reset();
        std::filesystem::remove(path);
    }
}

TEST_F(LoggingCoreTest, HourlySizeCheckRotatesAtWriteTime) {
    const std::string path = environment_.preparedLogPath("hourly.log");
    auto target = registerTarget("HRL", "hourly.log");
    ASSERT_TRUE(target);
    zezu::Logger logger("HRL");
    logger.info("before");
    std::filesystem::resize_file(path, zezu::LogTargetDefault::kRotationSize);
    logger.info("no check yet");
    EXPECT_TRUE(rotatedCopies(environment_.logs(), "hourly").empty());

    target->pretendAnHourPassed();
    logger.info("after an hour");
    const std::vector<std::string> copies = rotatedCopies(environment_.logs(), "hourly");
    ASSERT_EQ(copies.size(), 1u);
    const std::vector<std::string> lines = readLines(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(fields(lines[0]).back(), "after an hour");
}

TEST_F(LoggingCoreTest, BadStreamIsReopenedBeforeTheNextLine) {
    const std::string path = environment_.preparedLogPath("bad.log");
    auto target = registerTarget("BAD", "bad.log");
    ASSERT_TRUE(target);
    zezu::Logger logger("BAD");
    logger.info("first");
    target->stream().setBad();
    logger.info("after a failed write");
    EXPECT_FALSE(target->WriteStream(nullptr));
    logger.info("after a NULL line");

    std::vector<std::string> messages;
    for (const std::string& line : readLines(path)) messages.push_back(fields(line).back());
    EXPECT_EQ(messages,
              (std::vector<std::string>{"first", "after a failed write", "after a NULL line"}));
}

TEST_F(LoggingCoreTest, EveryTargetOfAnIdentifierGetsItsOwnArgumentList) {
    const std::string first = environment_.preparedLogPath("first.log");
    const std::string second = environment_.preparedLogPath("second.log");
    auto a = registerTarget("TWO", "first.log");
    auto b = registerTarget("TWO", "second.log");
    ASSERT_TRUE(a && b);
    zezu::Logger("TWO").info("%s=%d %s", "alpha", 42, "omega");
    for (const std::string& path : {first, second}) {
        const std::vector<std::string> lines = readLines(path);
        ASSERT_EQ(lines.size(), 1u) << path;
        EXPECT_EQ(fields(lines[0]).back(), "alpha=42 omega") << path;
    }
}

TEST_F(LoggingCoreTest, RegistrationBookkeeping) {
    zezu::LoggingCore* core = zezu::LoggingCore::getInstance();
    EXPECT_FALSE(core->registerTarget(nullptr));
    EXPECT_FALSE(core->unregisterTarget(nullptr));

    const std::string path = environment_.preparedLogPath("twice.log");
    auto target = std::make_unique<log_test::ProbeTarget>("TWC");
    EXPECT_TRUE(core->unregisterTarget(target.get())) << "an unknown identifier is no error";
    ASSERT_TRUE(target->setLogFile("twice.log", nullptr));
    ASSERT_TRUE(core->registerTarget(target.get()));
    ASSERT_TRUE(core->registerTarget(target.get()));
    EXPECT_EQ(target->getRefCount(), 1);
    zezu::Logger logger("TWC");
    logger.info("once");
    EXPECT_EQ(readLines(path).size(), 1u) << "one list entry, one line";

    log_test::ProbeTarget stranger("TWC");
    EXPECT_FALSE(core->unregisterTarget(&stranger));

    EXPECT_TRUE(core->unregisterTarget(target.get()));
    EXPECT_EQ(target->getRefCount(), 0);
    EXPECT_FALSE(target->stream().isOpen());
    logger.info("after unregistering");
    EXPECT_EQ(readLines(path).size(), 1u);
}

TEST_F(LoggingCoreTest, FileNamesWithAFolderPartMakeTheTargetUnusable) {
    log_test::ProbeTarget target("UNU");
    EXPECT_FALSE(target.setLogFile("sub/file.log", nullptr));
    EXPECT_FALSE(zezu::LoggingCore::getInstance()->registerTarget(&target));
}

TEST_F(LoggingCoreTest, NewLogFilesAreWorldWritableAndSymlinksAreRefused) {
    const mode_t oldMask = ::umask(077);
    const std::string path = environment_.logPath("fresh.log");
    auto target = registerTarget("NEW", "fresh.log");
    ::umask(oldMask);
    ASSERT_TRUE(target);
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0666u);

    const std::string victim = environment_.home() + "/victim";
    log_test::writeFile(victim, "keep");
    ::chmod(victim.c_str(), 0600);
    const std::string planted = environment_.logs() + "/planted.log";
    ASSERT_EQ(::symlink(victim.c_str(), planted.c_str()), 0);
    log_test::ProbeTarget linked("LNK");
    EXPECT_FALSE(linked.setLogFile("planted.log", nullptr));
    EXPECT_FALSE(zezu::LoggingCore::getInstance()->registerTarget(&linked));
    EXPECT_EQ(log_test::readFile(victim), "keep");
    ASSERT_EQ(::stat(victim.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

}  // namespace
