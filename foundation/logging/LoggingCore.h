// zezu::LoggingCore, the process-wide dispatcher from target identifiers to targets.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "foundation/logging/LogLevel.h"
#include "platform/Mutex.h"

namespace zezu {

class LogTargetBase;

// Maps an identifier to its targets in registration order; does not own them. Dispatch holds
// the map's guard shared and registration holds it exclusively, so once unregisterTarget has
// returned no write to that target is in flight and its owner may delete it.
class LoggingCore {
public:
    // The one instance; never destroyed, so owners that log or unregister from static
    // destructors still find it.
    static LoggingCore* getInstance();

    LoggingCore(const LoggingCore&) = delete;
    LoggingCore& operator=(const LoggingCore&) = delete;

    bool registerTarget(LogTargetBase* target) EXCLUDES(gate_, guard_);
    bool unregisterTarget(LogTargetBase* target) EXCLUDES(gate_, guard_);

    // Each target of the identifier gets its own copy of the argument list.
    void log(const char* identifier, Log_Level level, const char* s1, const char* s2, const char* s3, const char* s4,
             const char* s5, const char* s6, const char* format, va_list arguments, uint64_t timestamp);
    // Writes the message as it is, without format expansion.
    void log(const char* identifier, Log_Level level, const char* s1, const char* s2, const char* s3, const char* s4,
             const char* s5, const char* s6, const char* message, uint64_t timestamp);

private:
    LoggingCore() = default;
    ~LoggingCore() = default;

    void dispatch(const char* identifier, Log_Level level, const char* s1, const char* s2, const char* s3,
                  const char* s4, const char* s5, const char* s6, const char* format, va_list* arguments,
                  uint64_t timestamp) EXCLUDES(gate_, guard_);

    // Registration holds gate_ while it waits for the exclusive guard, and dispatch passes
    // gate_ before taking the guard shared: without it, threads that log all the time would
    // starve a registration for ever (the shared mutex prefers readers).
    platform::Mutex gate_;
    platform::SharedMutex guard_;
    std::map<std::string, std::vector<LogTargetBase*>, std::less<>> targets_ GUARDED_BY(guard_);
};

}  // namespace zezu
