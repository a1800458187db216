// Version comparison: four dotted integers compared numerically, the split and integer rules
// underneath, and the installed version read from its file.
#include "bootstrapper/support/MSPVersionComparator.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/LogFacadeHome.h"
#include "tests/support/RecordingLogTarget.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

using test_support::RecordingLogTarget;

constexpr const char* kFormatError =
    "The version string is not in proper format.Number of version substrings obtained is not equal to 4.";
constexpr const char* kIntegerError = "Error in obtaining integer from supplied string.";

TEST(MSPVersionComparator, ComparesFourNumbersFromTheFirst) {
    struct Case {
        const char* installed;
        const char* downloaded;
        bool newer;
        const char* error;  // the one ERROR line expected, or none
    } cases[] = {
        {"1.14.0.59", "1.14.0.60", true, nullptr},
        {"1.14.0.59", "1.14.0.59", false, nullptr},
        {"1.14.0.59", "1.13.9.99", false, nullptr},
        {"1.9.0.0", "1.10.0.0", true, nullptr},     // numeric, not textual, order
        {"2.0.0.0", "1.99.99.99", false, nullptr},  // the first difference decides
        {"1.2.3.4", "1.2.4.0", true, nullptr},
        {"1.14.0.59", "1.14.0.60b", true, nullptr},  // trailing letters: the digits count
        {"1.14.0.59", " 1.14.0.60", true, nullptr},
        {"1.0.0.0", "1.0.0.1.", true, nullptr},      // a trailing dot adds no part
        {"1.0.0.1", "1.0.0.-1", false, nullptr},
        {"", "1.0.0.0", false, kFormatError},  // nothing installed read: never an update
        {"1.0.0.0", "", false, kFormatError},
        {"1.0.0", "1.0.0.1", false, kFormatError},
        {"1.0.0.0", "1.0.0.0.1", false, kFormatError},
        {"1.0.0.0", "1..0.1", false, kIntegerError},  // four parts, one of them empty
        {"1..0.0", "2.0.0.0", false, kIntegerError},
        {"1.0.0.0", "1.0.0.x", false, kIntegerError},
        {"1.0.0.a", "1.0.0.b", false, kIntegerError},  // reported once, at the first failure
        {"1.0.0.0", "1.0.0.99999999999", false, kIntegerError},
        {"1.0.0.0", "1.0.0.2147483647", true, nullptr},
    };
    for (const auto& c : cases) {
        RecordingLogTarget log;
        MSPVersionComparator comparator;
        EXPECT_EQ(comparator.compare(c.installed, c.downloaded), c.newer) << c.installed << " / " << c.downloaded;
        const auto lines = log.lines();
        if (c.error) {
            ASSERT_EQ(lines.size(), 1u) << c.installed << " / " << c.downloaded << "\n" << log.dump();
            EXPECT_EQ(lines[0].level, zezu::ERROR);
            EXPECT_EQ(lines[0].component, "MSPVersionComparator");
            EXPECT_EQ(lines[0].message, c.error) << c.installed << " / " << c.downloaded;
        } else {
            EXPECT_TRUE(lines.empty()) << c.installed << " / " << c.downloaded << "\n" << log.dump();
        }
    }
}

TEST(MSPVersionComparator, SplitsAtAnyDelimiter) {
    struct Case {
        const char* text;
        const char* delimiters;
        std::vector<std::string> parts;
    } cases[] = {
        {"", ".", {}},
        {"1.2.3.4", ".", {"1", "2", "3", "4"}},
        {"1.2.", ".", {"1", "2"}},      // a trailing delimiter adds no empty part
        {"1..2", ".", {"1", "", "2"}},  // two in a row add one
        {".1", ".", {"", "1"}},
        {".", ".", {""}},
        {"..", ".", {"", ""}},
        {"abc", ".", {"abc"}},
        {"1.2-3", ".-", {"1", "2", "3"}},
        {"1.2", "", {"1.2"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> parts = {"left", "over"};
        EXPECT_TRUE(MSPVersionComparator::split(c.text, parts, c.delimiters));
        EXPECT_EQ(parts, c.parts) << '"' << c.text << '"';
    }
}

TEST(MSPVersionComparator, ReadsIntegersAsStreamExtractionDoes) {
    struct Case {
        const char* text;
        bool ok;
        int value;
    } cases[] = {
        {"42", true, 42},
        {" \t7", true, 7},
        {"+5", true, 5},
        {"-3", true, -3},
        {"12ab", true, 12},
        {"0x1F", true, 0},
        {"007", true, 7},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, -2147483647 - 1},
        {"", false, 0},
        {"   ", false, 0},
        {"ab", false, 0},
        {"-", false, 0},
        {"+-1", false, 0},
        {"2147483648", false, 0},
        {"99999999999", false, 0},
        {"-99999999999", false, 0},
    };
    for (const auto& c : cases) {
        int value = -77;
        EXPECT_EQ(MSPVersionComparator::toInteger(c.text, value), c.ok) << '"' << c.text << '"';
        EXPECT_EQ(value, c.ok ? c.value : -77) << '"' << c.text << '"';  // untouched on failure
    }
}

TEST(MSPVersionComparator, InstalledVersionComesFromTheFolderVersionFile) {
    test_support::TemporaryEnvironment environment;
    struct Case {
        const char* name;
        const char* content;  // none: no file
        bool ok;
        const char* version;
    } cases[] = {
        {"version", "<MSP><Macintosh><Version>1.14.0.59</Version></Macintosh><Windows><Version>9</Version></Windows></MSP>",
         true, "1.14.0.59"},
        {"first match", "<MSP><Macintosh><Version>1.0.0.1</Version><Version>2.0.0.0</Version></Macintosh></MSP>", true,
         "1.0.0.1"},
        {"no file", nullptr, false, ""},
        {"no value", "<MSP><Macintosh><Build>1</Build></Macintosh></MSP>", false, ""},
        {"other root", "<Product><Macintosh><Version>1.0.0.0</Version></Macintosh></Product>", false, ""},
        {"damaged", "<MSP><Macintosh><Version>1.0", false, ""},
    };
    for (const auto& c : cases) {
        const std::string folder = environment.base() + "/" + c.name;
        std::filesystem::create_directories(folder);
        if (c.content) std::ofstream(folder + "/version.xml") << c.content;
        RecordingLogTarget log;
        MSPVersionComparator comparator;
        std::string version = "unchanged";
        EXPECT_EQ(comparator.getInstalledVersion(folder, version), c.ok) << c.name;
        EXPECT_EQ(version, c.ok ? c.version : "unchanged") << c.name;
        EXPECT_EQ(log.count(zezu::ERROR, "MSPVersionComparator", "Failed to get MSP version installed in the machine."),
                  c.ok ? 0 : 1)
            << c.name << "\n" << log.dump();
    }
}

}  // namespace
