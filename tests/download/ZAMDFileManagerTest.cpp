// The meta file: magic, fixed-width progress records, the header block and its parser.
#include "download/ZAMDFileManager.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "download/FileSystemUtils.h"
#include "tests/support/FileContents.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

using test_support::readFile;

class ZAMDFileManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = test_support::makeTemporaryFolder("engine_meta");
        path_ = folder_ + "/f.bin.zamdownload.zamd";
    }
    void TearDown() override { test_support::removeTree(folder_); }
    void writeRaw(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }
    std::string folder_;
    std::string path_;
};

const std::map<std::string, std::string> kHeaders = {
    {"DOWNLOAD_START_ADDRESS", "0"},        {"ETAG", "\"abc\""},         {"FILE_SIZE", "5000000"},
    {"NO_Of_BYTES_TO_DOWNLOAD", "5000000"}, {"SEGMENT_SIZE", "2097152"}, {"SERVER_PATH", "http://h/f.bin"},
};

TEST_F(ZAMDFileManagerTest, AFreshFileHoldsMagicRecordsAndHeadersWhereTheyBelong) {
    writeRaw("");
    ZAMDFileManager meta;
    ASSERT_TRUE(meta.initialize(path_));
    ASSERT_TRUE(meta.writeZAMDMetaInfoString());
    ASSERT_TRUE(meta.writeHeaders(kHeaders, 5000000 / 2097152));
    EXPECT_TRUE(meta.isValid());

    const std::string bytes = readFile(path_);
    EXPECT_EQ(bytes.substr(0, 19), "Zarvo_Download_001\n");
    EXPECT_EQ(bytes.substr(19, 81 - 19), std::string(81 - 19, '\0'));  // records not written yet
    EXPECT_EQ(bytes.substr(81, 9), "<headers>");
    EXPECT_EQ(bytes.substr(90, 40), "@START@DOWNLOAD_START_ADDRESS{|}0@END@@S");
    EXPECT_EQ(bytes.substr(bytes.size() - 15), "@END@</headers>");

    uint32_t value = 0;
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(meta.readSegmentProgress(i, value));
        EXPECT_EQ(value, 0u) << i;  // record 0 still holds only the magic's line feed
    }
    std::map<std::string, std::string> back;
    ASSERT_TRUE(meta.readHeaders(back));
    EXPECT_EQ(back, kHeaders);
}

TEST_F(ZAMDFileManagerTest, RecordsAreTwentyWideRightAlignedAndLeaveTheMagicIntact) {
    writeRaw("");
    ZAMDFileManager meta;
    ASSERT_TRUE(meta.initialize(path_));
    ASSERT_TRUE(meta.writeZAMDMetaInfoString());
    ASSERT_TRUE(meta.writeSegmentProgress(0, 262144));
    ASSERT_TRUE(meta.writeSegmentProgress(2, 4294967295u));
    const std::string bytes = readFile(path_);
    EXPECT_EQ(bytes.substr(0, 18), "Zarvo_Download_001");
    EXPECT_EQ(bytes.substr(18, 21), std::string(14, ' ') + "262144\n");
    EXPECT_EQ(bytes.substr(60, 21), std::string(10, ' ') + "4294967295\n");
    uint32_t value = 0;
    ASSERT_TRUE(meta.readSegmentProgress(0, value));
    EXPECT_EQ(value, 262144u);
    ASSERT_TRUE(meta.readSegmentProgress(2, value));
    EXPECT_EQ(value, 4294967295u);
    value = 0;
    ASSERT_TRUE(meta.readSegmentProgress(1, value));  // never written: zero bytes
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(meta.isValid());
}

TEST_F(ZAMDFileManagerTest, OnlyTheWritersOwnRecordFormIsRead) {
    struct Case {
        std::string record;  // the 21 bytes of record 1
        bool read;
        uint32_t value;  // what the read gives; 77 is the caller's value left as it was
    };
    const std::string pad(14, ' ');
    const Case cases[] = {
        {pad + "262144\n", true, 262144},
        {std::string(20, ' ') + "\n", false, 77},            // no digit
        {pad + "26214&\n", false, 77},                       // digits then another byte
        {pad + "262144&", false, 77},                        // the line feed damaged
        {"262144" + pad + "\n", false, 77},                  // left-aligned
        {std::string(13, ' ') + "0262144\n", false, 77},     // a leading zero the writer never prints
        {std::string(10, ' ') + "4294967296\n", false, 77},  // beyond 32 bits
        {std::string(14, ' ') + "-26214\n", false, 77},
        {std::string("\0", 1) + std::string(13, ' ') + "262144\n", false, 77},  // torn: first byte lost
        {std::string(21, '\0'), true, 0},                                       // never written
        {std::string("\n") + std::string(20, '\0'), false, 77},  // the magic's line feed belongs to record 0 only
    };
    for (const Case& c : cases) {
        writeRaw("Zarvo_Download_001\n" + std::string(20, '\0') + c.record + "<headers></headers>");
        ZAMDFileManager meta;
        ASSERT_TRUE(meta.initialize(path_));
        uint32_t value = 77;
        EXPECT_EQ(meta.readSegmentProgress(1, value), c.read) << testing::PrintToString(c.record);
        EXPECT_EQ(value, c.value) << testing::PrintToString(c.record);
    }
}

