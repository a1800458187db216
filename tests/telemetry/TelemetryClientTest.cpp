// The telemetry client end to end: dez functions, posted XML, queue and sender, workflow id.
#include <gtest/gtest.h>
#include <pugixml.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "platform/ProxySettings.h"
#include "telemetry/AsynchEventProcessor.h"
#include "telemetry/DEZInterface.h"
#include "telemetry/DEZManager.h"
#include "telemetry/TestSeams.h"
#include "tests/support/FileContents.h"
#include "tests/support/LoopbackHttpPeer.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

using test_peers::LoopbackHttpPeer;
using test_peers::PeerAnswer;
using test_peers::httpResponse;

PeerAnswer accepted(const std::string&, std::size_t) { return PeerAnswer::reply(httpResponse(200, "<ok/>")); }

std::string bodyOf(const std::string& request) { return request.substr(request.find("\r\n\r\n") + 4); }

using test_support::readFile;
using test_support::writeFile;

// One posted document, read back with a real XML parser.
struct PostedEvent {
    std::vector<std::string> elements;                        // children of HostedServicesEvent
    std::map<std::string, std::string> values;                // their texts
    std::vector<std::pair<std::string, std::string>> params;  // eventParam name, text
    int eventCount = 0;
    std::string root;
};

PostedEvent parsePosted(const std::string& request) {
    PostedEvent posted;
    pugi::xml_document document;
    const std::string body = bodyOf(request);
    EXPECT_TRUE(document.load_buffer(body.data(), body.size())) << body;
    const auto root = document.document_element();
    posted.root = root.name();
    for (const auto& event : root.children()) {
        ++posted.eventCount;
        if (posted.eventCount > 1) {
            continue;
        }
        for (const auto& child : event.children()) {
            posted.elements.emplace_back(child.name());
            posted.values[child.name()] = child.child_value();
        }
        for (const auto& param : event.child("eventParamData").children("eventParam")) {
            posted.params.emplace_back(param.attribute("name").value(), param.child_value());
        }
    }
    return posted;
}

class TelemetryClient : public ::testing::Test {
protected:
    void SetUp() override {
        environment_ = std::make_unique<test_support::TemporaryEnvironment>();
        for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "no_proxy"}) {
            ::unsetenv(name);
        }
        platform::ProxySettings::refresh();
        DEZFramework::testing::setRequestTimeout(10);
    }
    void TearDown() override {
        EXPECT_EQ(dezShutDown(), 0);
        ::unsetenv(DEZFramework::kEventServiceUrlVariable);
        ::unsetenv("http_proxy");
        platform::ProxySettings::refresh();
        DEZFramework::testing::setRequestTimeout(30);
        DEZFramework::testing::setStopWait(std::chrono::milliseconds(-1));
        environment_.reset();
    }
    void useService(const LoopbackHttpPeer& peer) {
        ::setenv(DEZFramework::kEventServiceUrlVariable, peer.baseUrl().c_str(), 1);
        ASSERT_EQ(dezInit(nullptr, 7, nullptr, nullptr), 0);
    }
    const char* makeCad() {
        const char* cad = nullptr;
        EXPECT_EQ(dezCreateCAD(&cad, "MSP_ZOR", "1.2.3", "zarvoappmgr"), 0);
        return cad;
    }
    const char* makeEvent() {
        const char* event = nullptr;
        EXPECT_EQ(dezCreateEvent(&event, "MSP_INSTALL_EVENT", "NULL_SUB_CODE", nullptr, nullptr, nullptr, nullptr), 0);
        return event;
    }
    std::string workflowIdFile() const {
        return environment_->home() + "/Library/Application Support/Zarvo/ZEZU/temp_zor_wid";
    }

    std::unique_ptr<test_support::TemporaryEnvironment> environment_;
};

