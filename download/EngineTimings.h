// Every wait of the download engine in one table: production uses these values, tests shorten them.
#pragma once

#include <cstdint>

struct EngineTimings {
    uint32_t controllerTickMs = 10;
    uint32_t idlePollMs = 100;            // idle and paused workers, paused controller
    uint32_t threadStartSpacingMs = 10;   // between creating two worker threads
    uint32_t readTurnSleepMs = 10;        // before each read of a download job
    uint32_t deadConnectionSeconds = 101; // no data for this long cancels a worker's job
    uint32_t probeMaxSeconds = 121;       // size and range probes give up after this
    uint32_t probeMaxAttempts = 5;
    uint32_t probeRetrySleepMs = 100;
    uint32_t terminateForceMs = 3000;     // a job still running is forced to end
    uint32_t terminateGiveUpMs = 10000;   // then the thread is joined regardless
    uint32_t serializerRetrySleepMs = 100;  // after a failed write, before writing again
    uint32_t connectionDroppedSleepMs = 700;
    uint32_t stallTimeoutSeconds = 120;   // a transfer that receives nothing for this long fails
    uint32_t connectTimeoutSeconds = 30;
    uint32_t cancelWaitStepMs = 100;
    uint32_t cancelWaitSteps = 18001;
    // Back-off delays of the error policy: base + random(0..spread-1) seconds.
    uint32_t backoffFirstBaseSeconds = 10;
    uint32_t backoffFirstSpreadSeconds = 5;
    uint32_t backoffLaterBaseSeconds = 30;
    uint32_t backoffLaterSpreadSeconds = 10;
};

// The table in force. Tests change it before they start a download, never during one.
EngineTimings& engineTimings();

// Whole seconds of a monotonic clock (never 0), for activity times and throughput samples.
uint32_t monotonicSeconds();
