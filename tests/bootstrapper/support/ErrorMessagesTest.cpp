// The error-screen texts: every row of both resolvers, error codes, the support row and the
// text kept from the previous call.
#include "bootstrapper/support/ErrorMessages.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "bootstrapper/support/SupportAddress.h"
#include "bootstrapper/support/ZORUtils.h"
#include "platform/Bundle.h"
#include "platform/UserLanguages.h"
#include "tests/bootstrapper/support/UtilitiesTestSupport.h"
#include "tools/stringtable/StringTableWriter.h"

namespace {

const std::string kInstallProblem =
    "Sorry, there seems to be a problem with the installation process (Error code: CODE). For troubleshooting "
    "tips, please visit our customer support page.";
const std::string kNotResponding =
    "Sorry, the program is not responding correctly (Error code: CODE). For troubleshooting tips, please visit "
    "our customer support page.";
const std::string kDownloadProblem =
    "Sorry, there seems to be a problem with the download process (Error code: CODE). For troubleshooting tips, "
    "please visit our customer support page.";
const std::string kAdmin = "Administrator privileges are required to continue with the installation.";
const std::string kInstallFailed = "Morvane Studio Packager failed to install.";
const std::string kMultiple =
    "Zarvo installer is already running. Please close other Zarvo installers and select retry option to continue "
    "with this installation.";
const std::string kAnotherRunning =
    "Another installer is currently running, which must be closed before installing this product. Please close "
    "other installers.";
const std::string kDiskSpace = "Insufficient hard disk space. Please refer to the installation guide for more details.";
const std::string kNetwork = "Please connect to internet, then try again.";
const std::string kServer = "The remote server is not responding in a proper manner. Please retry after a few minutes.";
const std::string kWritePermission = "You donot have permission to download a file.";

std::string withCode(const std::string& text, const std::string& code) {
    std::string result = text;
    result.replace(result.find("CODE"), 4, code);
    return result;
}

// A text no row sets, so a call that sets none shows it again.
const std::string kPrevious = kNetwork;

void setPrevious(ZORUtils& utils) {
    std::string text;
    int type = -50;
    int code = 0;
    bool fatal = true;
    bool link = true;
    resolveDownloadError(text, type, code, utils.dictionaryHandle(), fatal, link);
    ASSERT_EQ(text, kPrevious);
}

TEST(ErrorMessages, InstallErrorsByActionTypeAndResultCode) {
    ZORUtils utils;  // nothing loaded: every key gives its default text
    const struct {
        int actionType;
        int resultCode;
        std::string text;
        bool showLink;
    } cases[] = {
        {1, 501, withCode(kInstallProblem, "A12E6"), true},
        {1, 504, withCode(kInstallProblem, "A12E6"), true},
        {1, 502, kAdmin, false},
        {1, 100, kAdmin, false},
        {1, -10, kAdmin, false},
        {1, 10, kInstallFailed, true},
        {1, -5, kInstallFailed, true},
        {1, -6, kInstallFailed, true},
        {1, -2, kMultiple, false},
        {1, -17, kAnotherRunning, false},
        {1, -18, kDiskSpace, false},
        {1, 0, withCode(kInstallProblem, "A12E1"), true},
        {1, 1, withCode(kInstallProblem, "A12E1"), true},
        {1, 3, withCode(kInstallProblem, "A12E1"), true},
        {1, 137, withCode(kInstallProblem, "A12E1"), true},
        {1, -1, withCode(kInstallProblem, "A12E1"), true},
        {2, 0, withCode(kNotResponding, "A12E3"), true},
        {2, 504, withCode(kNotResponding, "A12E3"), true},
        {0, 504, kPrevious, false},
        {3, 10, kPrevious, false},
        {-1, 0, kPrevious, false},
    };
    for (const auto& c : cases) {
        setPrevious(utils);
        std::string text;
        int actionType = c.actionType;
        int resultCode = c.resultCode;
        bool showLink = !c.showLink;
        int supportCalls = 0;
        EXPECT_TRUE(resolveInstallError(text, actionType, resultCode, utils.dictionaryHandle(), showLink,
                                        [&] { ++supportCalls; }));
        EXPECT_EQ(text, c.text) << c.actionType << "/" << c.resultCode;
        EXPECT_EQ(showLink, c.showLink) << c.actionType << "/" << c.resultCode;
        EXPECT_EQ(supportCalls, 0) << c.actionType << "/" << c.resultCode;
        EXPECT_EQ(actionType, c.actionType);
        EXPECT_EQ(resultCode, c.resultCode);
    }
}

TEST(ErrorMessages, SignCheckRowShowsTheSupportButtonOnceAndEndsWithTheAddress) {
    ZORUtils utils;
    std::string text;
    int actionType = 1;
    int resultCode = 503;
    bool showLink = true;
    int supportCalls = 0;
    EXPECT_TRUE(
        resolveInstallError(text, actionType, resultCode, utils.dictionaryHandle(), showLink, [&] { ++supportCalls; }));
    EXPECT_EQ(supportCalls, 1);
    EXPECT_FALSE(showLink);
    EXPECT_EQ(text, std::string("There seems to be a problem with Morvane Studio Packager. Please contact Customer "
                                "Support.\nCustomer Support: ") +
                        kSupportAddress);
    EXPECT_STREQ(kSupportAddress, "https://support.zarvo.example/studio-packager");

    // Without a callback the text is the same.
    std::string again;
    EXPECT_TRUE(resolveInstallError(again, actionType, resultCode, utils.dictionaryHandle(), showLink));
    EXPECT_EQ(again, text);
}

TEST(ErrorMessages, DownloadErrorsByErrorType) {
    ZORUtils utils;
    const struct {
        int errorType;
        std::string text;
        bool fatal;
        bool showLink;
    } cases[] = {
        {-90, withCode(kNotResponding, "A12E4"), true, true},
        {-80, withCode(kNotResponding, "A12E4"), true, true},
        {-70, withCode(kNotResponding, "A12E4"), true, true},
        {-50, kNetwork, false, false},
        {-45, kServer, false, false},
        {-40, kServer, false, false},
        {-4, kServer, false, false},
        {-30, kDiskSpace, true, false},
        {-20, kWritePermission, true, true},
        {-8, kPrevious, false, false},
        {-60, withCode(kDownloadProblem, "A12E5"), true, true},
        {0, withCode(kDownloadProblem, "A12E5"), true, true},
        {-1, withCode(kDownloadProblem, "A12E5"), true, true},
        {-999, withCode(kDownloadProblem, "A12E5"), true, true},
        {17, withCode(kDownloadProblem, "A12E5"), true, true},
    };
    for (const auto& c : cases) {
        for (int extended : {0, -1, 404, 12345}) {
            setPrevious(utils);
            std::string text;
            int errorType = c.errorType;
            bool fatal = !c.fatal;
            bool showLink = !c.showLink;
            EXPECT_TRUE(resolveDownloadError(text, errorType, extended, utils.dictionaryHandle(), fatal, showLink));
            EXPECT_EQ(text, c.text) << c.errorType << "/" << extended;
            EXPECT_EQ(fatal, c.fatal) << c.errorType << "/" << extended;
            EXPECT_EQ(showLink, c.showLink) << c.errorType << "/" << extended;
        }
    }
}

TEST(ErrorMessages, ProxyAuthenticationKeepsThePreviousTextEvenAfterAnInstallError) {
    ZORUtils utils;
    std::string text;
    int actionType = 1;
    int resultCode = 504;
    bool showLink = false;
    resolveInstallError(text, actionType, resultCode, utils.dictionaryHandle(), showLink);
    int errorType = -8;
    int extended = 0;
    bool fatal = true;
    std::string after;
    resolveDownloadError(after, errorType, extended, utils.dictionaryHandle(), fatal, showLink);
    // The kept text is the looked-up one, its placeholder back in place: the code goes only
    // into the copy a row with the link returns.
    EXPECT_EQ(after, withCode(kInstallProblem, "@#<error number>@#"));
    EXPECT_FALSE(fatal);
    EXPECT_FALSE(showLink);
}

TEST(ErrorMessages, TranslatedTextsGetTheirCodeAndUntranslatedKeysTheirDefault) {
    test_support::TemporaryEnvironment env;
    const std::string folder = env.base() + "/Resources/Dictionary/fr_FR";
    std::filesystem::create_directories(folder);
    test_support::writeFile(
        folder + "/stringTable.zdct",
        stringtable::writeVersion2({
            {"/ZOR/DownloadUnknownErrorScreen", u"Probl\u00E8me de t\u00E9l\u00E9chargement (@#code@#), voir @#x@#."},
            {"/ZOR/ZAMInstallFailed", u"\u00C9chec de l'installation @#n@#."},
            {"/ZOR/ServerErrorText", u"Serveur @#n@# indisponible."},
        }));
    test_support::ScopedEnvironment resources(platform::kResourcesFolderVariable, env.base() + "/Resources");
    struct French : platform::UserLanguages {
        platform::LanguagePreferences read() const override { return {std::string("fr_FR"), {"fr-FR"}}; }
    };
    ZORUtils utils;
    ASSERT_TRUE(utils.loadDictionary(French()));

    std::string text;
    int extended = 0;
    bool fatal = false;
    bool showLink = false;
    int errorType = -60;
    resolveDownloadError(text, errorType, extended, utils.dictionaryHandle(), fatal, showLink);
    EXPECT_EQ(text, "Probl\xC3\xA8me de t\xC3\xA9l\xC3\xA9"
                    "chargement (A12E5), voir @#x@#.");
    // No link: the placeholder stays.
    errorType = -45;
    resolveDownloadError(text, errorType, extended, utils.dictionaryHandle(), fatal, showLink);
    EXPECT_EQ(text, "Serveur @#n@# indisponible.");
    // A row with the link but no code of its own uses the default code.
    int actionType = 1;
    int resultCode = 10;
    resolveInstallError(text, actionType, resultCode, utils.dictionaryHandle(), showLink);
    EXPECT_EQ(text, std::string("\xC3\x89"
                                "chec de l'installation ") +
                        kDefaultErrorCode + ".");
    EXPECT_TRUE(showLink);
    // A key the table lacks: its default text.
    resultCode = -18;
    resolveInstallError(text, actionType, resultCode, utils.dictionaryHandle(), showLink);
    EXPECT_EQ(text, kDiskSpace);
}

TEST(ErrorMessages, ANullDictionaryGivesTheDefaults) {
    std::string text;
    int errorType = -90;
    int extended = 0;
    bool fatal = false;
    bool showLink = false;
    resolveDownloadError(text, errorType, extended, nullptr, fatal, showLink);
    EXPECT_EQ(text, withCode(kNotResponding, "A12E4"));
}

}  // namespace