TEST_F(ZAMDFileManagerTest, AFileFarLongerThanAnyMetaFileIsNotReadIntoMemory) {
    writeRaw("Zarvo_Download_001\n<headers>@START@A{|}1@END@</headers>");
    std::filesystem::resize_file(path_, ZAMDFileManager::kMaximumFileLength + 1);  // sparse: nothing is written
    ZAMDFileManager meta;
    ASSERT_TRUE(meta.initialize(path_));
    EXPECT_TRUE(meta.isValid());
    std::map<std::string, std::string> headers;
    EXPECT_FALSE(meta.readHeaders(headers));
    EXPECT_TRUE(headers.empty());
}

TEST_F(ZAMDFileManagerTest, WrongOrShortMagicIsNotValid) {
    for (const std::string& content :
         {std::string("Zarvo_Download_002\n") + std::string(40, '\0'), std::string("Zarvo_Download_"), std::string(""),
          std::string(" Zarvo_Download_001") + std::string(40, ' ')}) {
        writeRaw(content);
        ZAMDFileManager meta;
        ASSERT_TRUE(meta.initialize(path_));
        EXPECT_FALSE(meta.isValid()) << content;
    }
    ZAMDFileManager closed;
    EXPECT_FALSE(closed.isValid());
}

TEST_F(ZAMDFileManagerTest, HeaderBlockParsing) {
    struct Case {
        const char* text;
        bool ok;
        std::map<std::string, std::string> entries;
    };
    const Case cases[] = {
        {"<headers>@START@A{|}1@END@", false, {}},  // no end tag
        {"</headers><headers>", false, {}},         // end tag first
        {"<headers></headers>", true, {}},
        {"junk<headers>@START@A{|}1@END@@START@B{|}x{|}y@END@</headers>", true, {{"A", "1"}, {"B", "x{|}y"}}},
        {"<headers>@START@A{|}1@END@@START@A{|}2@END@</headers>", true, {{"A", "2"}}},  // last wins
        {"<headers>@START@noseparator@END@@START@C{|}3@END@</headers>", true, {{"C", "3"}}},
        {"<headers>@END@@START@A{|}1@END@</headers>", true, {}},  // end mark before start ends it
        {"<headers>@START@A{|}@END@</headers>", true, {{"A", ""}}},
    };
    for (const Case& c : cases) {
        std::map<std::string, std::string> parsed;
        EXPECT_EQ(ZAMDFileManager::parseHeaderString(c.text, parsed), c.ok) << c.text;
        EXPECT_EQ(parsed, c.entries) << c.text;
    }
    const std::string built = ZAMDFileManager::buildHeaderString({{"SERVER_PATH", "p"}, {"SEGMENT_SIZE", "1"}});
    EXPECT_EQ(built, "<headers>@START@SEGMENT_SIZE{|}1@END@@START@SERVER_PATH{|}p@END@</headers>");
}

TEST_F(ZAMDFileManagerTest, AHeaderBlockOfMillionsOfEntriesIsReadInOnePass) {
    // Copying the rest of the block after each entry took hours on this block.
    std::string text = "<headers>";
    for (int i = 0; i < 2000000; ++i) text += "@START@@END@";
    text += "@START@A{|}1@END@</headers>";
    std::map<std::string, std::string> parsed;
    EXPECT_TRUE(ZAMDFileManager::parseHeaderString(text, parsed));
    EXPECT_EQ(parsed, (std::map<std::string, std::string>{{"A", "1"}}));
}

TEST_F(ZAMDFileManagerTest, ResetLeavesAnEmptyOpenFileReadyForANewStart) {
    writeRaw("Zarvo_Download_001\n" + std::string(100, 'q'));
    ZAMDFileManager meta;
    ASSERT_TRUE(meta.initialize(path_));
    ASSERT_TRUE(meta.reset());
    EXPECT_TRUE(meta.isInitialized());
    EXPECT_EQ(readFile(path_), "");
    EXPECT_FALSE(meta.isValid());
    ASSERT_TRUE(meta.writeZAMDMetaInfoString());
    ASSERT_TRUE(meta.writeHeaders(kHeaders, 0));
    EXPECT_TRUE(meta.isValid());
    std::map<std::string, std::string> back;
    ASSERT_TRUE(meta.readHeaders(back));
    EXPECT_EQ(back, kHeaders);
}

TEST_F(ZAMDFileManagerTest, DeleteAndMissingFiles) {
    ZAMDFileManager meta;
    EXPECT_FALSE(meta.initialize(folder_ + "/absent.zamd"));
    ErrorRecord error;
    meta.getLastError(error);
    EXPECT_EQ(error.errorType, 1);
    EXPECT_FALSE(meta.writeSegmentProgress(0, 1));
    uint32_t value = 0;
    EXPECT_FALSE(meta.readSegmentProgress(0, value));

    writeRaw("Zarvo_Download_001\n");
    ZAMDFileManager present;
    ASSERT_TRUE(present.initialize(path_));
    EXPECT_TRUE(present.deleteFile());
    EXPECT_FALSE(FileSystemUtils::fileExists(path_));
    EXPECT_TRUE(present.deleteFile());  // already gone
}

}  // namespace
