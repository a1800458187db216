// The engine's timing table.
#include "download/EngineTimings.h"

EngineTimings& engineTimings() {
    static EngineTimings timings;
    return timings;
}
