// The process-wide telemetry manager: descriptors, events, the wire format and the workflow id.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "platform/Mutex.h"
#include "telemetry/DEZData.h"
#include "telemetry/DEZInterface.h"
#include "telemetry/HostedServicesEvent.h"
#include "telemetry/ObjectContainers.h"

namespace DEZFramework {

// Replaces the scheme, host and port of every environment ("http://127.0.0.1:8080"), so that
// tests and demos post to a server of their own; the environment's path stays.
inline constexpr const char* kEventServiceUrlVariable = "BOOTSTRAP_EVENT_SERVICE_URL";

class DEZManager {
public:
    static DEZManager* getInstance();
    // Stops the background sender (after its queue), then destroys the manager; 0.
    static int shutDown();

    int init(void* newLogger, DEZ_Environment environment, const char* userName, const char* password);
    int setProxyAuthentication(const char* userName, const char* password);
    int dezCreateCAD(const char** cadGuid, const char* clientAppName, const char* clientAppVersion,
                     const char* dezPrefix);
    int createEvent(const char** eventGuid, const char* eventCode, const char* eventSubCode, const char* userGuid,
                    const char* reqActionCode, const char* userTID, const char* blob);
    int addPropertyToEvent(const char* eventGuid, const char* name, const char* value);
    int sendEvent(const char* cadGuid, const char* eventGuid, Event_SendMode mode);
    // One event's stamp, XML and exchange; used for immediate sends and by the sender thread.
    int sendEvent(DEZData* data);
    int sendRawXMLToDEZ(const std::string& xml);

    std::string getBaseURL() EXCLUDES(settingsMutex);
    std::string getPath() EXCLUDES(settingsMutex);

    // The per-attempt deadline of a send, in seconds (30 unless testing::setRequestTimeout set another).
    static int32_t requestTimeoutSeconds();

    ~DEZManager();
    DEZManager(const DEZManager&) = delete;
    DEZManager& operator=(const DEZManager&) = delete;

private:
    DEZManager() = default;

    // An event with everything it owns: its GUID buffer (whose address is its key), the event
    // and its send state.
    struct EventRecord {
        std::unique_ptr<char[]> guid;
        std::unique_ptr<HostedServicesEvent> event;
        std::unique_ptr<DEZData> data;
    };
    using EventMap = ObjectMap<const char*, std::unique_ptr<EventRecord>>;
    static DEZData* findData(EventMap& map, const char* eventGuid);
    static bool moveEvent(EventMap& from, EventMap& to, const char* eventGuid);

    platform::Mutex settingsMutex;  // the endpoint and credentials, set by callers, read by the sender
    std::string baseURL GUARDED_BY(settingsMutex);
    std::string path GUARDED_BY(settingsMutex);
    std::atomic<void*> logger{nullptr};
    ObjectMap<std::string, std::pair<std::string, std::string>> cadMap;  // GUID -> (XML, event source)
    EventMap pendingEvents;
    EventMap sentEvents;
    std::string proxyUserName GUARDED_BY(settingsMutex);
    std::string proxyPassword GUARDED_BY(settingsMutex);
};

// The id every event carries: the first 38 characters of the workflow-id file, or a new
// braced GUID written there when the file is missing or shorter.
std::string fetchWorkflowID();
// "<console user's Application Support>/Zarvo/ZEZU/temp_zor_wid"; "" when it cannot be had.
std::string getWorkflowIDfilePath();
bool isFilePresent(const std::string& path);

}  // namespace DEZFramework
