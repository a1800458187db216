// The telemetry reporter end to end: its events as a loopback event service receives them.
#include "bootstrapper/support/DEZReporter.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "foundation/utils/CommandLineParser.h"
#include "platform/ProxySettings.h"
#include "platform/TestSeams.h"
#include "platform/UserFolders.h"
#include "telemetry/DEZManager.h"
#include "telemetry/TestSeams.h"
#include "tests/support/LogFacadeHome.h"
#include "tests/support/LoopbackHttpPeer.h"
#include "tests/support/RecordingLogTarget.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

using test_support::RecordingLogTarget;
using test_peers::LoopbackHttpPeer;
using test_peers::PeerAnswer;
using test_peers::httpResponse;
using Properties = std::vector<std::pair<std::string, std::string>>;

// A GUID text as the string utilities make it: upper-case hexadecimal in groups 8-4-4-4-12.
bool isGuid(const std::string& text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

struct PostedEvent {
    std::map<std::string, std::string> fields;  // the event's own elements
    Properties properties;                      // eventParam name and text, in order
};

PostedEvent parsePosted(const std::string& request) {
    PostedEvent posted;
    const std::string body = request.substr(request.find("\r\n\r\n") + 4);
    pugi::xml_document document;
    EXPECT_TRUE(document.load_buffer(body.data(), body.size())) << body;
    const auto event = document.child("eventList").child("HostedServicesEvent");
    for (const auto& child : event.children()) posted.fields[child.name()] = child.child_value();
    for (const auto& param : event.child("eventParamData").children("eventParam")) {
        posted.properties.emplace_back(param.attribute("name").value(), param.child_value());
    }
    return posted;
}

// The reporter's own properties: what the telemetry client adds after them is not its concern.
Properties reporterProperties(const PostedEvent& posted) {
    Properties own;
    for (const auto& property : posted.properties) {
        if (property.first != "TimeStamp" && property.first != "zorWorkflowID") own.push_back(property);
    }
    return own;
}

std::string propertyOf(const PostedEvent& posted, const std::string& name) {
    for (const auto& property : posted.properties) {
        if (property.first == name) return property.second;
    }
    return "<absent>";
}

class DEZReporterTest : public ::testing::Test {
protected:
    void SetUp() override {
        sessionState_ = environment_.base() + "/no-seats";
        std::filesystem::create_directories(sessionState_);
        platform::testing::setSessionStateFolder(sessionState_);
        for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "no_proxy"}) {
            ::unsetenv(name);
        }
        platform::ProxySettings::refresh();
        DEZFramework::testing::setRequestTimeout(10);
        writeSystemVersion("10.14.6");
        DEZReporter::setClientVersion("1.2.3.4");
        useService(sink_.baseUrl());
    }
    void TearDown() override {
        DEZReporter::destroyInstance();
        ::unsetenv(DEZFramework::kEventServiceUrlVariable);
        ::unsetenv("http_proxy");
        platform::ProxySettings::refresh();
        DEZFramework::testing::setRequestTimeout(30);
        DEZReporter::setClientVersion("");
        platform::testing::setSessionStateFolder("");
    }

    static void useService(const std::string& url) { ::setenv(DEZFramework::kEventServiceUrlVariable, url.c_str(), 1); }
    void writeSystemVersion(const std::string& version) {
        const std::string folder = environment_.localRoot() + "/System/Library/CoreServices";
        std::filesystem::create_directories(folder);
        std::ofstream(folder + "/SystemVersion.plist")
            << "<plist version=\"1.0\"><dict><key>ProductVersion</key><string>" << version
            << "</string></dict></plist>";
    }
    std::string versionFile(const std::string& version) {
        const std::string path = environment_.base() + "/version-" + version + ".xml";
        std::ofstream(path) << "<MSP><Macintosh><Version>" << version << "</Version></Macintosh></MSP>";
        return path;
    }
    std::vector<PostedEvent> posted() const {
        std::vector<PostedEvent> events;
        for (const auto& request : sink_.requests()) events.push_back(parsePosted(request));
        return events;
    }

    test_support::TemporaryEnvironment environment_;
    std::string sessionState_;
    LoopbackHttpPeer sink_{
        [](const std::string&, std::size_t) { return PeerAnswer::reply(httpResponse(200, "<ok/>")); }};
};