TEST_F(TelemetryClient, EndpointsByEnvironment) {
    struct Case {
        DEZ_Environment environment;
        const char* baseURL;
        const char* path;
    } cases[] = {
        {0, "https://events.zarvo.example", "/hsmessaging/rest"},
        {1, "https://dev.events.zarvo.example", "/hsmessaging/rest"},
        {2, "https://qa.events.zarvo.example", "/hsmessaging/rest"},
        {3, "https://qa.events.zarvo.example", "/hsmessaging/rest?env=qa2"},
        {4, "https://stage.events.zarvo.example", "/hsmessaging/rest"},
        {5, "https://stage.events.zarvo.example", "/hsmessaging/rest?env=PR-Prod"},
        {6, "https://stage.events.zarvo.example", "/hsmessaging/rest"},
        {7, "https://events.zarvo.example", "/hsmessaging/rest"},
    };
    auto* manager = DEZFramework::DEZManager::getInstance();
    for (const auto& c : cases) {
        EXPECT_EQ(dezInit(nullptr, c.environment, nullptr, nullptr), 0);
        EXPECT_EQ(manager->getBaseURL(), c.baseURL) << c.environment;
        EXPECT_EQ(manager->getPath(), c.path) << c.environment;
    }
    ::setenv(DEZFramework::kEventServiceUrlVariable, "http://127.0.0.1:9", 1);
    EXPECT_EQ(dezInit(nullptr, 3, nullptr, nullptr), 0);
    EXPECT_EQ(manager->getBaseURL(), "http://127.0.0.1:9");
    EXPECT_EQ(manager->getPath(), "/hsmessaging/rest?env=qa2");
}

TEST_F(TelemetryClient, ArgumentChecksAndUnknownHandles) {
    EXPECT_EQ(dezShutDown(), 0);  // nothing initialised yet
    LoopbackHttpPeer peer(accepted);
    useService(peer);
    const char* cad = makeCad();
    const char* out = nullptr;
    EXPECT_EQ(dezCreateCAD(nullptr, "a", "b", "c"), -3);
    EXPECT_EQ(dezCreateCAD(&out, "a", nullptr, "c"), -3);
    EXPECT_EQ(dezCreateEvent(nullptr, "c", "s", nullptr, nullptr, nullptr, nullptr), -3);
    EXPECT_EQ(dezCreateEvent(&out, "", "s", nullptr, nullptr, nullptr, nullptr), -3);
    EXPECT_EQ(dezCreateEvent(&out, "c", nullptr, nullptr, nullptr, nullptr, nullptr), -3);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(dezSetProxyAuthentication(nullptr, "p"), -3);

    const char* event = makeEvent();
    EXPECT_EQ(dezSetEventProperty(event, nullptr, "v"), -3);
    EXPECT_EQ(dezSendEvent(nullptr, event, 1), -3);
    // Events are found by their pointer, not by their text.
    const std::string copy = event;
    EXPECT_EQ(dezSetEventProperty(copy.c_str(), "A", "1"), -7);
    EXPECT_EQ(dezSendEvent(cad, copy.c_str(), 1), -7);
    // An unknown descriptor leaves the event pending and unsent.
    EXPECT_EQ(dezSendEvent("no-such-cad", event, 1), -8);
    EXPECT_EQ(dezSetEventProperty(event, "A", "1"), 0);
    EXPECT_TRUE(peer.requests().empty());
    // Descriptors are found by their text.
    const std::string cadCopy = cad;
    EXPECT_EQ(dezSendEvent(cadCopy.c_str(), event, 1), 0);
    EXPECT_EQ(dezSendEvent(cad, event, 1), -7);  // taken by the first send
    EXPECT_EQ(dezSetEventProperty(event, "B", "2"), -7);
    EXPECT_EQ(peer.requests().size(), 1u);
}

