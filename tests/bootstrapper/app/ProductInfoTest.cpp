// Product information: the required manifest URL, the optional values and their log lines.
#include "bootstrapper/app/ProductInfo.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/LogFacadeHome.h"
#include "tests/support/RecordingLogTarget.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

using test_support::RecordingLogTarget;

TEST(ProductInfo, ReadsEveryValueAndKeepsTheCookieEmpty) {
    RecordingLogTarget log;
    ProductInfo info;
    ASSERT_TRUE(info.initWithXMLPath("<product_info><zameeurl>https://cdn.test/msp/manifest.xml</zameeurl>"
                                     "<SAPCode>MSPK</SAPCode><locale>fr_FR</locale>"
                                     "<product_name>Packager</product_name><cookie>c=1</cookie></product_info>",
                                     false));
    EXPECT_EQ(info.getZameeURL(), "https://cdn.test/msp/manifest.xml");
    EXPECT_EQ(info.getSAPCode(), "MSPK");
    EXPECT_EQ(info.getLocale(), "fr_FR");
    EXPECT_EQ(info.getProductName(), "Packager");
    EXPECT_EQ(info.getCookie(), "");  // never read from the file
    EXPECT_TRUE(log.lines().empty()) << log.dump();

    const ProductInfo copy = info;  // the session holds it by value
    EXPECT_EQ(copy.getZameeURL(), info.getZameeURL());
}

TEST(ProductInfo, OnlyTheURLIsRequired) {
    RecordingLogTarget log;
    ProductInfo info;
    ASSERT_TRUE(info.initWithXMLPath("<product_info><zameeurl>http://h/m.xml</zameeurl></product_info>", false));
    EXPECT_EQ(info.getZameeURL(), "http://h/m.xml");
    EXPECT_EQ(info.getSAPCode(), "");
    const auto lines = log.lines();
    const char* expected[] = {"Product Sap Code not specified in the product information file",
                              "Product locale not specified in the product information file",
                              "Product name not specified in the product information file"};
    ASSERT_EQ(lines.size(), 3u) << log.dump();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].level, zezu::INFO);
        EXPECT_EQ(lines[i].component, "ProductInfo");
        EXPECT_EQ(lines[i].message, expected[i]);
    }
}

TEST(ProductInfo, FailuresAreFatalLines) {
    struct Case {
        const char* name;
        const char* xml;
        const char* fatal;
    } cases[] = {
        {"not XML", "<product_info><zameeurl>", "Could not initialize the product information file"},
        {"empty", "", "Could not initialize the product information file"},
        {"no URL", "<product_info><SAPCode>X</SAPCode></product_info>",
         "MSP Url not specified in the product information file"},
        {"URL outside product_info", "<other><zameeurl>http://h/m.xml</zameeurl></other>",
         "MSP Url not specified in the product information file"},
        {"empty URL", "<product_info><zameeurl></zameeurl><SAPCode>MSPK</SAPCode></product_info>",
         "MSP Url not specified in the product information file"},
        {"URL of nothing but a comment", "<product_info><zameeurl><!-- none --></zameeurl></product_info>",
         "MSP Url not specified in the product information file"},
    };
    for (const auto& c : cases) {
        RecordingLogTarget log;
        ProductInfo info;
        EXPECT_FALSE(info.initWithXMLPath(c.xml, false)) << c.name;
        EXPECT_EQ(log.count(zezu::FATAL, "ProductInfo", c.fatal), 1) << c.name << "\n" << log.dump();
        EXPECT_EQ(log.lines().size(), 1u) << c.name << "\n" << log.dump();
        EXPECT_EQ(info.getZameeURL(), "") << c.name;
    }
}

TEST(ProductInfo, ReadsAFileAndTakesTheFirstMatch) {
    test_support::TemporaryEnvironment environment;
    const std::string path = environment.base() + "/productInfo.xml";
    std::ofstream(path) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<bundle><product_info>\n"
                           "  <zameeurl>https://first.test/manifest.xml</zameeurl>\n"
                           "  <zameeurl>https://second.test/manifest.xml</zameeurl>\n"
                           "  <locale>ja_JP</locale>\n</product_info></bundle>\n";
    ProductInfo info;
    ASSERT_TRUE(info.initWithXMLPath(path, true));
    EXPECT_EQ(info.getZameeURL(), "https://first.test/manifest.xml");
    EXPECT_EQ(info.getLocale(), "ja_JP");

    RecordingLogTarget log;
    ProductInfo missing;
    EXPECT_FALSE(missing.initWithXMLPath(environment.base() + "/absent.xml", true));
    EXPECT_EQ(log.count(zezu::FATAL, "ProductInfo", "Could not initialize the product information file"), 1);
}

}  // namespace
