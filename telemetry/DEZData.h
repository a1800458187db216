// The send state of one telemetry event, as the manager and the background sender keep it.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/utils/NativeCriticalSection.h"
#include "telemetry/HostedServicesEvent.h"

namespace DEZFramework {

class DEZData {
public:
    DEZData() = default;
    DEZData(const DEZData&) = delete;
    DEZData& operator=(const DEZData&) = delete;

    void setIsEventSent(bool sent) {
        ZEZUUtils::ScopedCriticalSection hold(lock);
        isEventSent = sent;
    }
    bool getIsEventSent() {
        ZEZUUtils::ScopedCriticalSection hold(lock);
        return isEventSent;
    }

    ZEZUUtils::NativeCriticalSection lock;
    bool isEventSent GUARDED_BY(lock) = false;
    // A copy of the descriptor GUID given to the send: the caller's text may be gone by the
    // time the background sender looks the descriptor up.
    std::string cadGuid;
    HostedServicesEvent* event = nullptr;  // owned by the manager
    int32_t sendStatus = 0;                // 0 unsent, 1 sent, else the last failure's code
};

}  // namespace DEZFramework