TEST_F(TelemetryClient, PostsOneEventListWithTheFieldsAndPropertiesInOrder) {
    LoopbackHttpPeer peer(accepted);
    useService(peer);
    const char* cad = makeCad();
    const char* event = nullptr;
    ASSERT_EQ(dezCreateEvent(&event, "MSP_INSTALL_EVENT", "NULL_SUB_CODE", nullptr, "act", nullptr, "b&c"), 0);
    EXPECT_EQ(dezSetEventProperty(event, "Error_Code", "1"), 0);
    EXPECT_EQ(dezSetEventProperty(event, "EventName", "MSP_BOOTSTRAP_DL_START"), 0);
    EXPECT_EQ(dezSetEventProperty(event, "Error_Code", "7"), 0);
    ASSERT_EQ(dezSendEvent(cad, event, 1), 0);

    ASSERT_EQ(peer.requests().size(), 1u);
    const std::string request = peer.requests()[0];
    EXPECT_EQ(request.rfind("POST /hsmessaging/rest HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("\r\nUser-Agent: Morvane Studio\r\n"), std::string::npos);
    EXPECT_NE(request.find("\r\nContent-Type: text/xml; charset=utf-8\r\n"), std::string::npos);
    EXPECT_NE(request.find("\r\nConnection: close\r\n"), std::string::npos);
    EXPECT_EQ(request.find("Accept"), std::string::npos);

    const PostedEvent posted = parsePosted(request);
    EXPECT_EQ(posted.root, "eventList");
    EXPECT_EQ(posted.eventCount, 1);
    EXPECT_EQ(posted.elements,
              (std::vector<std::string>{"eventGuid", "eventDts", "eventCode", "eventSubCode", "eventSource",
                                        "eventReqActionCode", "blob", "eventParamData"}));
    EXPECT_EQ(posted.values.at("eventGuid"), event);
    EXPECT_EQ(posted.values.at("eventSource"), "zarvoappmgr.MSP_ZOR.1.2.3");
    EXPECT_EQ(posted.values.at("blob"), "b&c");
    ASSERT_EQ(posted.params.size(), 4u);
    EXPECT_EQ(posted.params[0], std::make_pair(std::string("EventName"), std::string("MSP_BOOTSTRAP_DL_START")));
    EXPECT_EQ(posted.params[1], std::make_pair(std::string("Error_Code"), std::string("7")));
    EXPECT_EQ(posted.params[2].first, "TimeStamp");
    EXPECT_EQ(posted.params[2].second, posted.values.at("eventDts"));
    EXPECT_TRUE(
        std::regex_match(posted.params[2].second, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)")));
    EXPECT_EQ(posted.params[3].first, "zorWorkflowID");
    EXPECT_EQ(posted.params[3].second, readFile(workflowIdFile()));
}

TEST_F(TelemetryClient, CallersWorkflowIdIsKept) {
    LoopbackHttpPeer peer(accepted);
    useService(peer);
    const char* cad = makeCad();
    const char* event = makeEvent();
    EXPECT_EQ(dezSetEventProperty(event, "zorWorkflowID", "{MINE}"), 0);
    ASSERT_EQ(dezSendEvent(cad, event, 1), 0);
    const PostedEvent posted = parsePosted(peer.requests().at(0));
    ASSERT_EQ(posted.params.size(), 2u);
    EXPECT_EQ(posted.params[0], std::make_pair(std::string("zorWorkflowID"), std::string("{MINE}")));
    EXPECT_EQ(posted.params[1].first, "TimeStamp");
}

TEST_F(TelemetryClient, FailedImmediateSendsKeepTheEventPending) {
    struct Case {
        const char* name;
        PeerAnswer answer;
        int result;
    } cases[] = {
        {"server error", PeerAnswer::reply(httpResponse(500, "no")), -1},
        {"closed without an answer", PeerAnswer::close(), -1},
        {"proxy authentication without credentials",
         PeerAnswer::reply(httpResponse(407, "", {{"Proxy-Authenticate", "Basic realm=\"p\""}})), -9},
    };
    for (const auto& c : cases) {
        std::atomic<bool> failing{true};
        LoopbackHttpPeer peer([&](const std::string&, std::size_t) {
            return failing ? c.answer : PeerAnswer::reply(httpResponse(200, "ok"));
        });
        useService(peer);
        const char* cad = makeCad();
        const char* event = makeEvent();
        EXPECT_EQ(dezSendEvent(cad, event, 1), c.result) << c.name;
        // Still pending: it takes more properties and goes out on the next try.
        failing = false;
        EXPECT_EQ(dezSetEventProperty(event, "Retry", "yes"), 0) << c.name;
        EXPECT_EQ(dezSendEvent(cad, event, 1), 0) << c.name;
        const PostedEvent resent = parsePosted(peer.requests().back());
        ASSERT_GE(resent.params.size(), 3u) << c.name;
        // The retry moves TimeStamp behind the property added in between.
        EXPECT_EQ(resent.params.back().first, "TimeStamp") << c.name;
        EXPECT_EQ(dezShutDown(), 0);
    }
}

TEST_F(TelemetryClient, TimedOutSendGivesMinusFive) {
    LoopbackHttpPeer silent([](const std::string&, std::size_t) { return PeerAnswer::silent(); });
    DEZFramework::testing::setRequestTimeout(1);
    useService(silent);
    const char* cad = makeCad();
    const char* event = makeEvent();
    EXPECT_EQ(dezSendEvent(cad, event, 1), -5);
    EXPECT_EQ(dezSetEventProperty(event, "Still", "pending"), 0);
}

TEST_F(TelemetryClient, ProxyCredentialsFromInitAnswerTheProxy) {
    // A loopback peer in the proxy's place, which wants "user:secret".
    LoopbackHttpPeer proxy(test_peers::proxyWantingUserSecret);
    ::setenv("http_proxy", proxy.baseUrl().c_str(), 1);
    platform::ProxySettings::refresh();
    ::setenv(DEZFramework::kEventServiceUrlVariable, "http://events.test", 1);
    ASSERT_EQ(dezInit(nullptr, 7, "user", "secret"), 0);
    const char* cad = makeCad();
    const char* event = makeEvent();
    EXPECT_EQ(dezSendEvent(cad, event, 1), 0);
    EXPECT_NE(proxy.requests().back().find("POST http://events.test/hsmessaging/rest HTTP/1.1"), std::string::npos);
    // One POST without credentials, one with Basic: no probe for the method in between.
    EXPECT_EQ(proxy.requests().size(), 2u);

    EXPECT_EQ(dezSetProxyAuthentication("user", "wrong"), 0);
    const char* second = makeEvent();
    EXPECT_EQ(dezSendEvent(cad, second, 1), -1);  // 191: the credentials were refused
}

TEST_F(TelemetryClient, QueuedEventsAreSentInOrderBeforeShutdownReturns) {
    LoopbackHttpPeer peer(accepted);
    useService(peer);
    const char* cad = makeCad();
    std::vector<std::string> guids;
    for (int i = 0; i < 3; ++i) {
        const char* event = makeEvent();
        guids.emplace_back(event);
        EXPECT_EQ(dezSetEventProperty(event, "Index", std::to_string(i).c_str()), 0);
        // The descriptor GUID is handed over as a copy that dies at once: the sender must
        // not depend on it.
        auto cadCopy = std::make_unique<std::string>(cad);
        EXPECT_EQ(dezSendEvent(cadCopy->c_str(), event, 2), 0);
        cadCopy.reset();
        EXPECT_EQ(dezSendEvent(cad, event, 2), -7);  // already taken
    }
    EXPECT_EQ(dezShutDown(), 0);  // joins the sender after it drained the queue
    const auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 3u);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const PostedEvent posted = parsePosted(requests[i]);
        EXPECT_EQ(posted.values.at("eventGuid"), guids[i]);
        EXPECT_EQ(posted.values.at("eventSource"), "zarvoappmgr.MSP_ZOR.1.2.3");
        EXPECT_EQ(posted.params.at(0), std::make_pair(std::string("Index"), std::to_string(i)));
    }
    // A later call starts a new, empty manager.
    const char* event = nullptr;
    EXPECT_EQ(dezCreateEvent(&event, "c", "s", nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(dezSendEvent("old-cad", event, 1), -8);
}

TEST_F(TelemetryClient, ShutdownWaitIsBounded_TheRestIsDropped) {
    LoopbackHttpPeer silent([](const std::string&, std::size_t) { return PeerAnswer::silent(); });
    DEZFramework::testing::setRequestTimeout(1);
    DEZFramework::testing::setStopWait(std::chrono::milliseconds(300));
    useService(silent);
    const char* cad = makeCad();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(dezSendEvent(cad, makeEvent(), 2), 0);
    }
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(dezShutDown(), 0);
    // The send in flight ends within its one-second deadline; the other four are dropped.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
    EXPECT_LE(silent.requests().size(), 2u);
}

TEST_F(TelemetryClient, HttpsServiceTrustedThroughSslCertFile) {
    const std::string folder = test_support::makeTemporaryFolder("telemetry-tls");
    ASSERT_TRUE(test_peers::makeTestCertificates(folder));
    ::setenv("SSL_CERT_FILE", (folder + "/ca.pem").c_str(), 1);
    {
        LoopbackHttpPeer tls(accepted, folder + "/valid.pem", folder + "/server.key");
        useService(tls);
        const char* cad = makeCad();
        EXPECT_EQ(dezSendEvent(cad, makeEvent(), 1), 0);
        EXPECT_EQ(tls.requests().size(), 1u);
        LoopbackHttpPeer untrusted(accepted, folder + "/selfsigned.pem", folder + "/server.key");
        useService(untrusted);
        EXPECT_EQ(dezSendEvent(cad, makeEvent(), 1), -1);
        EXPECT_TRUE(untrusted.requests().empty());
        EXPECT_EQ(dezShutDown(), 0);
    }
    ::unsetenv("SSL_CERT_FILE");
    test_support::removeTree(folder);
}

TEST_F(TelemetryClient, WorkflowIdFileIsMadeReusedAndRewrittenWhenShort) {
    const std::string file = workflowIdFile();
    const std::string home = environment_->home();
    const bool asRoot = ::geteuid() == 0;
    if (asRoot) {
        // The folders must end up the user's, as the nearest existing folder is.
        for (const std::string& existing : {home, home + "/Library", home + "/Library/Application Support"}) {
            ::mkdir(existing.c_str(), 0755);
            ASSERT_EQ(::chown(existing.c_str(), 4321, 4321), 0) << existing;
        }
    }
    const std::string made = DEZFramework::fetchWorkflowID();
    EXPECT_TRUE(
        std::regex_match(made, std::regex(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\})")))
        << made;
    EXPECT_EQ(readFile(file), made);
    for (const std::string& folder :
         {home + "/Library/Application Support/Zarvo", home + "/Library/Application Support/Zarvo/ZEZU"}) {
        struct stat st {};
        ASSERT_EQ(::stat(folder.c_str(), &st), 0) << folder;
        EXPECT_EQ(st.st_mode & 07777, 0755u) << folder;
        if (asRoot) {
            EXPECT_EQ(st.st_uid, 4321u) << folder;
            EXPECT_EQ(st.st_gid, 4321u) << folder;
        }
    }
    EXPECT_EQ(DEZFramework::fetchWorkflowID(), made);  // reused, not remade

    writeFile(file, "{ABCDEF01-2345-6789-ABCD-EF0123456789}xy");  // 40 characters
    EXPECT_EQ(DEZFramework::fetchWorkflowID(), "{ABCDEF01-2345-6789-ABCD-EF0123456789}");
    writeFile(file, "{abcdef01-2345-6789-abcd-ef012345678}");  // 37 characters: too short
    const std::string remade = DEZFramework::fetchWorkflowID();
    EXPECT_EQ(remade.size(), 38u);
    EXPECT_NE(remade.find('{'), std::string::npos);
    EXPECT_EQ(readFile(file), remade);
}

}  // namespace
