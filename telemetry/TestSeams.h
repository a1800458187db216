// The telemetry library's process-wide test seams: shorter waits than production's.
#pragma once

#include <chrono>
#include <cstdint>

namespace DEZFramework::testing {

// The per-attempt deadline of a send, in seconds (DEZManager::requestTimeoutSeconds; 30 by default).
void setRequestTimeout(int32_t seconds);

// How long AsynchEventProcessor's stop waits for the queue to drain before the rest is dropped
// (the send in flight still ends within its own deadline). Default: one request deadline.
void setStopWait(std::chrono::milliseconds wait);

}  // namespace DEZFramework::testing
