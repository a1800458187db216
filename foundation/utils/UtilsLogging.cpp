// Routing of ZEZUUtils messages to a logger or the process-wide hooks.
#include "foundation/utils/UtilsLogging.h"

#include "foundation/logging/Logger.h"

ZEZUUtilsLogMessageFn zezuUtilsLogMessageFnPtr = nullptr;
void* zezuUtilsLogger = nullptr;

namespace ZEZUUtils {

void logMessageV(void* logger, zezu::Log_Level level, const char* className, const char* format,
                 va_list arguments) {
    if (!format) return;
    const char* name = className ? className : "";
    if (logger) {
        static_cast<zezu::Logger*>(logger)->logit(level, "", name, format, arguments);
    } else if (ZEZUUtilsLogMessageFn function = zezuUtilsLogMessageFnPtr) {
        function(level, "ZEZUUtils", name, "", "", format, arguments);
    } else if (void* global = zezuUtilsLogger) {
        static_cast<zezu::Logger*>(global)->logit(level, "", name, format, arguments);
    }
}

void logMessage(void* logger, zezu::Log_Level level, const char* className, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    logMessageV(logger, level, className, format, arguments);
    va_end(arguments);
}

}  // namespace ZEZUUtils
