// The validators: the reader's rules, segment checks, the writer and the factory.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bootstrapper/manifest/MD5Validator.h"
#include "bootstrapper/manifest/ValidatorFactory.h"
#include "foundation/utils/XMLParser.h"
#include "platform/ProcessLauncher.h"
#include "tests/support/RecordingLogTarget.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

// MD5 of "abc" and of nothing, from RFC 1321's test suite.
const std::string kAbcDigest = "900150983cd24fb0d6963f7d28e17f72";
const std::string kEmptyDigest = "d41d8cd98f00b204e9800998ecf8427e";

struct Segment {
    std::string number;  // the attribute's text; "(none)" for no attribute
    std::string signature;
};

std::string validationText(const std::string& segmentSize, const std::string& lastSegmentSize,
                           const std::string& segmentCount, const std::vector<Segment>& segments,
                           const std::string& algorithm = "TYPE1") {
    std::ostringstream out;
    out << "<validationInfo>";
    if (segmentSize != "(none)") out << "<segmentSize>" << segmentSize << "</segmentSize>";
    out << "<version>1.0</version><algorithm>" << algorithm << "</algorithm>";
    if (segmentCount != "(none)") out << "<segmentCount>" << segmentCount << "</segmentCount>";
    if (lastSegmentSize != "(none)") out << "<lastSegmentSize>" << lastSegmentSize << "</lastSegmentSize>";
    out << "<segments>";
    for (const Segment& segment : segments) {
        out << "<segment";
        if (segment.number != "(none)") out << " segmentNumber=\"" << segment.number << "\"";
        if (segment.signature.empty())
            out << "/>";
        else
            out << ">" << segment.signature << "</segment>";
    }
    out << "</segments></validationInfo>";
    return out.str();
}

std::vector<Segment> numbered(std::initializer_list<const char*> numbers) {
    std::vector<Segment> segments;
    for (const char* number : numbers) segments.push_back({number, kAbcDigest});
    return segments;
}

