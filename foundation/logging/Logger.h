// zezu::Logger, the front object a class or subsystem logs through.
#pragma once

#include <cstdarg>
#include <string>

#include "foundation/logging/AbstractLogger.h"

namespace zezu {

class LoggingCore;

// Carries a target identifier and four context strings (the last is the component) and
// hands every call to the logging core. Cheap to make and drop at any time.
class Logger : public AbstractLogger {
public:
    // A NULL argument leaves that string empty.
    Logger(const char* identifier, const char* context1, const char* context2,
           const char* context3, const char* component);
    explicit Logger(const char* identifier);

    // Replaces the component; NULL gives false and changes nothing.
    bool setComponent(const char* component);

    void trace(const char* format, ...) override ZEZU_PRINTF_FORMAT(2, 3);
    void debug(const char* format, ...) override ZEZU_PRINTF_FORMAT(2, 3);
    void info(const char* format, ...) override ZEZU_PRINTF_FORMAT(2, 3);
    void warn(const char* text, const char* format, ...) override ZEZU_PRINTF_FORMAT(3, 4);
    void error(const char* text, const char* format, ...) override ZEZU_PRINTF_FORMAT(3, 4);
    void fatal(const char* text, const char* format, ...) override ZEZU_PRINTF_FORMAT(3, 4);
    void log(Log_Level level, const char* text1, const char* text2, const char* format, ...)
        override ZEZU_PRINTF_FORMAT(5, 6);
    void logit(Log_Level level, const char* text1, const char* text2, const char* format,
               va_list arguments) override ZEZU_PRINTF_FORMAT(5, 0);

protected:
    LoggingCore* core_;
    std::string context1_;
    std::string context2_;
    std::string context3_;
    std::string component_;
    std::string identifier_;
};

}  // namespace zezu
