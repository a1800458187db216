// The command-line table writer: every format from one UTF-8 source, refused input, fuzzing seeds.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "localization/ZStringDictionary.h"
#include "tests/support/TemporaryEnvironment.h"

using namespace quirra_private;

namespace {

class StringTableToolTest : public testing::Test {
protected:
    void SetUp() override {
        const char* binary = std::getenv("PROJECT_BINARY_DIR");
        ASSERT_NE(binary, nullptr);
        tool_ = std::string(binary) + "/tools/stringtable/stringtable";
        folder_ = test_support::makeTemporaryFolder("stringtable-tool");
    }
    void TearDown() override { test_support::removeTree(folder_); }

    int run(const std::string& arguments) {
        const int status = std::system((tool_ + " " + arguments + " 2>/dev/null").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string write(const std::string& name, const std::string& bytes) {
        const std::string path = folder_ + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    bool exists(const std::string& path) {
        struct stat info;
        return ::stat(path.c_str(), &info) == 0;
    }
    std::u16string lookupIn(const std::string& path, const char* keyString) {
        ZStringDictionary dictionary;
        std::ifstream in(path, std::ios::binary);
        dictionary.load(in);
        return std::u16string(dictionary.lookup(keyString, nullptr).view());
    }

    std::string tool_;
    std::string folder_;
};

}  // namespace

TEST_F(StringTableToolTest, EveryFormatLoadsWhatTheSourceSays) {
    const std::string source =
        write("source.txt", "$$$/ZOR/Title=Install\r\n\n/ZOR/Mark=Brand^R #{amp} Co\nKey=Say \"caf\xC3\xA9\"\n");
    for (const char* format : {"text", "1.0", "1.5", "2.0", "2.1", "2.1-big"}) {
        const std::string output = folder_ + "/table-" + format + ".zdct";
        ASSERT_EQ(run(std::string(format) + " " + source + " " + output), 0) << format;
        EXPECT_EQ(lookupIn(output, "$$$/ZOR/Title=x"), u"Install") << format;
        EXPECT_EQ(lookupIn(output, "$$$/ZOR/Mark=x"), u"Brand\u00ae & Co") << format;
        EXPECT_EQ(lookupIn(output, "Key=x"), u"Say \"caf\u00e9\"") << format;
    }
}

TEST_F(StringTableToolTest, RefusedInputWritesNoTable) {
    struct Case {
        const char* what;
        std::string format;
        std::string source;
        int status;
    };
    const std::vector<Case> cases = {
        {"invalid UTF-8", "2.1", "/ZOR/A=caf\xE9\n", 1},
        {"a key string whose split fails", "text", "$$Bad=x\n", 1},
        {"a key the text form cannot hold", "text", "/ZOR/\xC3\xA9=x\n", 1},
        {"an unknown format", "3.0", "/ZOR/A=x\n", 2},
    };
    for (const Case& c : cases) {
        const std::string source = write("bad.txt", c.source);
        const std::string output = folder_ + "/bad.zdct";
        EXPECT_EQ(run(c.format + " " + source + " " + output), c.status) << c.what;
        EXPECT_FALSE(exists(output)) << c.what;
        EXPECT_FALSE(exists(output + ".partial")) << c.what;
    }
    EXPECT_EQ(run("text " + folder_ + "/missing.txt " + folder_ + "/out.zdct"), 1);
    EXPECT_EQ(run(""), 2);
}

TEST_F(StringTableToolTest, SeedsCoverTheFormats) {
    ASSERT_EQ(run("seeds " + folder_), 0);
    for (const char* seed : {"text.zdct", "v1_0_utf16.zdct", "v1_0_utf8.zdct", "v1_0_system.zdct", "v1_5_utf16.zdct",
                             "v1_5_bom_little.zdct", "v1_5_utf8.zdct", "v2_0.zdct", "v2_1_little.zdct",
                             "v2_1_big_extra.zdct"}) {
        EXPECT_EQ(lookupIn(folder_ + "/" + seed, "$$$/ZOR/Title=x"), u"Install") << seed;
    }
    EXPECT_EQ(lookupIn(folder_ + "/short_8bit.zdct", "A=x"), u"B");
}
