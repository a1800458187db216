// Events, descriptors and the small text helpers of the telemetry client.
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <cstdlib>
#include <ctime>
#include <regex>

#include "telemetry/ClientAppDescriptor.h"
#include "telemetry/DEZUtilities.h"
#include "telemetry/HostedServicesEvent.h"

namespace {

using DEZFramework::HostedServicesEvent;

std::vector<std::string> childNames(const pugi::xml_node& node) {
    std::vector<std::string> names;
    for (const auto& child : node.children()) {
        names.emplace_back(child.name());
    }
    return names;
}

TEST(HostedServicesEvent, PropertiesKeepOnePairPerName_LatestAtTheEnd) {
    HostedServicesEvent event;
    EXPECT_TRUE(event.setEventAttribute("A", "1"));
    EXPECT_TRUE(event.setEventAttribute("B", "2"));
    EXPECT_TRUE(event.setEventAttribute("A", "3"));
    EXPECT_TRUE(event.setEventAttribute("a", ""));  // names are case-sensitive
    EXPECT_FALSE(event.setEventAttribute(nullptr, "x"));
    EXPECT_FALSE(event.setEventAttribute("x", nullptr));
    const std::vector<std::pair<std::string, std::string>> expected = {{"B", "2"}, {"A", "3"}, {"a", ""}};
    EXPECT_EQ(event.getParams(), expected);
    EXPECT_TRUE(event.IsEventParamPresent("A"));
    EXPECT_FALSE(event.IsEventParamPresent("a"));  // present but empty
    EXPECT_FALSE(event.IsEventParamPresent("C"));
    EXPECT_FALSE(event.IsEventParamPresent(nullptr));
}

TEST(HostedServicesEvent, RendersOnlyFilledFields_InOrder_AndEscapesText) {
    HostedServicesEvent minimal;
    minimal.eventGuid = "g";
    minimal.eventCode = "c";
    minimal.eventSubCode = "s";
    std::string xml;
    ASSERT_TRUE(minimal.toXMLString(xml));
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(xml.c_str()));
    const auto root = document.document_element();
    EXPECT_STREQ(root.name(), "HostedServicesEvent");
    EXPECT_EQ(childNames(root), (std::vector<std::string>{"eventGuid", "eventCode", "eventSubCode", "eventParamData"}));
    EXPECT_FALSE(root.child("eventParamData").first_child());

    HostedServicesEvent full;
    full.eventGuid = "g";
    full.eventDts = "d";
    full.eventCode = "c";
    full.eventSubCode = "s";
    full.eventSource = "src";
    full.userGuid = "u";
    full.eventReqActionCode = "r";
    full.userTID = "t";
    full.blob = "b&<c>";
    full.setEventAttribute("Error & Code", "1 < 2");
    full.setEventAttribute("Second", "x");
    ASSERT_TRUE(full.toXMLString(xml));
    EXPECT_NE(xml.find("b&amp;&lt;c"), std::string::npos);
    ASSERT_TRUE(document.load_string(xml.c_str()));
    const auto fullRoot = document.document_element();
    EXPECT_EQ(childNames(fullRoot),
              (std::vector<std::string>{"eventGuid", "eventDts", "eventCode", "eventSubCode", "eventSource", "userGuid",
                                        "eventReqActionCode", "userTID", "blob", "eventParamData"}));
    EXPECT_STREQ(fullRoot.child_value("blob"), "b&<c>");
    const auto first = fullRoot.child("eventParamData").first_child();
    EXPECT_STREQ(first.name(), "eventParam");
    EXPECT_STREQ(first.attribute("name").value(), "Error & Code");
    EXPECT_STREQ(first.child_value(), "1 < 2");
    EXPECT_STREQ(first.next_sibling().attribute("name").value(), "Second");
}

TEST(ClientAppDescriptor, RendersAllThreeFieldsEvenWhenEmpty) {
    DEZFramework::ClientAppDescriptor descriptor;
    descriptor.clientAppName = "MSP_ZOR";
    std::string xml;
    ASSERT_TRUE(descriptor.toXMLString(xml));
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(xml.c_str()));
    const auto root = document.document_element();
    EXPECT_STREQ(root.name(), "ClientAppDescriptor");
    EXPECT_EQ(childNames(root), (std::vector<std::string>{"clientAppName", "clientAppVersion", "dezPrefix"}));
    EXPECT_STREQ(root.child_value("clientAppName"), "MSP_ZOR");
}

TEST(DEZUtilities, CopyStrBoundsAndNulls) {
    struct Case {
        const char* source;
        std::size_t size;
        bool result;
        const char* copied;
    } cases[] = {
        {"abcdef", 7, true, "abcdef"},
        {"abcdef", 4, true, "abc"},
        {"abcdef", 1, true, ""},
        {"", 5, false, ""},
        {"abc", 0, false, "#####"},  // size 0 writes nothing at all
        {nullptr, 5, false, "#####"},
    };
    for (const auto& c : cases) {
        char buffer[8] = "#####";
        EXPECT_EQ(DEZFramework::copyStr(buffer, c.size, c.source), c.result) << c.size;
        EXPECT_STREQ(buffer, c.copied) << c.size;
    }
    EXPECT_FALSE(DEZFramework::copyStr(nullptr, 5, "abc"));
}

TEST(DEZUtilities, GuidIsLowerCase_TimeTextCarriesTheOffsetWithAColon) {
    std::string guid;
    ASSERT_TRUE(DEZFramework::getGUIDString(guid));
    EXPECT_TRUE(std::regex_match(guid, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")));

    const char* oldZone = std::getenv("TZ");
    const std::string saved = oldZone ? oldZone : "";
    struct Case {
        const char* zone;
        const char* suffix;
    } cases[] = {{"UTC0", "+00:00"}, {"IST-5:30", "+05:30"}, {"NST3:30", "-03:30"}};
    for (const auto& c : cases) {
        ::setenv("TZ", c.zone, 1);
        ::tzset();
        std::string text = "old";
        DEZFramework::getCurrentTimeStr(text);
        EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}[+-]\d{2}:\d{2})")))
            << text;
        EXPECT_EQ(text.substr(text.size() - 6), c.suffix) << c.zone;
    }
    if (oldZone) {
        ::setenv("TZ", saved.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

}  // namespace
