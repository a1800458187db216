// The telemetry client's log line: through the logger given to dezInit, or nowhere.
#pragma once

#include "foundation/logging/AbstractLogger.h"
#include "foundation/logging/LogLevel.h"

namespace DEZFramework {

// logger is a zezu::Logger passed untyped; NULL drops the line.
void dezLog(void* logger, zezu::Log_Level level, const char* format, ...) ZEZU_PRINTF_FORMAT(3, 4);

}  // namespace DEZFramework
