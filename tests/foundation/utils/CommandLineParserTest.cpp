// Command-line parsing: --key=value pairs, ignored and refused arguments and their reports.
#include "foundation/utils/CommandLineParser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "foundation/utils/UtilsLogging.h"

using ZEZUUtils::CommandLineParser;

namespace {

std::vector<std::string> errors;

void captureErrors(zezu::Log_Level level, const char*, const char*, const char*, const char*, const char* format,
                   va_list arguments) {
    if (level != zezu::ERROR)
        return;
    char line[512];
    std::vsnprintf(line, sizeof line, format, arguments);
    errors.push_back(line);
}

// Captures the parser's ERROR lines through the process-wide hook for one test.
class CommandLineParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        errors.clear();
        zezuUtilsLogMessageFnPtr = &captureErrors;
    }
    void TearDown() override { zezuUtilsLogMessageFnPtr = nullptr; }

    bool parse(std::vector<std::string> arguments) {
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        return parser.parseCommandLineArguments(static_cast<int>(arguments.size()), argv.data());
    }

    CommandLineParser parser;
};

}  // namespace

TEST_F(CommandLineParserTest, EachArgumentIsStoredOrReported) {
    struct Case {
        const char* argument;
        const char* key;    // looked up afterwards
        const char* value;  // nullptr: not stored
        const char* error;  // nullptr: no error line
    } cases[] = {
        {"--sessionId=abc=def", "sessionId", "abc=def", nullptr},
        {"--userId=Some User ", "userId", "Some User ", nullptr},
        {"--Quoted=\"x\"", "Quoted", "\"x\"", nullptr},
        {"--sessionId=", "sessionId", nullptr, "The argument key or value is empty for --sessionId="},
        {"--=x", "", nullptr, "The argument key or value is empty for --=x"},
        {"-userId=a", "userId", nullptr, "The \"--\" is not there for the argument. Every argument should have \"--\""},
        {"userId=a", "userId", nullptr, "The \"--\" is not there for the argument. Every argument should have \"--\""},
        {"--userId", "userId", nullptr, "The argument does not contain any \"=\""},
        {"-psn_0_12345", "-psn_0_12345", nullptr, nullptr},
        {"-psn=1", "-psn", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument);
        CommandLineParser fresh;
        errors.clear();
        std::string argv0 = "/Applications/App.app/Contents/MacOS/app";
        std::string argument = c.argument;
        char* argv[] = {argv0.data(), argument.data(), nullptr};
        EXPECT_TRUE(fresh.parseCommandLineArguments(2, argv));
        std::string value = "unchanged";
        EXPECT_EQ(fresh.getValueForArgument(c.key, value), c.value != nullptr);
        EXPECT_EQ(value, c.value ? c.value : "unchanged");
        if (c.error)
            EXPECT_EQ(errors, std::vector<std::string>{c.error});
        else
            EXPECT_TRUE(errors.empty());
    }
}

TEST_F(CommandLineParserTest, RepeatedKeysKeepTheFirstValueAcrossRuns) {
    EXPECT_TRUE(parse({"app", "--userId=a", "--userId=b", "--sessionId=s1"}));
    EXPECT_EQ(errors, std::vector<std::string>{"The argument userId already sepecified"});
    EXPECT_TRUE(parse({"app", "--sessionId=s2", "--extra=1"}));
    std::string value;
    EXPECT_TRUE(parser.getValueForArgument("userId", value));
    EXPECT_EQ(value, "a");
    EXPECT_TRUE(parser.getValueForArgument("sessionId", value));
    EXPECT_EQ(value, "s1");
    EXPECT_TRUE(parser.getValueForArgument("extra", value));
    EXPECT_EQ(value, "1");
    EXPECT_FALSE(parser.getValueForArgument("UserId", value));  // exact, case-sensitive
}

TEST_F(CommandLineParserTest, ProgramPathAloneOrNothing) {
    EXPECT_TRUE(parse({"--sessionId=not-parsed"}));  // argv[0] is the program, never a pair
    std::string value;
    EXPECT_FALSE(parser.getValueForArgument("sessionId", value));
    EXPECT_TRUE(errors.empty());
    EXPECT_FALSE(parse({}));
    EXPECT_EQ(errors.size(), 1u);
}
