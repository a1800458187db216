// The interface every zezu front logger offers.
#pragma once

#include <cstdarg>

#include "foundation/logging/LogLevel.h"

#define ZEZU_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(printf, formatIndex, firstArgument)))

namespace zezu {

// printf-style operations per level; logit does the work and the others go through it.
class AbstractLogger {
public:
    virtual ~AbstractLogger() = default;

    virtual void trace(const char* format, ...) ZEZU_PRINTF_FORMAT(2, 3) = 0;
    virtual void debug(const char* format, ...) ZEZU_PRINTF_FORMAT(2, 3) = 0;
    virtual void info(const char* format, ...) ZEZU_PRINTF_FORMAT(2, 3) = 0;
    virtual void warn(const char* text, const char* format, ...) ZEZU_PRINTF_FORMAT(3, 4) = 0;
    virtual void error(const char* text, const char* format, ...) ZEZU_PRINTF_FORMAT(3, 4) = 0;
    virtual void fatal(const char* text, const char* format, ...) ZEZU_PRINTF_FORMAT(3, 4) = 0;
    virtual void log(Log_Level level, const char* text1, const char* text2, const char* format, ...)
        ZEZU_PRINTF_FORMAT(5, 6) = 0;
    virtual void logit(Log_Level level, const char* text1, const char* text2, const char* format,
                       va_list arguments) ZEZU_PRINTF_FORMAT(5, 0) = 0;
};

}  // namespace zezu
