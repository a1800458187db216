// zezu::Logger: front operations that forward to the logging core.
#include "foundation/logging/Logger.h"

#include "foundation/logging/LoggingCore.h"

namespace zezu {
namespace {

const char* orEmpty(const char* text) { return text ? text : ""; }

}  // namespace

Logger::Logger(const char* identifier, const char* context1, const char* context2,
               const char* context3, const char* component)
    : core_(LoggingCore::getInstance()),
      context1_(orEmpty(context1)),
      context2_(orEmpty(context2)),
      context3_(orEmpty(context3)),
      component_(orEmpty(component)),
      identifier_(orEmpty(identifier)) {}

Logger::Logger(const char* identifier) : Logger(identifier, nullptr, nullptr, nullptr, nullptr) {}

bool Logger::setComponent(const char* component) {
    if (!component) return false;
    component_ = component;
    return true;
}

// Each variadic front operation hands its list to logit through the virtual table.
#define ZEZU_FORWARD(level, text1, text2)                 \
    do {                                                  \
        if (!format) return;                              \
        va_list arguments;                                \
        va_start(arguments, format);                      \
        logit(level, text1, text2, format, arguments);    \
        va_end(arguments);                                \
    } while (false)

void Logger::trace(const char* format, ...) { ZEZU_FORWARD(TRACE, "", ""); }
void Logger::debug(const char* format, ...) { ZEZU_FORWARD(DEBUG, "", ""); }
void Logger::info(const char* format, ...) { ZEZU_FORWARD(INFO, "", ""); }
void Logger::warn(const char* text, const char* format, ...) {
    ZEZU_FORWARD(WARN, orEmpty(text), "");
}
void Logger::error(const char* text, const char* format, ...) {
    ZEZU_FORWARD(ERROR, orEmpty(text), "");
}
void Logger::fatal(const char* text, const char* format, ...) {
    ZEZU_FORWARD(FATAL, orEmpty(text), "");
}
void Logger::log(Log_Level level, const char* text1, const char* text2, const char* format, ...) {
    ZEZU_FORWARD(level, orEmpty(text1), orEmpty(text2));
}

#undef ZEZU_FORWARD

void Logger::logit(Log_Level level, const char* text1, const char* text2, const char* format,
                   va_list arguments) {
    core_->log(identifier_.c_str(), level, context1_.c_str(), context2_.c_str(),
               context3_.c_str(), component_.c_str(), text1, text2, format, arguments, 0);
}

}  // namespace zezu
