// DEZReporter: collects the common attributes once and posts each event through the dez functions.
#include "bootstrapper/support/DEZReporter.h"

#include "bootstrapper/support/MSPVersionComparator.h"
#include "bootstrapper/support/ZAMEEUtilities.h"
#include "foundation/utils/CommandLineParser.h"
#include "foundation/utils/StringUtils.h"
#include "foundation/utils/XMLParser.h"
#include "telemetry/DEZInterface.h"

DEZReporter* DEZReporter::instance_ = nullptr;
std::string DEZReporter::clientVersion_;

void DEZReporter::setClientVersion(const std::string& version) { clientVersion_ = version; }

// Unguarded: only the workflow worker creates the reporter, and the facade destroys it after
// the worker was joined.
DEZReporter* DEZReporter::getInstance() {
    if (!instance_) instance_ = new DEZReporter();
    return instance_;
}

void DEZReporter::destroyInstance() {
    delete instance_;
    instance_ = nullptr;
}

DEZReporter::DEZReporter() : logger_("ZOR", "", "Download", "ZOR", "DEZ") {
    dezInit(&logger_, kEnvironment, nullptr, nullptr);
    dezCreateCAD(&cadGuid_, kClientAppName, clientVersion_.c_str(), "zarvoappmgr");
}

DEZReporter::~DEZReporter() { dezShutDown(); }

std::string DEZReporter::osVersionText() {
    int version[3] = {};
    if (!ZAMEEUtilities::getOSVersion(version)) {
        logger_.log(zezu::WARN, "", "", "Unable to find osVersion...");
        return {};
    }
    return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." + std::to_string(version[2]);
}

std::string DEZReporter::newVersionText(const std::string& versionFilePath) {
    ZEZUUtils::XMLParser parser;
    std::string version;
    if (versionFilePath.empty() || !parser.initWithXMLPath(versionFilePath) ||
        !parser.stringValueForXQuery(MSPVersionComparator::kVersionQuery, version)) {
        logger_.log(zezu::WARN, "", "", "Unable to find new MSP version...");
        return {};
    }
    return version;
}

void DEZReporter::collectAttributes(DEZSessionValues& session) {
    attributes_["OS_Version"] = osVersionText();
    attributes_["Installed_MSP_Ver"] = session.installedVersion;
    attributes_["New_MSP_Ver"] = newVersionText(session.versionFilePath);

    std::string sessionId = session.sessionId ? *session.sessionId : std::string();
    if (sessionId.empty() && session.commandLine) session.commandLine->getValueForArgument("sessionId", sessionId);
    if (sessionId.empty()) StringUtils::GUIDString(sessionId);
    if (session.sessionId) *session.sessionId = sessionId;
    attributes_["SessionId"] = sessionId;

    std::string userId = session.userId ? *session.userId : std::string();
    if (userId.empty() && session.commandLine) session.commandLine->getValueForArgument("userId", userId);
    if (session.userId) *session.userId = userId;
    attributes_["UserId"] = userId;

    attributes_["ComponentName"] = kClientAppName;
}

bool DEZReporter::sendInstallEvent(const std::string& eventName, DEZSessionValues& session) {
    if (attributes_.empty()) collectAttributes(session);
    std::map<std::string, std::string> properties = attributes_;
    properties["EventName"] = eventName;
    properties["Error_Code"] = std::to_string(session.errorKind);
    properties["Error_Subcode"] = std::to_string(session.state);

    dezSetProxyAuthentication(session.proxyUsername.c_str(), session.proxyPassword.c_str());
    const char* eventGuid = nullptr;
    if (dezCreateEvent(&eventGuid, kEventCode, "NULL_SUB_CODE", nullptr, nullptr, nullptr, nullptr) == 0) {
        for (const auto& [name, value] : properties) dezSetEventProperty(eventGuid, name.c_str(), value.c_str());
        dezSendEvent(cadGuid_, eventGuid, kSendAtOnce);
    }
    return true;
}
