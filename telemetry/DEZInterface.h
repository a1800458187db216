// The telemetry client's flat interface: 0 for success, a negative code for failure.
#pragma once

#include <cstdint>

// 1 development, 2 and 3 QA, 4 to 6 staging, any other value the default service.
typedef int32_t DEZ_Environment;
// 2 queues the event for the background sender; any other value sends it at once.
typedef int32_t Event_SendMode;

// Codes: -1 not queued or the exchange failed, -2 no GUID, -3 a NULL or empty argument,
// -5 no answer within the deadline, -6 XML not built, -7 no pending event with that GUID
// pointer, -8 no descriptor with that CAD GUID, -9 proxy authentication not given.
int dezInit(void* logger, DEZ_Environment environment, const char* proxyUserName, const char* proxyPassword);
int dezSetProxyAuthentication(const char* proxyUserName, const char* proxyPassword);
// The GUID texts handed out stay owned by the client until dezShutDown. Events are found by
// the very pointer dezCreateEvent gave; descriptors by their text.
int dezCreateCAD(const char** cadGuid, const char* clientAppName, const char* clientAppVersion,
                 const char* dezPrefix);
int dezCreateEvent(const char** eventGuid, const char* eventCode, const char* eventSubCode, const char* userGuid,
                   const char* reqActionCode, const char* userTID, const char* blob);
int dezSetEventProperty(const char* eventGuid, const char* name, const char* value);
int dezSendEvent(const char* cadGuid, const char* eventGuid, Event_SendMode mode);
int dezShutDown();
