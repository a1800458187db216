// Forwards telemetry log lines to a zezu::Logger.
#include "telemetry/TelemetryLog.h"

#include <cstdarg>

#include "foundation/logging/Logger.h"

namespace DEZFramework {

void dezLog(void* logger, zezu::Log_Level level, const char* format, ...) {
    if (!logger) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    static_cast<zezu::Logger*>(logger)->logit(level, "", "", format, arguments);
    va_end(arguments);
}

}  // namespace DEZFramework
