// zezu::LogTargetBase, the abstract log target: identity, file, level and reference count.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <string>

#include "foundation/logging/LogFileStream.h"
#include "foundation/logging/LogLevel.h"
#include "platform/Mutex.h"

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
    virtual bool writeLog(Log_Level level, const char* s1, const char* s2, const char* s3, const char* s4,
                          const char* s5, const char* s6, const char* format, va_list* arguments,
                          uint64_t timestamp) = 0;

    bool setIdentifier(const char* identifier);
    const std::string& getIdentifier() const { return identifier_; }
    Log_Level getLogLevel() const { return level_.load(std::memory_order_relaxed); }

    // Stores the level, then lets marker files in the user's Logs folder raise it:
    // <file>.trace, <file>.debug, "zsu.trace", "zsu.debug".
    void setLogLevel(Log_Level level);
    // name NULL or empty keeps the file name; folder NULL or empty means the user's Logs
    // folder. A name with a folder part makes the target unusable.
    bool setLogFile(const char* name, const char* folder);

    void incrementRefCount() EXCLUDES(refCountMutex_);
    void decrementRefCount() EXCLUDES(refCountMutex_);
    int32_t getRefCount() EXCLUDES(refCountMutex_);

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
    platform::Mutex refCountMutex_;
    int32_t refCount_ GUARDED_BY(refCountMutex_) = 0;
};

}  // namespace zezu