TEST_F(DEZReporterTest, EventCarriesTheSessionAttributesInKeyOrder) {
    std::string sessionId = "SESSION-1", userId = "USER-1";
    DEZSessionValues session;
    session.errorKind = 0;
    session.state = 8;
    session.installedVersion = "1.14.0.59";
    session.versionFilePath = versionFile("1.14.0.60");
    session.sessionId = &sessionId;
    session.userId = &userId;
    RecordingLogTarget log;
    EXPECT_TRUE(DEZReporter::getInstance()->sendInstallEvent("MSP_BOOTSTRAP_DL_START", session));

    const auto events = posted();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].fields.at("eventCode"), "MSP_INSTALL_EVENT");
    EXPECT_EQ(events[0].fields.at("eventSubCode"), "NULL_SUB_CODE");
    EXPECT_EQ(events[0].fields.at("eventSource"), "zarvoappmgr.MSP_ZOR.1.2.3.4");
    EXPECT_EQ(reporterProperties(events[0]), (Properties{
                                                 {"ComponentName", "MSP_ZOR"},
                                                 {"Error_Code", "0"},
                                                 {"Error_Subcode", "8"},
                                                 {"EventName", "MSP_BOOTSTRAP_DL_START"},
                                                 {"Installed_MSP_Ver", "1.14.0.59"},
                                                 {"New_MSP_Ver", "1.14.0.60"},
                                                 {"OS_Version", "10.14.6"},
                                                 {"SessionId", "SESSION-1"},
                                                 {"UserId", "USER-1"},
                                             }));
    // The telemetry client logs through the reporter's logger, into the bootstrapper's log.
    EXPECT_GE(log.count(zezu::DEBUG, "DEZ", "Events sent successfully"), 1) << log.dump();
}

TEST_F(DEZReporterTest, AttributesKeepTheirFirstValuesForTheRun) {
    std::string sessionId = "S", userId;
    DEZSessionValues session;
    session.state = 8;
    session.versionFilePath = environment_.base() + "/not-downloaded-yet.xml";
    session.sessionId = &sessionId;
    session.userId = &userId;
    RecordingLogTarget log;
    DEZReporter* reporter = DEZReporter::getInstance();
    EXPECT_TRUE(reporter->sendInstallEvent("MSP_BOOTSTRAP_DL_START", session));

    // Later in the run: the version file arrived, and an error is shown.
    session.installedVersion = "1.0.0.0";
    session.versionFilePath = versionFile("2.0.0.0");
    session.errorKind = 4;
    session.state = 13;
    sessionId = "CHANGED";
    EXPECT_TRUE(reporter->sendInstallEvent("MSP_BOOTSTRAP_DL_END", session));

    const auto events = posted();
    ASSERT_EQ(events.size(), 2u);
    for (const auto& event : events) {
        EXPECT_EQ(propertyOf(event, "New_MSP_Ver"), "");
        EXPECT_EQ(propertyOf(event, "Installed_MSP_Ver"), "");
        EXPECT_EQ(propertyOf(event, "SessionId"), "S");
    }
    EXPECT_EQ(propertyOf(events[1], "EventName"), "MSP_BOOTSTRAP_DL_END");
    EXPECT_EQ(propertyOf(events[1], "Error_Code"), "4");
    EXPECT_EQ(propertyOf(events[1], "Error_Subcode"), "13");
    EXPECT_EQ(log.count(zezu::WARN, "DEZ", "Unable to find new MSP version..."), 1) << log.dump();
}

TEST_F(DEZReporterTest, SessionAndUserIdsComeFromTheSessionThenTheCommandLine) {
    struct Case {
        const char* name;
        const char* sessionId;
        const char* userId;
        std::vector<const char*> arguments;
        const char* expectedSessionId;  // none: a new GUID
        const char* expectedUserId;
    } cases[] = {
        {"session wins", "SID", "UID", {"--sessionId=cmd-sid", "--userId=cmd-uid"}, "SID", "UID"},
        {"command line", "", "", {"--sessionId=cmd-sid", "--userId=cmd-uid"}, "cmd-sid", "cmd-uid"},
        {"nothing given", "", "", {}, nullptr, ""},
        {"only a user", "", "", {"--userId=u7"}, nullptr, "u7"},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv = {const_cast<char*>("bootstrapper")};
        for (const char* argument : c.arguments) argv.push_back(const_cast<char*>(argument));
        ZEZUUtils::CommandLineParser commandLine;
        ASSERT_TRUE(commandLine.parseCommandLineArguments(static_cast<int>(argv.size()), argv.data()));
        std::string sessionId = c.sessionId, userId = c.userId;
        DEZSessionValues session;
        session.commandLine = &commandLine;
        session.sessionId = &sessionId;
        session.userId = &userId;
        const std::size_t before = sink_.requests().size();
        EXPECT_TRUE(DEZReporter::getInstance()->sendInstallEvent("MSP_BOOTSTRAP_DL_START", session)) << c.name;
        ASSERT_EQ(sink_.requests().size(), before + 1) << c.name;
        const PostedEvent event = parsePosted(sink_.requests().back());
        if (c.expectedSessionId) {
            EXPECT_EQ(sessionId, c.expectedSessionId) << c.name;
        } else {
            EXPECT_TRUE(isGuid(sessionId)) << c.name << ": " << sessionId;
        }
        // The record keeps what the event carried, so the installer later gets the same id.
        EXPECT_EQ(propertyOf(event, "SessionId"), sessionId) << c.name;
        EXPECT_EQ(userId, c.expectedUserId) << c.name;
        EXPECT_EQ(propertyOf(event, "UserId"), userId) << c.name;
        DEZReporter::destroyInstance();
    }
}

