// DEZReporter: the bootstrapper's telemetry reporter, sending each milestone as an install event.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "foundation/logging/Logger.h"

namespace ZEZUUtils {
class CommandLineParser;
}

// What an install event takes from the session record. sessionId and userId point at the
// record's own fields: an empty one is filled (from the command line, for the session id else a
// new GUID) when the attributes are collected, so the record keeps the value the events carry.
struct DEZSessionValues {
    int32_t errorKind = 0;
    int32_t state = 0;
    std::string installedVersion;
    std::string versionFilePath;
    std::string proxyUsername;
    std::string proxyPassword;
    const ZEZUUtils::CommandLineParser* commandLine = nullptr;  // none: no command-line values
    std::string* sessionId = nullptr;                             // none: treated as empty, not stored
    std::string* userId = nullptr;
};

// Created on the first event, on the workflow worker; destroyed by the facade at shutdown.
class DEZReporter {
public:
    static constexpr const char* kClientAppName = "MSP_ZOR";
    static constexpr const char* kEventCode = "MSP_INSTALL_EVENT";
    static constexpr int32_t kEnvironment = 7;
    static constexpr int32_t kSendAtOnce = 1;

    // The version given to the client-application descriptor of a reporter created later.
    static void setClientVersion(const std::string& version);
    static DEZReporter* getInstance();
    static void destroyInstance();

    // Always true: a failed send is not reported.
    bool sendInstallEvent(const std::string& eventName, DEZSessionValues& session);

    // The common attributes as collected by the first event (empty before it).
    const std::map<std::string, std::string>& attributes() const { return attributes_; }

    DEZReporter(const DEZReporter&) = delete;
    DEZReporter& operator=(const DEZReporter&) = delete;

private:
    DEZReporter();
    ~DEZReporter();

    void collectAttributes(DEZSessionValues& session);
    std::string osVersionText();
    std::string newVersionText(const std::string& versionFilePath);

    std::map<std::string, std::string> attributes_;
    zezu::Logger logger_;
    const char* cadGuid_ = nullptr;  // owned by the telemetry client until dezShutDown

    static DEZReporter* instance_;
    static std::string clientVersion_;
};
