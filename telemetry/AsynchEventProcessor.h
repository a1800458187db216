// The background sender: one thread that sends queued events through the manager.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "foundation/utils/EventUtils.h"
#include "telemetry/DEZData.h"
#include "telemetry/ObjectContainers.h"

namespace DEZFramework {

class AsynchEventProcessor {
public:
    // The instance, made (and its thread started) by the first call.
    static AsynchEventProcessor* getInstance();
    // Stops the thread after it has sent what is queued, joins it and destroys the instance.
    static bool finalize();

    bool setLogger(void* newLogger);
    // True when queued; false when the thread is not running.
    bool addEvent(DEZData* data);

    static int MainThreadProc(AsynchEventProcessor* instance);

    ~AsynchEventProcessor();
    AsynchEventProcessor(const AsynchEventProcessor&) = delete;
    AsynchEventProcessor& operator=(const AsynchEventProcessor&) = delete;

private:
    AsynchEventProcessor();

    std::atomic<int> state{4};  // 4 running, 3 stop requested, 5 thread finished
    std::atomic<void*> logger{nullptr};
    ObjectQueue<DEZData*> queue;
    std::thread threadId;
    bool threadStarted = false;
    std::atomic<bool> dropRemaining{false};
    ZEZU_Event_t wakeEvent = nullptr;
};

}  // namespace DEZFramework
