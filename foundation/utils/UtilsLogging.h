// Where the ZEZUUtils classes send their messages: a given logger, else the process-wide hooks.
#pragma once

#include <cstdarg>

#include "foundation/logging/AbstractLogger.h"
#include "foundation/logging/LogLevel.h"

// Process-wide log function: level, "ZEZUUtils", the class name, two empty strings, the
// format and its arguments. Starts NULL; this system never sets it.
typedef void (*ZEZUUtilsLogMessageFn)(zezu::Log_Level level, const char* product, const char* className,
                                      const char* text3, const char* text4, const char* format,
                                      va_list arguments);
extern ZEZUUtilsLogMessageFn zezuUtilsLogMessageFnPtr;

// Process-wide logger, a zezu::Logger passed untyped. Starts NULL; this system never sets it.
extern void* zezuUtilsLogger;

namespace ZEZUUtils {

// Sends one message to the first of: the given logger (a zezu::Logger*), the process-wide
// function, the process-wide logger. With none of them the message goes nowhere.
void logMessage(void* logger, zezu::Log_Level level, const char* className, const char* format, ...)
    ZEZU_PRINTF_FORMAT(4, 5);
void logMessageV(void* logger, zezu::Log_Level level, const char* className, const char* format,
                 va_list arguments) ZEZU_PRINTF_FORMAT(4, 0);

}  // namespace ZEZUUtils
