// The background sender's thread, its queue and its bounded, joined stop.
#include "telemetry/AsynchEventProcessor.h"

#include <unistd.h>

#include <system_error>

#include "platform/Mutex.h"
#include "telemetry/DEZManager.h"
#include "telemetry/TelemetryLog.h"
#include "telemetry/TestSeams.h"

namespace DEZFramework {
namespace {

platform::Mutex instanceLock;  // the process-wide creation lock, there from program start
std::atomic<AsynchEventProcessor*> instance{nullptr};
std::atomic<long long> stopWaitMilliseconds{-1};  // -1: one request deadline

const char* guidOf(DEZData* data) { return data && data->event ? data->event->eventGuid.c_str() : ""; }

}  // namespace

AsynchEventProcessor* AsynchEventProcessor::getInstance() {
    AsynchEventProcessor* existing = instance.load();
    if (existing) {
        return existing;
    }
    platform::MutexLock hold(instanceLock);
    if (!instance.load()) {
        instance.store(new AsynchEventProcessor());
    }
    return instance.load();
}

bool AsynchEventProcessor::finalize() {
    platform::MutexLock hold(instanceLock);
    delete instance.exchange(nullptr);
    return true;
}

void testing::setStopWait(std::chrono::milliseconds wait) { stopWaitMilliseconds.store(wait.count()); }

AsynchEventProcessor::AsynchEventProcessor() {
    wakeEvent = ZEZUUtils::EventUtils::CreateEvnt();
    if (!wakeEvent) {
        return;  // without its wake-up the thread could only spin: no thread, events refused
    }
    try {
        threadId = std::thread([this] { MainThreadProc(this); });
        threadStarted = true;
    } catch (const std::system_error&) {
        threadStarted = false;
    }
}

AsynchEventProcessor::~AsynchEventProcessor() {
    void* log = logger.load();
    dezLog(log, zezu::INFO, "Waiting for the async thread to get the task completed");
    state.store(3);
    ZEZUUtils::EventUtils::SetEvnt(wakeEvent);
    if (threadStarted) {
        long long waitMs = stopWaitMilliseconds.load();
        if (waitMs < 0) {
            waitMs = static_cast<long long>(DEZManager::requestTimeoutSeconds()) * 1000;
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (state.load() != 5 && std::chrono::steady_clock::now() < until) {
            usleep(10000);
        }
        if (state.load() != 5) {
            // Waiting for every queued send could take a deadline per event and attempt.
            dropRemaining.store(true);
            ZEZUUtils::EventUtils::SetEvnt(wakeEvent);
        }
        // Joined, never left running: it still logs through the logger and reads the queue.
        threadId.join();
    }
    threadStarted = false;
    dezLog(log, zezu::DEBUG, "Cleaning up the event queue");
    ZEZUUtils::EventUtils::DestroyEvent(wakeEvent);
    queue.clear();
}

bool AsynchEventProcessor::setLogger(void* newLogger) {
    logger.store(newLogger);
    return true;
}

bool AsynchEventProcessor::addEvent(DEZData* data) {
    if (!threadStarted || state.load() != 4) {
        dezLog(logger.load(), zezu::INFO, "Thread is not live. So event with guid '%s' will NOT not be sent",
               guidOf(data));
        return false;
    }
    queue.push(data);
    ZEZUUtils::EventUtils::SetEvnt(wakeEvent);
    dezLog(logger.load(), zezu::DEBUG, "Event with guid '%s' is added to the queue", guidOf(data));
    return true;
}

int AsynchEventProcessor::MainThreadProc(AsynchEventProcessor* self) {
    for (;;) {
        if (self->state.load() == 3 && self->dropRemaining.load()) {
            const std::size_t dropped = self->queue.clear();
            if (dropped > 0) {
                dezLog(self->logger.load(), zezu::WARN, "Stop wait passed: %zu queued events are not sent", dropped);
            }
            break;
        }
        if (self->state.load() == 3 && self->queue.empty()) {
            break;
        }
        DEZData* data = nullptr;
        if (!self->queue.pop(data)) {
            if (ZEZUUtils::EventUtils::WaitforEvent(self->wakeEvent, -1) == 2) {
                dezLog(self->logger.load(), zezu::WARN, "failure in WaitforEvent");
            }
            continue;
        }
        dezLog(self->logger.load(), zezu::INFO, "Event with guid '%s' is being sent", guidOf(data));
        const int result = DEZManager::getInstance()->sendEvent(data);
        if (result != -8) {
            data->setIsEventSent(true);
        }
    }
    dezLog(self->logger.load(), zezu::INFO, "Async thread is completed. Now exiting from function.");
    // The very last touch of the instance.
    self->state.store(5);
    return 0;
}

}  // namespace DEZFramework