TEST_F(DEZReporterTest, WithoutARecordOrCommandLineTheIdsAreStillSent) {
    DEZSessionValues session;  // no fields to store back into
    EXPECT_TRUE(DEZReporter::getInstance()->sendInstallEvent("MSP_BOOTSTRAP_INSTALL_START", session));
    const auto events = posted();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(isGuid(propertyOf(events[0], "SessionId")));
    EXPECT_EQ(propertyOf(events[0], "UserId"), "");
}

TEST_F(DEZReporterTest, UnreadableSystemVersionSendsAnEmptyOneWithAWarning) {
    writeSystemVersion("not a version");
    RecordingLogTarget log;
    DEZSessionValues session;
    EXPECT_TRUE(DEZReporter::getInstance()->sendInstallEvent("MSP_BOOTSTRAP_DL_START", session));
    const auto events = posted();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(propertyOf(events[0], "OS_Version"), "");
    EXPECT_EQ(log.count(zezu::WARN, "DEZ", "Unable to find osVersion..."), 1) << log.dump();
}

TEST_F(DEZReporterTest, OneReporterUntilDestroyedThenAFreshOne) {
    DEZReporter::destroyInstance();  // none yet: nothing happens
    DEZReporter::destroyInstance();
    EXPECT_TRUE(sink_.requests().empty());

    DEZReporter* first = DEZReporter::getInstance();
    EXPECT_EQ(DEZReporter::getInstance(), first);
    DEZSessionValues session;
    session.installedVersion = "1.0.0.0";
    EXPECT_TRUE(first->sendInstallEvent("MSP_BOOTSTRAP_DL_START", session));
    DEZReporter::destroyInstance();

    // A new reporter registers its descriptor again, with the client version set by then,
    // and collects its attributes afresh.
    DEZReporter::setClientVersion("5.6.7.8");
    session.installedVersion = "2.0.0.0";
    EXPECT_TRUE(DEZReporter::getInstance()->sendInstallEvent("MSP_BOOTSTRAP_INSTALL_END", session));
    const auto events = posted();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].fields.at("eventSource"), "zarvoappmgr.MSP_ZOR.1.2.3.4");
    EXPECT_EQ(events[1].fields.at("eventSource"), "zarvoappmgr.MSP_ZOR.5.6.7.8");
    EXPECT_EQ(propertyOf(events[1], "Installed_MSP_Ver"), "2.0.0.0");
    EXPECT_NE(propertyOf(events[0], "SessionId"), propertyOf(events[1], "SessionId"));
}

TEST_F(DEZReporterTest, SessionProxyCredentialsAnswerTheProxyAndFailedSendsAreNotReported) {
    // A loopback peer in the proxy's place that wants "user:secret".
    LoopbackHttpPeer proxy(test_peers::proxyWantingUserSecret);
    ::setenv("http_proxy", proxy.baseUrl().c_str(), 1);
    platform::ProxySettings::refresh();
    useService("http://events.test");

    DEZSessionValues session;
    session.proxyUsername = "user";
    session.proxyPassword = "secret";
    DEZReporter* reporter = DEZReporter::getInstance();
    EXPECT_TRUE(reporter->sendInstallEvent("MSP_BOOTSTRAP_DL_START", session));
    ASSERT_FALSE(proxy.requests().empty());
    const std::string accepted = proxy.requests().back();
    EXPECT_NE(accepted.find("POST http://events.test/hsmessaging/rest HTTP/1.1"), std::string::npos) << accepted;
    EXPECT_NE(accepted.find("Proxy-Authorization: Basic dXNlcjpzZWNyZXQ="), std::string::npos);
    EXPECT_EQ(propertyOf(parsePosted(accepted), "EventName"), "MSP_BOOTSTRAP_DL_START");

    // Credentials changed in the session reach the next event; the refusal is not reported.
    session.proxyPassword = "wrong";
    const std::size_t before = proxy.requests().size();
    EXPECT_TRUE(reporter->sendInstallEvent("MSP_BOOTSTRAP_DL_END", session));
    ASSERT_GT(proxy.requests().size(), before);
    EXPECT_EQ(proxy.requests().back().find("dXNlcjpzZWNyZXQ="), std::string::npos);
    EXPECT_TRUE(sink_.requests().empty());
}

TEST_F(DEZReporterTest, ServiceFailuresAreNotReported) {
    LoopbackHttpPeer failing([](const std::string&, std::size_t index) {
        return index == 0 ? PeerAnswer::reply(httpResponse(500, "down")) : PeerAnswer::close();
    });
    useService(failing.baseUrl());
    DEZSessionValues session;
    DEZReporter* reporter = DEZReporter::getInstance();
    EXPECT_TRUE(reporter->sendInstallEvent("MSP_BOOTSTRAP_DL_START", session));
    EXPECT_TRUE(reporter->sendInstallEvent("MSP_BOOTSTRAP_DL_END", session));
    EXPECT_EQ(failing.requests().size(), 2u);
}

}  // namespace
