// zezu::LoggingCore: registration and dispatch under the map's guard.
#include "foundation/logging/LoggingCore.h"

#include <algorithm>

#include "foundation/logging/LogTargetBase.h"

namespace zezu {

LoggingCore* LoggingCore::getInstance() {
    static LoggingCore* const instance = new LoggingCore;
    return instance;
}

bool LoggingCore::registerTarget(LogTargetBase* target) {
    if (!target) return false;
    platform::MutexLock gate(gate_);
    platform::WriterLock lock(guard_);
    // Runs on every call, so a repeated registration reopens the stream and checks the size.
    if (!target->onRegisterTarget()) return false;
    auto [entry, inserted] = targets_.try_emplace(target->getIdentifier());
    std::vector<LogTargetBase*>& list = entry->second;
    if (std::find(list.begin(), list.end(), target) != list.end()) return true;
    target->incrementRefCount();
    list.push_back(target);
    return true;
}

bool LoggingCore::unregisterTarget(LogTargetBase* target) {
    if (!target) return false;
    platform::MutexLock gate(gate_);
    platform::WriterLock lock(guard_);
    auto entry = targets_.find(target->getIdentifier());
    if (entry == targets_.end()) return true;
    std::vector<LogTargetBase*>& list = entry->second;
    auto position = std::find(list.begin(), list.end(), target);
    if (position == list.end()) return false;
    list.erase(position);
    target->decrementRefCount();
    if (target->getRefCount() == 0) return target->onUnregisterTarget();
    return true;
}

void LoggingCore::log(const char* identifier, Log_Level level, const char* s1, const char* s2, const char* s3,
                      const char* s4, const char* s5, const char* s6, const char* format, va_list arguments,
                      uint64_t timestamp) {
    va_list copy;
    va_copy(copy, arguments);
    dispatch(identifier, level, s1, s2, s3, s4, s5, s6, format, &copy, timestamp);
    va_end(copy);
}

void LoggingCore::log(const char* identifier, Log_Level level, const char* s1, const char* s2, const char* s3,
                      const char* s4, const char* s5, const char* s6, const char* message, uint64_t timestamp) {
    dispatch(identifier, level, s1, s2, s3, s4, s5, s6, message, nullptr, timestamp);
}

void LoggingCore::dispatch(const char* identifier, Log_Level level, const char* s1, const char* s2, const char* s3,
                           const char* s4, const char* s5, const char* s6, const char* format, va_list* arguments,
                           uint64_t timestamp) {
    if (!identifier) return;
    gate_.lock();
    platform::ReaderLock lock(guard_);
    gate_.unlock();
    auto entry = targets_.find(std::string_view(identifier));
    if (entry == targets_.end()) return;
    for (LogTargetBase* target : entry->second) {
        if (!arguments) {
            target->writeLog(level, s1, s2, s3, s4, s5, s6, format, nullptr, timestamp);
            continue;
        }
        // vsnprintf consumes a list: every target needs its own.
        va_list copy;
        va_copy(copy, *arguments);
        target->writeLog(level, s1, s2, s3, s4, s5, s6, format, &copy, timestamp);
        va_end(copy);
    }
}

}  // namespace zezu
