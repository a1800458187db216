// The telemetry manager: endpoints, descriptors and events, the eventList document, the POST.
#include "telemetry/DEZManager.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

#include "foundation/utils/FileUtils.h"
#include "foundation/utils/HTTPConnector.h"
#include "foundation/utils/StringUtils.h"
#include "foundation/utils/XMLParser.h"
#include "telemetry/AsynchEventProcessor.h"
#include "telemetry/ClientAppDescriptor.h"
#include "telemetry/DEZUtilities.h"
#include "telemetry/TelemetryLog.h"
#include "telemetry/TestSeams.h"

namespace DEZFramework {
namespace {

platform::Mutex instanceLock;  // the process-wide creation lock, there from program start
std::atomic<DEZManager*> instance{nullptr};
std::atomic<int32_t> requestTimeout{30};

// PathType codes: the console user's Application Support + "/Zarvo", and + "/Zarvo/ZEZU".
constexpr int kZarvoFolder = 19;
constexpr int kZezuFolder = 22;
constexpr const char* kWorkflowIdFileName = "temp_zor_wid";
constexpr std::size_t kWorkflowIdLength = 38;
constexpr const char* kDefaultWorkflowId = "{WDEFAULT-D7CA-4F31-B4C0-15DB86C98250}";
constexpr const char* kServicePath = "/hsmessaging/rest";

struct Endpoint {
    const char* host;
    const char* path;
};

Endpoint endpointOf(DEZ_Environment environment) {
    switch (environment) {
        case 1: return {"dev.events.zarvo.example", kServicePath};
        case 2: return {"qa.events.zarvo.example", kServicePath};
        case 3: return {"qa.events.zarvo.example", "/hsmessaging/rest?env=qa2"};
        case 4:
        case 6: return {"stage.events.zarvo.example", kServicePath};
        case 5: return {"stage.events.zarvo.example", "/hsmessaging/rest?env=PR-Prod"};
        default: return {"events.zarvo.example", kServicePath};
    }
}

std::string nativeToUTF8(const char* text) {
    std::string utf8;
    if (!::StringUtils::NativeToUTF8(text, utf8)) {
        utf8 = text;
    }
    return utf8;
}

// One folder of the workflow-id path, made when missing with the owner of its parent and
// mode 0755: it also holds the settings store, so nobody else may write in it.
bool ensureFolder(int pathType, std::string& folder) {
    if (!ZEZUUtils::FileUtils::GetDirectoryPath(pathType, folder)) {
        return false;
    }
    if (!ZEZUUtils::FileUtils::PathExists(folder)) {
        if (!ZEZUUtils::FileUtils::CreateDirectoryAtPath(folder, true)) {
            return false;
        }
        ::chmod(folder.c_str(), 0755);
    }
    return true;
}

}  // namespace

DEZManager* DEZManager::getInstance() {
    DEZManager* existing = instance.load();
    if (existing) {
        return existing;
    }
    platform::MutexLock hold(instanceLock);
    if (!instance.load()) {
        instance.store(new DEZManager());
    }
    return instance.load();
}

int DEZManager::shutDown() {
    if (!instance.load()) {
        return 0;
    }
    platform::MutexLock hold(instanceLock);
    // The sender goes first: its thread still sends events that belong to the manager.
    AsynchEventProcessor::finalize();
    delete instance.load();
    instance.store(nullptr);
    return 0;
}

DEZManager::~DEZManager() {
    pendingEvents.locked([](auto& map) { map.clear(); });
    sentEvents.locked([](auto& map) { map.clear(); });
}

int32_t DEZManager::requestTimeoutSeconds() { return requestTimeout.load(); }

void testing::setRequestTimeout(int32_t seconds) { requestTimeout.store(seconds); }

std::string DEZManager::getBaseURL() {
    platform::MutexLock hold(settingsMutex);
    return baseURL;
}

std::string DEZManager::getPath() {
    platform::MutexLock hold(settingsMutex);
    return path;
}

int DEZManager::init(void* newLogger, DEZ_Environment environment, const char* userName, const char* password) {
    logger.store(newLogger);
    const Endpoint endpoint = endpointOf(environment);
    const char* override = std::getenv(kEventServiceUrlVariable);
    {
        platform::MutexLock hold(settingsMutex);
        baseURL = override && *override ? override : std::string("https://") + endpoint.host;
        path = endpoint.path;
    }
    setProxyAuthentication(userName, password);
    AsynchEventProcessor::getInstance()->setLogger(newLogger);
    return 0;
}

int DEZManager::setProxyAuthentication(const char* userName, const char* password) {
    platform::MutexLock hold(settingsMutex);
    if (userName) {
        proxyUserName = nativeToUTF8(userName);
    }
    if (password) {
        proxyPassword = nativeToUTF8(password);
    }
    return 0;
}

int DEZManager::dezCreateCAD(const char** cadGuid, const char* clientAppName, const char* clientAppVersion,
                             const char* dezPrefix) {
    if (!cadGuid || !clientAppName || !clientAppVersion || !dezPrefix) {
        return -3;
    }
    ClientAppDescriptor descriptor;
    descriptor.clientAppName = clientAppName;
    descriptor.clientAppVersion = clientAppVersion;
    descriptor.dezPrefix = dezPrefix;
    std::string xml;
    if (!descriptor.toXMLString(xml)) {
        dezLog(logger.load(), zezu::ERROR, "Error contructing CAD xml");
        return -6;
    }
    const std::string eventSource = std::string(dezPrefix) + "." + clientAppName + "." + clientAppVersion;
    std::string guid;
    if (!getGUIDString(guid)) {
        return -2;
    }
    cadMap.insert(guid, {xml, eventSource});
    cadMap.locked([&](auto& map) {
        const auto found = map.find(guid);
        *cadGuid = found == map.end() ? nullptr : found->first.c_str();
        return 0;
    });
    return 0;
}

int DEZManager::createEvent(const char** eventGuid, const char* eventCode, const char* eventSubCode,
                            const char* userGuid, const char* reqActionCode, const char* userTID, const char* blob) {
    if (!eventGuid || !eventCode || !eventSubCode) {
        return -3;
    }
    std::string guid;
    if (!getGUIDString(guid)) {
        return -2;
    }
    auto record = std::make_unique<EventRecord>();
    record->event = std::make_unique<HostedServicesEvent>();
    HostedServicesEvent& event = *record->event;
    event.eventGuid = guid;
    event.eventCode = eventCode;
    event.eventSubCode = eventSubCode;
    event.userGuid = userGuid ? userGuid : "";
    event.eventReqActionCode = reqActionCode ? reqActionCode : "";
    event.userTID = userTID ? userTID : "";
    event.blob = blob ? blob : "";
    record->data = std::make_unique<DEZData>();
    record->data->event = record->event.get();
    record->guid = std::make_unique<char[]>(guid.size() + 1);
    copyStr(record->guid.get(), guid.size() + 1, guid.c_str());
    const char* key = record->guid.get();
    *eventGuid = key;
    dezLog(logger.load(), zezu::INFO, "Event Guid generated is: '%s'", key);
    pendingEvents.insert(key, std::move(record));
    return 0;
}

DEZData* DEZManager::findData(EventMap& map, const char* eventGuid) {
    return map.locked([eventGuid](auto& entries) -> DEZData* {
        const auto found = entries.find(eventGuid);
        return found == entries.end() ? nullptr : found->second->data.get();
    });
}

bool DEZManager::moveEvent(EventMap& from, EventMap& to, const char* eventGuid) {
    std::unique_ptr<EventRecord> record = from.locked([eventGuid](auto& entries) {
        std::unique_ptr<EventRecord> taken;
        const auto found = entries.find(eventGuid);
        if (found != entries.end()) {
            taken = std::move(found->second);
            entries.erase(found);
        }
        return taken;
    });
    return record && to.insert(eventGuid, std::move(record));
}

int DEZManager::addPropertyToEvent(const char* eventGuid, const char* name, const char* value) {
    DEZData* data = findData(pendingEvents, eventGuid);
    if (!data) {
        dezLog(logger.load(), zezu::INFO, "There is no event with eventguid '%s'", eventGuid ? eventGuid : "");
        return -7;
    }
    data->event->setEventAttribute(name, value);
    return 0;
}

int DEZManager::sendEvent(const char* cadGuid, const char* eventGuid, Event_SendMode mode) {
    if (!eventGuid) {
        return -3;
    }
    DEZData* data = findData(pendingEvents, eventGuid);
    if (!data) {
        dezLog(logger.load(), zezu::ERROR, "Invalid Event to be send. There is no event with GUID: '%s'", eventGuid);
        return -7;
    }
    data->cadGuid = cadGuid ? cadGuid : "";
    if (mode == 2) {
        // Out of the pending set before the thread can see it, so no caller still changes it.
        moveEvent(pendingEvents, sentEvents, eventGuid);
        if (!AsynchEventProcessor::getInstance()->addEvent(data)) {
            moveEvent(sentEvents, pendingEvents, eventGuid);
            return -1;
        }
        return 0;
    }
    const int result = sendEvent(data);
    if (result == -8) {
        return -8;
    }
    data->setIsEventSent(true);
    if (result < 0) {
        return result;
    }
    moveEvent(pendingEvents, sentEvents, eventGuid);
    return result;
}

int DEZManager::sendEvent(DEZData* data) {
    if (!data || !data->event) {
        return -3;
    }
    const std::optional<std::string> eventSource = cadMap.locked([data](auto& map) -> std::optional<std::string> {
        const auto found = map.find(data->cadGuid);
        if (found == map.end()) {
            return std::nullopt;
        }
        return found->second.second;
    });
    if (!eventSource) {
        return -8;
    }
    HostedServicesEvent& event = *data->event;
    std::string now;
    getCurrentTimeStr(now);
    event.eventDts = now;
    event.eventSource = *eventSource;
    event.setEventAttribute("TimeStamp", now.c_str());
    if (!event.IsEventParamPresent("zorWorkflowID")) {
        const std::string workflowId = fetchWorkflowID();
        if (!workflowId.empty()) {
            event.setEventAttribute("zorWorkflowID", workflowId.c_str());
        }
    }

    std::string eventXml;
    std::string document;
    ZEZUUtils::XMLParser eventParser;
    ZEZUUtils::XMLParser listParser;
    void* eventRoot = nullptr;
    void* listRoot = nullptr;
    if (!event.toXMLString(eventXml) || !eventParser.initWithXMLString(eventXml) ||
        !eventParser.getRootNode(eventRoot) || !listParser.initWithXMLString("<eventList/>") ||
        !listParser.getRootNode(listRoot) || !listParser.addChildToNode(eventRoot, listRoot) ||
        !listParser.getXMLString(document)) {
        dezLog(logger.load(), zezu::ERROR, "Error contructing raw xml to post to dez");
        return -6;
    }
    const int result = sendRawXMLToDEZ(document);
    data->sendStatus = result == 0 ? 1 : result;
    return result;
}

int DEZManager::sendRawXMLToDEZ(const std::string& xml) {
    ZEZUUtils::HTTPConnector connector;
    ZEZUUtils::HTTPRequest request;
    {
        platform::MutexLock hold(settingsMutex);
        // Its complaint about an empty user name goes to the process-wide hooks: no logger yet.
        connector.setProxyCredentials(proxyUserName, proxyPassword);
        request.baseURL = baseURL;
        request.path = path;
    }
    request.method = "POST";
    request.body = xml;
    request.timeout = requestTimeout.load();
    void* log = logger.load();
    connector.setLogger(log);
    dezLog(log, zezu::TRACE, "http Request message is : %s", xml.c_str());
    std::map<std::string, std::string> responseFields;
    std::string responseBody;
    const int32_t code = connector.sendHTTPRequest(request, &responseFields, responseBody);
    if (code == flat(ZEZUUtils::HTTPResult::Done)) {
        dezLog(log, zezu::DEBUG, "Events sent successfully");
        return 0;
    }
    dezLog(log, zezu::ERROR, "SendEvent failed. HTTPConnectorResponse is : %d", code);
    const std::optional<ZEZUUtils::HTTPResult> result = ZEZUUtils::httpResultFromFlat(code);
    return result == ZEZUUtils::HTTPResult::TimedOut                      ? -5
           : result == ZEZUUtils::HTTPResult::ProxyAuthenticationRequired ? -9
                                                                          : -1;
}

bool isFilePresent(const std::string& filePath) { return ZEZUUtils::FileUtils::PathExists(filePath); }

std::string getWorkflowIDfilePath() {
    std::string zarvo;
    std::string zezu;
    if (!ensureFolder(kZarvoFolder, zarvo) || !ensureFolder(kZezuFolder, zezu) ||
        !ZEZUUtils::FileUtils::AppendPath(zezu, kWorkflowIdFileName)) {
        return {};
    }
    return zezu;
}

std::string fetchWorkflowID() {
    const std::string filePath = getWorkflowIDfilePath();
    std::string content;
    if (!filePath.empty() && isFilePresent(filePath) &&
        ZEZUUtils::FileUtils::LoadContentOfFileAtPath(filePath, content) && content.size() >= kWorkflowIdLength) {
        return content.substr(0, kWorkflowIdLength);
    }
    std::string guid;
    const std::string id =
        ::StringUtils::GUIDString(guid) && !guid.empty() ? "{" + guid + "}" : std::string(kDefaultWorkflowId);
    if (!filePath.empty()) {
        ZEZUUtils::FileUtils::CreateFileWithContentAtPath(filePath, id);  // a failed write still sends the id
    }
    return id;
}

}  // namespace DEZFramework