class ValidatorTest : public testing::Test {
protected:
    std::string write(const std::string& name, const std::string& text) {
        const std::string path = environment.base() + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    test_support::TemporaryEnvironment environment;
    test_support::RecordingLogTarget log;
};

TEST_F(ValidatorTest, ReaderRulesTable) {
    const std::string kMismatch = "Segment count mismatch in the validation information";
    const struct {
        const char* name;
        std::string text;
        const char* warning;  // nullptr: accepted
        uint64_t totalSize;
    } cases[] = {
        {"three segments", validationText("65536", "10", "3", numbered({"1", "2", "3"})), nullptr, 2 * 65536 + 10},
        {"document order does not matter", validationText("65536", "10", "3", numbered({"3", "1", "2"})), nullptr,
         2 * 65536 + 10},
        {"2 MiB segments", validationText("2097152", "10", "3", numbered({"1", "2", "3"})), nullptr, 4194314},
        {"last equal to segment size", validationText("65536", "65536", "1", numbered({"1"})), nullptr, 65536},
        {"plus sign and blanks", validationText("+2097152", " 7", "  1", numbered({" +1"})), nullptr, 7},
        {"not parsable", "<validationInfo>", "Signature file could not be initialized", 0},
        {"no segment size", validationText("(none)", "10", "1", numbered({"1"})), "Segment size not specified", 0},
        {"segment size 0", validationText("0", "10", "1", numbered({"1"})), "Invalid segment size (0) specified", 0},
        {"segment size text", validationText("abc", "10", "1", numbered({"1"})), "Invalid segment size (abc)", 0},
        {"negative segment size", validationText("-5", "1", "1", numbered({"1"})), "Invalid segment size (-5)", 0},
        {"segment size beyond 32 bits", validationText("4294967296", "1", "1", numbered({"1"})),
         "Invalid segment size (4294967296)", 0},
        {"no last segment size", validationText("65536", "(none)", "1", numbered({"1"})),
         "Last segment size not specified", 0},
        {"last segment size 0", validationText("65536", "0", "1", numbered({"1"})),
         "Invalid Last segment size (0) specified", 0},
        {"last one above segment size", validationText("65536", "65537", "1", numbered({"1"})),
         "Last segment size is more than segment size", 0},
        {"no segment count", validationText("65536", "10", "(none)", numbered({"1"})), "Segment count not specified",
         0},
        {"segment count 0", validationText("65536", "10", "0", {}), "Segment count is invalid", 0},
        {"negative segment count", validationText("65536", "10", "-1", numbered({"1"})), "Segment count is invalid", 0},
        {"count 3, two segments", validationText("65536", "10", "3", numbered({"1", "2"})), kMismatch.c_str(), 0},
        {"no segment at all", validationText("65536", "10", "1", {}), kMismatch.c_str(), 0},
        {"duplicate number", validationText("65536", "10", "3", numbered({"1", "1", "3"})), kMismatch.c_str(), 0},
        {"hole keeping count and total", validationText("65536", "10", "3", numbered({"1", "2", "5"})),
         kMismatch.c_str(), 0},
        {"number 0", validationText("65536", "10", "2", numbered({"0", "1"})), kMismatch.c_str(), 0},
        {"number -1", validationText("65536", "10", "2", numbered({"1", "-1"})), kMismatch.c_str(), 0},
        {"number beyond 32 bits", validationText("65536", "10", "2", numbered({"1", "4294967297"})), kMismatch.c_str(),
         0},
        {"number not a number", validationText("65536", "10", "2", numbered({"1", "two"})), kMismatch.c_str(), 0},
        {"no number", validationText("65536", "10", "2", numbered({"1", "(none)"})), kMismatch.c_str(), 0},
        {"empty segment", validationText("65536", "10", "2", {{"1", kAbcDigest}, {"2", ""}}), kMismatch.c_str(), 0},
        // A signature is the segment's content as XML text: nothing there may need escaping on the way back.
        {"blanks around a signature", validationText("65536", "10", "1", {{"1", " " + kAbcDigest + " "}}), nullptr, 10},
        {"control character in a signature",
         validationText("512", "512", "2",
                        {{"1", kAbcDigest},
                         {"2", "da0a9d61\x05\x05"
                               "db8c81a896ac12b9"}}),
         "Invalid signature for segment 2", 0},
        {"character reference in a signature", validationText("65536", "10", "1", {{"1", "900150&#5;98"}}),
         "Invalid signature for segment 1", 0},
        {"escaped ampersand in a signature", validationText("65536", "10", "1", {{"1", "9001&amp;50"}}),
         "Invalid signature for segment 1", 0},
        {"markup in a signature", validationText("65536", "10", "1", {{"1", "<b>" + kAbcDigest + "</b>"}}),
         "Invalid signature for segment 1", 0},
        {"line break in a signature", validationText("65536", "10", "1", {{"1", "900150983cd2\n4fb0d6963f7d28e17f72"}}),
         "Invalid signature for segment 1", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        MD5Validator validator;
        const bool accepted = validator.initWithXMLPath(write("validation.xml", c.text));
        EXPECT_EQ(accepted, c.warning == nullptr);
        EXPECT_EQ(validator.getTotalSize(), c.totalSize);
        if (c.warning != nullptr) {
            EXPECT_TRUE(log.contains(zezu::WARN, c.warning));
            EXPECT_EQ(validator.getSignatures().size(), 0u);
            continue;
        }
        // What the reader takes, the writer writes back to the same segments.
        const std::string again = environment.base() + "/rewritten.xml";
        ASSERT_TRUE(validator.writeXML(again));
        MD5Validator reread;
        ASSERT_TRUE(reread.initWithXMLPath(again));
        EXPECT_EQ(reread.getSignatures(), validator.getSignatures());
        EXPECT_EQ(reread.getTotalSize(), c.totalSize);
    }
    MD5Validator validator;
    EXPECT_FALSE(validator.initWithXMLPath(environment.base() + "/missing.xml"));
}

TEST_F(ValidatorTest, SegmentsValidateByLowercaseDigestOfTheirIndex) {
    const std::string upper = "900150983CD24FB0D6963F7D28E17F72";
    MD5Validator validator;
    ASSERT_TRUE(validator.initWithXMLPath(
        write("v.xml", validationText("65536", "3", "3", {{"1", kAbcDigest}, {"2", upper}, {"3", kEmptyDigest}}))));
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_TRUE(validator.validateSegment(abc, 3, 0));
    EXPECT_FALSE(validator.validateSegment(abc, 2, 0));
    EXPECT_FALSE(validator.validateSegment(abc, 3, 1)) << "an uppercase signature never matches";
    EXPECT_TRUE(validator.validateSegment(abc, 0, 2));
    EXPECT_FALSE(validator.validateSegment(abc, 3, 3)) << "no signature for the index";

    std::string text;
    ASSERT_TRUE(validator.computeSignature(abc, 3, text));
    EXPECT_EQ(text, kAbcDigest);
}

TEST_F(ValidatorTest, HexNeedsRoomForTwoDigitsAByteAndTheEnd) {
    MD5Validator validator;
    const uint8_t bytes[] = {0x00, 0x9f, 0xa0, 0xff};
    char buffer[16];
    EXPECT_FALSE(validator.toHex(bytes, 4, buffer, 8));
    ASSERT_TRUE(validator.toHex(bytes, 4, buffer, 9));
    EXPECT_STREQ(buffer, "009fa0ff");
}

TEST_F(ValidatorTest, WriterOutputReadsBackWhole) {
    const struct {
        size_t size;
        uint32_t segmentSize;
        uint32_t count;
        uint32_t last;
    } cases[] = {{150000, 65536, 3, 150000 - 2 * 65536}, {131072, 65536, 2, 65536}, {1, 65536, 1, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::vector<uint8_t> bytes(c.size);
        std::mt19937 generator(static_cast<uint32_t>(c.size));
        for (auto& byte : bytes) byte = static_cast<uint8_t>(generator());
        const std::string data = write("data.bin", std::string(bytes.begin(), bytes.end()));
        const std::string xml = environment.base() + "/data.bin.xml";

        MD5Validator writer;
        ASSERT_TRUE(writer.generateFromDataFile(data, xml, c.segmentSize));
        ValidatorFactory factory;
        std::unique_ptr<ValidatorBase> reader = factory.create(xml);
        ASSERT_TRUE(reader);
        EXPECT_EQ(reader->getSegmentSize(), c.segmentSize);
        EXPECT_EQ(reader->getLastSegmentSize(), c.last);
        EXPECT_EQ(reader->getSignatures().size(), c.count);
        EXPECT_EQ(reader->getTotalSize(), c.size);
        EXPECT_EQ(reader->getSignatures(), writer.getSignatures());
        for (uint32_t index = 0; index < c.count; ++index) {
            const size_t offset = static_cast<size_t>(index) * c.segmentSize;
            const uint32_t length = index + 1 == c.count ? c.last : c.segmentSize;
            EXPECT_TRUE(reader->validateSegment(bytes.data() + offset, length, index));
        }
        ZEZUUtils::XMLParser parser;
        ASSERT_TRUE(parser.initWithXMLPath(xml));
        std::string version;
        EXPECT_TRUE(parser.stringValueForXQuery("/validationInfo/version", version));
        EXPECT_EQ(version, "1.0");
    }
}

TEST_F(ValidatorTest, WriterEdgeCases) {
    MD5Validator validator;
    const std::string xml = environment.base() + "/out.xml";
    EXPECT_FALSE(validator.generateFromDataFile(environment.base() + "/missing.bin", xml, 65536));
    EXPECT_TRUE(log.contains(zezu::WARN, "Data file could not be opened at path"));
    EXPECT_FALSE(validator.generateFromDataFile(write("some.bin", "abc"), xml, 0));
    struct stat info {};
    EXPECT_NE(stat(xml.c_str(), &info), 0) << "nothing is written for a failed generation";

    // An empty data file gives a file without segments, which the reader then refuses.
    ASSERT_TRUE(validator.generateFromDataFile(write("empty.bin", ""), xml, 65536));
    ZEZUUtils::XMLParser parser;
    ASSERT_TRUE(parser.initWithXMLPath(xml));
    std::string count;
    EXPECT_TRUE(parser.stringValueForXQuery("/validationInfo/segmentCount", count));
    EXPECT_EQ(count, "0");
    EXPECT_EQ(parser.getNodeListForXQuery("/validationInfo/segments/segment", nullptr), nullptr);
    MD5Validator reader;
    EXPECT_FALSE(reader.initWithXMLPath(xml));
}

TEST_F(ValidatorTest, FactoryPicksByExactAlgorithmName) {
    const std::string good = validationText("65536", "3", "1", numbered({"1"}));
    const struct {
        const char* name;
        std::string text;
        const char* warning;
        bool made;
    } cases[] = {
        {"TYPE1", good, nullptr, true},
        {"lowercase", validationText("65536", "3", "1", numbered({"1"}), "type1"),
         "Validator type (type1) is not defined", false},
        {"other", validationText("65536", "3", "1", numbered({"1"}), "TYPE2"), "Validator type (TYPE2) is not defined",
         false},
        {"no algorithm", "<validationInfo><segmentSize>65536</segmentSize></validationInfo>", nullptr, false},
        {"unparsable", "not xml", nullptr, false},
        {"does not initialise", validationText("65536", "3", "2", numbered({"1"})),
         "Validator could not be initialized", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        ValidatorFactory factory;
        std::unique_ptr<ValidatorBase> validator = factory.create(write("v.xml", c.text));
        EXPECT_EQ(static_cast<bool>(validator), c.made);
        if (validator) {
            EXPECT_EQ(validator->getKind(), 1u);
            EXPECT_EQ(validator->getAlgorithm(), "TYPE1");
        }
        if (c.warning != nullptr) {
            EXPECT_TRUE(log.contains(zezu::WARN, c.warning));
        }
    }
    ValidatorFactory factory;
    EXPECT_FALSE(factory.create(environment.base() + "/missing.xml"));
}

// The generator's validation files come from hashlib: the C++ writer must produce the same fields.
TEST_F(ValidatorTest, WriterAgreesWithTheSampleProductGenerator) {
    const std::string tool = SAMPLE_PRODUCT_TOOL;
    struct stat info {};
    if (stat("/usr/bin/mksquashfs", &info) != 0) GTEST_SKIP() << "mksquashfs is not installed";
    const std::string product = environment.base() + "/product";
    int status = -1;
    std::string output;
    ASSERT_TRUE(platform::runProcessCapturingOutput("/usr/bin/python3", {tool, product, "--segment-size", "65536"},
                                                    output, status));
    ASSERT_EQ(status, 0) << output;
    for (const char* name : {"notes.bin", "packager.sqfs"}) {
        SCOPED_TRACE(name);
        ValidatorFactory factory;
        std::unique_ptr<ValidatorBase> theirs = factory.create(product + "/" + name + ".xml");
        ASSERT_TRUE(theirs);
        MD5Validator ours;
        ASSERT_TRUE(ours.generateFromDataFile(product + "/" + name, environment.base() + "/ours.xml", 65536));
        std::unique_ptr<ValidatorBase> readBack = factory.create(environment.base() + "/ours.xml");
        ASSERT_TRUE(readBack);
        EXPECT_EQ(readBack->getSegmentSize(), theirs->getSegmentSize());
        EXPECT_EQ(readBack->getLastSegmentSize(), theirs->getLastSegmentSize());
        EXPECT_EQ(readBack->getTotalSize(), theirs->getTotalSize());
        EXPECT_EQ(readBack->getSignatures(), theirs->getSignatures());
        EXPECT_GT(theirs->getSignatures().size(), 1u);
    }
}

}  // namespace
