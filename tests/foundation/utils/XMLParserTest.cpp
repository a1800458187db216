// XML parser: location paths, hostile and malformed input, encodings, node handles, moves.
#include "foundation/utils/XMLParser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/utils/UtilsLogging.h"
#include "tests/support/FileContents.h"
#include "tests/support/TemporaryEnvironment.h"

using ZEZUUtils::XMLParser;

namespace {

std::unique_ptr<XMLParser> parsed(const std::string& text) {
    auto parser = std::make_unique<XMLParser>();
    EXPECT_TRUE(parser->initWithXMLString(text)) << text;
    return parser;
}

using test_support::readFile;
using test_support::writeFile;

class TemporaryFolder {
public:
    TemporaryFolder() : path_(test_support::makeTemporaryFolder("xmlparser")) {}
    ~TemporaryFolder() { test_support::removeTree(path_); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

const char* const kManifest = R"(<?xml version="1.0" encoding="UTF-8"?>
<manifest>
  <!-- generated -->
  <asset_list>
    <asset id="a1"><name>Core</name><size>10</size></asset>
    <asset id="a2"><name>Extra</name><size>20</size></asset>
  </asset_list>
</manifest>)";

std::vector<std::string> messages;

void captureMessage(zezu::Log_Level, const char*, const char* className, const char*, const char*, const char* format,
                    va_list arguments) {
    char line[512];
    std::vsnprintf(line, sizeof line, format, arguments);
    messages.push_back(std::string(className) + ": " + line);
}

// Collects what the parser reports through the process-wide hook.
class CapturedMessages {
public:
    CapturedMessages() {
        messages.clear();
        zezuUtilsLogMessageFnPtr = &captureMessage;
    }
    ~CapturedMessages() { zezuUtilsLogMessageFnPtr = nullptr; }
    const std::vector<std::string>& lines() const { return messages; }
};

}  // namespace

TEST(XMLParser, LocationPathsOverSmallDocuments) {
    struct Case {
        const char* document;
        const char* query;
        int count;               // matches with a node handle
        const char* firstValue;  // nullptr: no match
    } cases[] = {
        {"<MSP><Macintosh><Version>4.1.0</Version></Macintosh></MSP>", "/MSP/Macintosh/Version", 1, "4.1.0"},
        {"<MSP><Macintosh><Version>4.1.0</Version></Macintosh></MSP>", "/Macintosh/Version", 0, nullptr},
        {"<MSP><Macintosh><Version>4.1.0</Version></Macintosh></MSP>", "//Version", 1, "4.1.0"},
        {kManifest, "//manifest/asset_list/asset", 2, "Core10"},
        {kManifest, "//asset_list/asset/name", 2, "Core"},
        {kManifest, "/manifest/asset_list/asset/size", 2, "10"},
        {kManifest, "//asset/missing", 0, nullptr},
        {"<SystemCheck><checks><os_version><major>12</major></os_version></checks></SystemCheck>",
         "//SystemCheck/checks/os_version/major", 1, "12"},
        {"<a>x<b>y</b></a>", "/a", 1, "xy"},
        {"<a><![CDATA[1<2]]> &amp; <b>3</b></a>", "/a", 1, "1<2 & 3"},
        {"<a><b/></a>", "/a/b", 1, ""},
        {"<r><x>1</x><y><x>2</x></y></r>", "//x", 2, "1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.document) + " : " + c.query);
        auto parser = parsed(c.document);
        EXPECT_EQ(parser->nodeExistsXQuery(c.query), c.firstValue != nullptr);
        std::string value = "unchanged";
        EXPECT_EQ(parser->stringValueForXQuery(c.query, value), c.firstValue != nullptr);
        EXPECT_EQ(value, c.firstValue ? c.firstValue : "unchanged");
        int count = -1;
        void* list = parser->getNodeListForXQuery(c.query, &count);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(list != nullptr, c.count > 0);
        if (list) {
            EXPECT_NE(parser->getNodeAtIndexFromNodeList(list, c.count - 1), nullptr);
            EXPECT_EQ(parser->getNodeAtIndexFromNodeList(list, c.count), nullptr);
            EXPECT_EQ(parser->getNodeAtIndexFromNodeList(list, -1), nullptr);
        }
    }
}

TEST(XMLParser, NoMatchIsSilentAndABadQueryIsReported) {
    auto parser = parsed(kManifest);
    CapturedMessages captured;
    int count = -1;
    EXPECT_EQ(parser->getNodeListForXQuery("//nothing", &count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(captured.lines().empty());
    EXPECT_EQ(parser->getNodeListForXQuery("//asset[", &count), nullptr);
    ASSERT_EQ(captured.lines().size(), 1u);
    EXPECT_EQ(
        captured.lines()[0].rfind("XMLParser: Node Not found in getNodeListForXQuery for query - //asset[ - err( ", 0),
        0u)
        << captured.lines()[0];
}

TEST(XMLParser, BadQueriesFailWithoutThrowing) {
    auto parser = parsed(kManifest);
    for (const char* query : {"//asset[", "count(//asset)", "", "///"}) {
        SCOPED_TRACE(query);
        std::string value = "unchanged";
        EXPECT_FALSE(parser->nodeExistsXQuery(query));
        EXPECT_FALSE(parser->stringValueForXQuery(query, value));
        EXPECT_EQ(value, "unchanged");
        int count = -1;
        EXPECT_EQ(parser->getNodeListForXQuery(query, &count), nullptr);
        EXPECT_EQ(count, 0);
    }
    EXPECT_EQ(parser->getNodeAtIndexFromNodeList(nullptr, 0), nullptr);
}

TEST(XMLParser, MalformedHostileAndBadlyEncodedInputIsRefused) {
    struct Case {
        const char* name;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"only a declaration", "<?xml version=\"1.0\"?>"},
        {"unclosed element", "<a><b></a>"},
        {"truncated", std::string(kManifest).substr(0, 120)},
        {"two root elements", "<a/><b/>"},
        {"text after the root", "<a/>trailing"},
        {"text before the root", "leading<a/>"},
        {"undeclared entity", "<a>&nbsp;</a>"},
        {"undeclared entity in attribute", "<a b='&x;'/>"},
        {"external entity", "<!DOCTYPE a [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><a>&x;</a>"},
        {"parameter entity", "<!DOCTYPE a [<!ENTITY % p SYSTEM \"http://127.0.0.1:9/x\"> %p;]><a>&y;</a>"},
        {"latin-1 bytes without declaration", "<a>caf\xE9</a>"},
        {"declared windows-1252", "<?xml version=\"1.0\" encoding=\"windows-1252\"?><a>\x80</a>"},
        {"overlong UTF-8", "<a>\xC0\xAF</a>"},
        {"UTF-8 surrogate", "<a>\xED\xA0\x80</a>"},
        {"UTF-8 beyond U+10FFFF", "<a>\xF4\x90\x80\x80</a>"},
        {"cut UTF-8 sequence", "<a>\xE2\x82</a>"},
        {"UTF-16 lone surrogate", std::string("\xFF\xFE<\0a\0>\0\x00\xD8<\0/\0a\0>\0", 18)},
        {"odd-length UTF-16", std::string("\xFF\xFE<\0a\0/\0>\0\0", 11)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        XMLParser parser;
        EXPECT_FALSE(parser.initWithXMLString(c.text));
        void* root = nullptr;
        EXPECT_FALSE(parser.getRootNode(root));
        // A failed parse leaves the parser empty, ready for a good document.
        EXPECT_TRUE(parser.initWithXMLString("<ok/>"));
    }
}

TEST(XMLParser, DeclaredEncodingsAreConvertedToUTF8) {
    struct Case {
        const char* name;
        std::string data;
    } cases[] = {
        {"latin-1", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>caf\xE9</a>"},
        {"UTF-16 LE", std::string("\xFF\xFE<\0a\0>\0c\0a\0f\0\xE9\0<\0/\0a\0>\0", 24)},
        {"UTF-16 BE", std::string("\xFE\xFF\0<\0a\0>\0c\0a\0f\0\xE9\0<\0/\0a\0>", 24)},
        {"UTF-8 with BOM", "\xEF\xBB\xBF<a>caf\xC3\xA9</a>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        XMLParser parser;
        ASSERT_TRUE(parser.initWithXMLString(c.data));
        std::string value;
        EXPECT_TRUE(parser.stringValueForXQuery("/a", value));
        EXPECT_EQ(value, "caf\xC3\xA9");
    }
}

TEST(XMLParser, SecondInitFailsAndKeepsTheFirstDocument) {
    TemporaryFolder folder;
    writeFile(folder.file("other.xml"), "<other/>");
    XMLParser parser;
    ASSERT_TRUE(parser.initWithXMLString("<first>1</first>"));
    EXPECT_FALSE(parser.initWithXMLString("<second>2</second>"));
    EXPECT_FALSE(parser.initWithXMLPath(folder.file("other.xml")));
    std::string value;
    EXPECT_TRUE(parser.stringValueForXQuery("/first", value));
    EXPECT_EQ(value, "1");
}

TEST(XMLParser, ReadsFilesAndRefusesMissingOrBrokenOnes) {
    TemporaryFolder folder;
    writeFile(folder.file("good.xml"), kManifest);
    writeFile(folder.file("bad.xml"), "<manifest><asset_list>");
    XMLParser good;
    EXPECT_TRUE(good.initWithXMLPath(folder.file("good.xml")));
    EXPECT_TRUE(good.nodeExistsXQuery("//asset"));
    XMLParser bad;
    EXPECT_FALSE(bad.initWithXMLPath(folder.file("bad.xml")));
    XMLParser missing;
    EXPECT_FALSE(missing.initWithXMLPath(folder.file("missing.xml")));
    XMLParser directory;
    EXPECT_FALSE(directory.initWithXMLPath(folder.file("")));
}

TEST(XMLParser, OperationsOnAnEmptyParserFail) {
    XMLParser parser;
    std::string text = "unchanged";
    void* node = reinterpret_cast<void*>(0x1);
    int count = 5;
    EXPECT_FALSE(parser.nodeExistsXQuery("/a"));
    EXPECT_FALSE(parser.stringValueForXQuery("/a", text));
    EXPECT_EQ(parser.getNodeListForXQuery("/a", &count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(parser.getRootNode(node));
    EXPECT_FALSE(parser.getXMLString(text));
    EXPECT_FALSE(parser.getXMLStringOfNode(node, text));
    EXPECT_FALSE(parser.getNodeXMLString(node, text));
    EXPECT_TRUE(parser.getMapFromNode(node).empty());
    EXPECT_TRUE(parser.getAttrsMapOfNode(node).empty());
    EXPECT_FALSE(parser.writeXMLToFilePathInUTF8("/nonexistent/never-written.xml"));
    EXPECT_EQ(text, "unchanged");
}

TEST(XMLParser, NodeTextsMapsAndAttributes) {
    auto parser = parsed("<asset id='a1' kind='core' id2='x'><!-- note --><name>Core</name><name>Dup</name>"
                         "loose text<size>10</size></asset>");
    void* root = nullptr;
    ASSERT_TRUE(parser->getRootNode(root));
    ASSERT_NE(root, nullptr);

    std::string text;
    EXPECT_TRUE(parser->getNodeXMLString(root, text));
    EXPECT_EQ(text, "<name>Core</name>");
    EXPECT_TRUE(parser->getXMLStringOfNode(root, text));
    EXPECT_NE(text.find("<!-- note -->"), std::string::npos);
    // The node's own text parses back into a document of its own.
    XMLParser again;
    EXPECT_TRUE(again.initWithXMLString(text));

    auto children = parser->getMapFromNode(root);
    EXPECT_EQ(children, (std::map<std::string, std::string>{{"name", "Core"}, {"size", "10"}}));
    auto attributes = parser->getAttrsMapOfNode(root);
    EXPECT_EQ(attributes, (std::map<std::string, std::string>{{"id", "a1"}, {"id2", "x"}, {"kind", "core"}}));

    auto onlyComments = parsed("<a><!-- one --><!-- two --></a>");
    ASSERT_TRUE(onlyComments->getRootNode(root));
    EXPECT_FALSE(onlyComments->getNodeXMLString(root, text));
    auto empty = parsed("<a/>");
    ASSERT_TRUE(empty->getRootNode(root));
    EXPECT_FALSE(empty->getNodeXMLString(root, text));
    EXPECT_FALSE(empty->getNodeXMLString(nullptr, text));
}

TEST(XMLParser, BuildsElementsAndRendersThemEscaped) {
    auto parser = parsed("<validationInfo/>");
    void* root = nullptr;
    ASSERT_TRUE(parser->getRootNode(root));
    EXPECT_TRUE(parser->addChildToNode("segmentSize", "1024", root));
    void* segments = nullptr;
    ASSERT_TRUE(parser->addChildToNode("segments", "", root, segments));
    void* segment = nullptr;
    ASSERT_TRUE(parser->addChildToNode("segment", "a<b&\"c\"", segments, segment));
    EXPECT_TRUE(parser->addAttributeToNode(segment, "segmentNumber", "1"));
    EXPECT_TRUE(parser->addAttributeToNode(segment, "segmentNumber", "2"));  // replaces
    EXPECT_FALSE(parser->addAttributeToNode(nullptr, "x", "y"));
    EXPECT_FALSE(parser->addChildToNode("x", "y", nullptr));
    EXPECT_FALSE(parser->addChildToNode("", "y", root));

    std::string text;
    ASSERT_TRUE(parser->getXMLString(text));
    auto reparsed = parsed(text);
    std::string value;
    EXPECT_TRUE(reparsed->stringValueForXQuery("/validationInfo/segments/segment", value));
    EXPECT_EQ(value, "a<b&\"c\"");
    int count = 0;
    void* list = reparsed->getNodeListForXQuery("//segment", &count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(reparsed->getAttrsMapOfNode(reparsed->getNodeAtIndexFromNodeList(list, 0)).at("segmentNumber"), "2");
    EXPECT_TRUE(reparsed->stringValueForXQuery("/validationInfo/segmentSize", value));
    EXPECT_EQ(value, "1024");
}

TEST(XMLParser, MovesWithinOneDocumentKeepTheHandle) {
    auto parser = parsed("<r><from><item>1</item></from><to/></r>");
    int count = 0;
    void* item = parser->getNodeAtIndexFromNodeList(parser->getNodeListForXQuery("//item", &count), 0);
    void* to = parser->getNodeAtIndexFromNodeList(parser->getNodeListForXQuery("/r/to", &count), 0);
    ASSERT_NE(item, nullptr);
    ASSERT_NE(to, nullptr);
    ASSERT_TRUE(parser->addChildToNode(item, to));
    EXPECT_TRUE(parser->addAttributeToNode(item, "moved", "yes"));
    EXPECT_FALSE(parser->nodeExistsXQuery("/r/from/item"));
    std::string value;
    EXPECT_TRUE(parser->stringValueForXQuery("/r/to/item[@moved='yes']", value));
    EXPECT_EQ(value, "1");
    // A node cannot go under its own descendant.
    void* r = nullptr;
    ASSERT_TRUE(parser->getRootNode(r));
    EXPECT_FALSE(parser->addChildToNode(r, to));
    EXPECT_FALSE(parser->addChildToNode(nullptr, to));
}

TEST(XMLParser, MovesAnEventUnderAnotherParsersDocument) {
    auto eventList = parsed("<eventList/>");
    void* listRoot = nullptr;
    ASSERT_TRUE(eventList->getRootNode(listRoot));
    {
        auto event = parsed("<HostedServicesEvent TimeStamp='now'><!-- c --><eventDts>t</eventDts>"
                            "<params><p name='zorWorkflowID'>{W}</p></params></HostedServicesEvent>");
        void* eventRoot = nullptr;
        ASSERT_TRUE(event->getRootNode(eventRoot));
        ASSERT_TRUE(eventList->addChildToNode(eventRoot, listRoot));
        // The original left its own document.
        EXPECT_FALSE(event->nodeExistsXQuery("//HostedServicesEvent"));
    }  // the first parser and its document are gone; the copy must not depend on them
    std::string text;
    ASSERT_TRUE(eventList->getXMLString(text));
    auto check = parsed(text);
    std::string value;
    EXPECT_TRUE(check->stringValueForXQuery("/eventList/HostedServicesEvent/params/p", value));
    EXPECT_EQ(value, "{W}");
    EXPECT_TRUE(check->stringValueForXQuery("/eventList/HostedServicesEvent/@TimeStamp", value));
    EXPECT_EQ(value, "now");
    EXPECT_NE(text.find("<!-- c -->"), std::string::npos);
}

TEST(XMLParser, DetachedElementsCanBeAttachedLater) {
    auto parser = parsed("<root/>");
    void* detached = nullptr;
    ASSERT_TRUE(parser->createNodeWithNameAndValue("late", "v", detached));
    void* root = nullptr;
    ASSERT_TRUE(parser->getRootNode(root));
    EXPECT_FALSE(parser->nodeExistsXQuery("//late"));
    ASSERT_TRUE(parser->addChildToNode(detached, root));
    std::string value;
    EXPECT_TRUE(parser->stringValueForXQuery("/root/late", value));
    EXPECT_EQ(value, "v");

    XMLParser noDocument;  // making a detached element needs no document
    EXPECT_TRUE(noDocument.createNodeWithNameAndValue("x", "", detached));
    EXPECT_FALSE(noDocument.createNodeWithNameAndValue("", "", detached));
}

TEST(XMLParser, WritesUTF8AndKeepsTheDocumentsOwnDeclaration) {
    TemporaryFolder folder;
    writeFile(folder.file("latin.xml"), "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>caf\xE9</a>");
    XMLParser parser;
    ASSERT_TRUE(parser.initWithXMLPath(folder.file("latin.xml")));
    ASSERT_TRUE(parser.writeXMLToFilePathInUTF8(folder.file("out.xml")));
    std::string written = readFile(folder.file("out.xml"));
    EXPECT_NE(written.find("encoding=\"UTF-8\""), std::string::npos) << written;
    EXPECT_NE(written.find("caf\xC3\xA9"), std::string::npos) << written;
    std::string text;
    ASSERT_TRUE(parser.getXMLString(text));
    EXPECT_NE(text.find("ISO-8859-1"), std::string::npos) << text;

    XMLParser back;
    ASSERT_TRUE(back.initWithXMLPath(folder.file("out.xml")));
    std::string value;
    EXPECT_TRUE(back.stringValueForXQuery("/a", value));
    EXPECT_EQ(value, "caf\xC3\xA9");

    // Without a declaration one naming UTF-8 is written; an existing file is replaced whole.
    auto plain = parsed("<b>1</b>");
    ASSERT_TRUE(plain->writeXMLToFilePathInUTF8(folder.file("out.xml")));
    written = readFile(folder.file("out.xml"));
    EXPECT_EQ(written.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u) << written;
    EXPECT_EQ(written.find("caf"), std::string::npos);
    EXPECT_FALSE(plain->writeXMLToFilePathInUTF8(""));
    EXPECT_FALSE(plain->writeXMLToFilePathInUTF8(folder.file("no/such/folder/out.xml")));
}
