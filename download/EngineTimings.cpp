// The engine's timing table.
#include "download/EngineTimings.h"

EngineTimings& engineTimings() {
    static EngineTimings timings;
    return timings;
}

#include <time.h>

uint32_t monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(now.tv_sec) + 1;
}
