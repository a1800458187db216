// Logger, the process-wide log facade writing "VexApp.log" under a cross-process mutex.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "foundation/logging/LogTargetDefault.h"
#include "foundation/logging/Logger.h"
#include "foundation/logging/LoggerSemaphore.h"
#include "platform/Mutex.h"

class Logger : public zezu::Logger {
public:
    // Facade verbosity, distinct from zezu::Log_Level.
    enum Log_Level : int32_t { FATAL = 1, ERROR = 2, WARN = 3, INFO = 4, DEBUG = 5, TRACE = 6 };

    // The facade's mutex key: the process's home folder and this project id.
    static constexpr int kMutexProjectId = 0x7FFFFF9B;
    static constexpr const char* kBuildVersion = "9.0.1.57";

    // The one facade, keyed on the process's home; never destroyed, so code that logs from
    // static destructors still finds it.
    static Logger* getInstance();

    // A facade whose mutex is keyed on keyPath and projectId (tests use their own key).
    // Registers the "ZSU" target; destruction unregisters it.
    Logger(const std::string& keyPath, int projectId);
    ~Logger() override;
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void setLogLevel(int verbosity, const char* name, const char* context1);

    void logTrace(const char* component, const char* format, ...) ZEZU_PRINTF_FORMAT(3, 4);
    void logDebug(const char* component, const char* format, ...) ZEZU_PRINTF_FORMAT(3, 4);
    void logInfo(const char* component, const char* format, ...) ZEZU_PRINTF_FORMAT(3, 4);
    void logWarn(const char* component, const char* format, ...) ZEZU_PRINTF_FORMAT(3, 4);
    void logError(const char* component, const char* format, ...) ZEZU_PRINTF_FORMAT(3, 4);
    void logFatal(const char* component, const char* format, ...) ZEZU_PRINTF_FORMAT(3, 4);

    bool sendMessageToZEZULogger(zezu::Log_Level level, const char* s1, const char* s2, const char* s3, const char* s4,
                                 const char* s5, const char* s6, const char* message);

    // The messages the facade formats keep at most this many characters.
    static constexpr size_t kMessageLimit = 1023;

    zezu::LogTargetDefault* target() { return target_.get(); }

private:
    enum Flag { kTrace, kDebug, kInfo, kWarn, kError, kFatal, kFlagCount };

    void logAt(Flag flag, zezu::Log_Level level, const char* component, const char* format, va_list arguments)
        ZEZU_PRINTF_FORMAT(5, 0);

    std::unique_ptr<zezu::LogTargetDefault> target_;
    std::unique_ptr<LoggerSemaphore> semaphore_;
    std::atomic<bool> enabled_[kFlagCount] = {};
    // setLogLevel changes the inherited context strings while other threads log; being the
    // base class's fields, they cannot be marked as guarded here.
    platform::Mutex contextMutex_;
};
