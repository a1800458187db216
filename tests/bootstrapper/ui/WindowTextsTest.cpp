// The window's fixed texts: every key looked up once, button titles without accelerator marks.
#include "bootstrapper/ui/WindowTexts.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "bootstrapper/support/SupportAddress.h"
#include "bootstrapper/support/ZORUtils.h"
#include "tests/bootstrapper/ui/LocalizedResources.h"

namespace {

TEST(WindowTexts, DefaultsAreTheKeysDefaultTextsWithoutAcceleratorMarks) {
    const WindowTexts texts = WindowTexts::defaults();
    EXPECT_EQ(texts.windowTitle, "Morvane Studio Packager");
    EXPECT_EQ(texts.quitButton, "Quit");
    EXPECT_EQ(texts.retryButton, "Retry");
    EXPECT_EQ(texts.issuesHeading, "We've encountered the following issues");
    EXPECT_EQ(texts.linkText, "Customer support website");
    EXPECT_EQ(texts.linkAddress, kSupportAddress);
    EXPECT_EQ(texts.sheetMessage, "Please provide your proxy server username and password");
    EXPECT_EQ(texts.sheetUserLabel, "Username");
    EXPECT_EQ(texts.sheetPasswordLabel, "Password");
    EXPECT_EQ(texts.rememberCredentials, "Remember my credentials");
    EXPECT_EQ(texts.submitButton, "Continue");
    EXPECT_EQ(texts.cancelButton, "Cancel");
    EXPECT_EQ(texts.installPackage, "Initializing Installer");
    EXPECT_EQ(texts.quitQuestion, "Are you sure you want to quit?");
    EXPECT_EQ(texts.yesButton, "Yes");
    EXPECT_EQ(texts.noButton, "No");
    // Without a dictionary the defaults are what a run shows.
    EXPECT_EQ(WindowTexts::resolve(nullptr), texts);
}

TEST(WindowTexts, EachKeyIsLookedUpOnceAndOnlyButtonTitlesLoseTheirMarks) {
    std::multiset<std::string> asked;
    const WindowTexts texts = WindowTexts::fromLookup([&asked](const std::string& key) {
        asked.insert(key);
        // Every text carries marks; only the six button titles may lose them.
        return key.substr(0, key.find('=')) + " (&K) & end";
    });
    EXPECT_EQ(asked.size(), 15u);
    for (const auto& key : asked) {
        EXPECT_EQ(asked.count(key), 1u) << key;
        EXPECT_EQ(key.rfind("$$$/ZOR/", 0), 0u) << key;
        EXPECT_NE(key.find('='), std::string::npos) << key;
    }
    EXPECT_EQ(asked.count(std::string("$$$/ZOR/CustomerSupportLink=") + kSupportAddress), 1u);

    const std::map<std::string, std::string> buttons = {
        {"quit", texts.quitButton},     {"retry", texts.retryButton}, {"submit", texts.submitButton},
        {"cancel", texts.cancelButton}, {"yes", texts.yesButton},     {"no", texts.noButton},
    };
    for (const auto& [name, text] : buttons) {
        EXPECT_EQ(text.find("(&"), std::string::npos) << name << ": " << text;
        EXPECT_NE(text.find(" & end"), std::string::npos) << name << ": only the first span goes";
    }
    EXPECT_EQ(texts.quitButton, "$$$/ZOR/QuitButton  & end");
    EXPECT_EQ(texts.quitQuestion, "$$$/ZOR/QuitConfirm (&K) & end");
    EXPECT_EQ(texts.linkAddress, "$$$/ZOR/CustomerSupportLink (&K) & end");
    EXPECT_EQ(texts.rememberCredentials, "$$$/ZOR/RememberCredentials (&K) & end");
    EXPECT_EQ(texts.windowTitle, "Morvane Studio Packager");
}

TEST(WindowTexts, ResolvesThroughTheSessionsDictionary) {
    test_support::TemporaryEnvironment environment;
    test_support::LocalizedResources resources(
        "ja_JP", {{"/ZOR/QuitButton", u"終了(&Q)"},
                  {"/ZOR/AuthProxyCancelButton", u"キャンセル(&C"},
                  {"/ZOR/EncounteredIssues", u"次の問題が発生しました"},
                  {"/ZOR/CustomerSupportLink", u"https://support.zarvo.example/ja?a=1&b=<2>"}});
    ZORUtils utils;
    ASSERT_TRUE(utils.loadDictionary(test_support::FixedUserLanguages("ja_JP")));
    const WindowTexts texts = WindowTexts::resolve(&utils);
    EXPECT_EQ(texts.quitButton, "終了");
    EXPECT_EQ(texts.cancelButton, "キャンセル(C");
    EXPECT_EQ(texts.issuesHeading, "次の問題が発生しました");
    // An address is never stripped of its "&".
    EXPECT_EQ(texts.linkAddress, "https://support.zarvo.example/ja?a=1&b=<2>");
    // Keys the table lacks give their default texts.
    EXPECT_EQ(texts.retryButton, "Retry");
    EXPECT_EQ(texts.quitQuestion, "Are you sure you want to quit?");
}

}  // namespace
