// The dez functions: argument checks, then the process-wide manager.
#include "telemetry/DEZInterface.h"

#include "telemetry/DEZManager.h"

using DEZFramework::DEZManager;

int dezInit(void* logger, DEZ_Environment environment, const char* proxyUserName, const char* proxyPassword) {
    return DEZManager::getInstance()->init(logger, environment, proxyUserName, proxyPassword);
}

int dezSetProxyAuthentication(const char* proxyUserName, const char* proxyPassword) {
    if (!proxyUserName || !proxyPassword) {
        return -3;
    }
    return DEZManager::getInstance()->setProxyAuthentication(proxyUserName, proxyPassword);
}

int dezCreateCAD(const char** cadGuid, const char* clientAppName, const char* clientAppVersion,
                 const char* dezPrefix) {
    if (!cadGuid || !clientAppName || !clientAppVersion || !dezPrefix) {
        return -3;
    }
    return DEZManager::getInstance()->dezCreateCAD(cadGuid, clientAppName, clientAppVersion, dezPrefix);
}

int dezCreateEvent(const char** eventGuid, const char* eventCode, const char* eventSubCode, const char* userGuid,
                   const char* reqActionCode, const char* userTID, const char* blob) {
    if (!eventGuid || !eventCode || !eventSubCode || !*eventCode || !*eventSubCode) {
        return -3;
    }
    return DEZManager::getInstance()->createEvent(eventGuid, eventCode, eventSubCode, userGuid, reqActionCode, userTID,
                                                  blob);
}

int dezSetEventProperty(const char* eventGuid, const char* name, const char* value) {
    if (!eventGuid || !name || !value) {
        return -3;
    }
    return DEZManager::getInstance()->addPropertyToEvent(eventGuid, name, value);
}

int dezSendEvent(const char* cadGuid, const char* eventGuid, Event_SendMode mode) {
    if (!cadGuid || !eventGuid) {
        return -3;
    }
    return DEZManager::getInstance()->sendEvent(cadGuid, eventGuid, mode);
}

int dezShutDown() { return DEZManager::shutDown(); }
