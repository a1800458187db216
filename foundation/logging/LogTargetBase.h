// zezu::LogTargetBase, the abstract log target: identity, file, level and reference count.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>

#include "foundation/logging/LogFileStream.h"
#include "foundation/logging/LogLevel.h"

namespace zezu {

class LogTargetBase {
public:
    LogTargetBase();
    virtual ~LogTargetBase() = default;
    LogTargetBase(const LogTargetBase&) = delete;
    LogTargetBase& operator=(const LogTargetBase&) = delete;

    virtual bool SetStreamHandle(LogFileStream& stream) = 0;
    virtual bool onRegisterTarget() = 0;
    virtual bool onUnregisterTarget() = 0;
    // arguments NULL: format is the message, written unchanged. Always gives true.
    virtual bool writeLog(Log_Level level, const char* s1, const char* s2, const char* s3,
                          const char* s4, const char* s5, const char* s6, const char* format,
                          va_list* arguments, uint64_t timestamp) = 0;

    bool setIdentifier(const char* identifier);
    const std::string& getIdentifier() const { return identifier_; }
    Log_Level getLogLevel() const { return level_.load(std::memory_order_relaxed); }

    // Stores the level, then lets marker files in the user's Logs folder raise it:
    // <file>.trace, <file>.debug, "zsu.trace", "zsu.debug".
    void setLogLevel(Log_Level level);
    // name NULL or empty keeps the file name; folder NULL or empty means the user's Logs
    // folder. A name with a folder part makes the target unusable.
    bool setLogFile(const char* name, const char* folder);

    void incrementRefCount();
    void decrementRefCount();
    int32_t getRefCount();

protected:
    void setDefaultValues();

    std::string identifier_;
    std::string separator_;
    std::string fileName_;
    std::string filePath_;
    // Changed by the facade while other threads write.
    std::atomic<Log_Level> level_{INFO};
    LogFileStream stream_;
    bool usable_ = true;
    bool streamOpen_ = false;
    int32_t refCount_ = 0;
    std::mutex refCountMutex_;
};

}  // namespace zezu
