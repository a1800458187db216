// zezu::LogTargetDefault, the file target: line format, locking and size-based rotation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/logging/BinaryLock.h"
#include "foundation/logging/LogTargetBase.h"

namespace zezu {

class LogTargetDefault : public LogTargetBase {
public:
    // Files reaching this size are rotated at the next size check.
    static constexpr int64_t kRotationSize = 0xA00000;
    // Seconds of logging between two size checks.
    static constexpr int32_t kSizeCheckInterval = 3600;

    explicit LogTargetDefault(const char* identifier);
    ~LogTargetDefault() override;

    bool SetStreamHandle(LogFileStream& stream) override;
    bool onRegisterTarget() override;
    bool onUnregisterTarget() override;
    bool writeLog(Log_Level level, const char* s1, const char* s2, const char* s3,
                  const char* s4, const char* s5, const char* s6, const char* format,
                  va_list* arguments, uint64_t timestamp) override;

    bool SetStreamPath(const char* name);
    // A NULL line marks the stream bad.
    bool WriteStream(const char* line);
    bool cleanFile();

    void getTimeStr(uint64_t timestamp, char* buffer);
    std::string getCurrentThreadID() const;
    void formatLog(uint64_t timestamp, Log_Level level, const char* s1, const char* s2,
                   const char* s3, const char* s4, const char* s5, const char* s6,
                   const char* message, std::string& output);
    static const char* getLogLevelString(Log_Level level);
    bool SegmentLogFile(bool force);

    // The buffer getTimeStr writes into must hold this many bytes.
    static constexpr size_t kTimeTextSize = 256;

protected:
    std::unique_ptr<BinaryLock> lock_;
    bool threadIdFlag_ = true;
    int32_t lastSizeCheck_ = 0;
    int32_t lastLine_ = 0;
};

}  // namespace zezu
