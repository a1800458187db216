// zezu::LogTargetDefault: one formatted line a call, under the file's lock, rotated at 10 MiB.
#include "foundation/logging/LogTargetDefault.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "foundation/logging/LogFunctions.h"
#include "platform/ThreadIdentity.h"

namespace zezu {
namespace {

constexpr const char* kTokenReplacement = "Found access/device token. Log skipped.";
constexpr size_t kMessageBufferSize = 4096;

int32_t nowSeconds() { return static_cast<int32_t>(::time(nullptr)); }

// Access and device tokens are JWTs: a base64 "{"" header, a dot, a base64 "{"" payload.
bool carriesToken(const char* message) {
    const std::string_view text(message);
    const size_t first = text.find("eyJ");
    return first != std::string_view::npos && text.find(".eyJ", first) != std::string_view::npos;
}

}  // namespace

LogTargetDefault::LogTargetDefault(const char* identifier) {
    setIdentifier(identifier);
    long major = 0;
    long minor = 0;
    long patch = 0;
    if (utilGetCurrentOSVersion(major, minor, patch)) {
        threadIdFlag_ = !(major < 11 && minor < 6);
    }
}

LogTargetDefault::~LogTargetDefault() {
    if (lock_) {
        lock_->finalize();
        lock_.reset();
    }
    stream_.close();
}

bool LogTargetDefault::SetStreamHandle(LogFileStream& stream) { return stream.openAppend(filePath_); }

bool LogTargetDefault::SetStreamPath(const char* name) {
    std::string logs;
    if (!name || !getTempPath(logs)) return false;
    appendPath(logs, name);
    filePath_ = logs;
    return true;
}

bool LogTargetDefault::WriteStream(const char* line) {
    if (!line) {
        stream_.setBad();
        return false;
    }
    return stream_.writeLine(line);
}

bool LogTargetDefault::cleanFile() {
    stream_.close();
    const int fd = ::open(filePath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool LogTargetDefault::onRegisterTarget() {
    if (!usable_) return false;
    if (filePath_.empty() && !SetStreamPath(fileName_.c_str())) return false;
    if (!SetStreamHandle(stream_)) return false;
    if (!lock_) {
        lock_ = std::make_unique<BinaryLock>();
        // Without a set the lock still serialises this process's writers.
        lock_->create(filePath_, BinaryLock::kLogFileProjectId);
    }
    lastSizeCheck_ = nowSeconds();
    lastLine_ = lastSizeCheck_;
    if (lock_->wait()) {
        SegmentLogFile(true);
        lock_->release();
    }
    streamOpen_ = true;
    return true;
}

bool LogTargetDefault::onUnregisterTarget() {
    stream_.close();
    if (lock_) {
        lock_->finalize();
        lock_.reset();
    }
    streamOpen_ = false;
    return true;
}

bool LogTargetDefault::writeLog(Log_Level level, const char* s1, const char* s2, const char* s3, const char* s4,
                                const char* s5, const char* s6, const char* format, va_list* arguments,
                                uint64_t timestamp) {
    if (level < getLogLevel() || !lock_ || !format) return true;
    if (!lock_->wait()) return true;

    if (lastLine_ - lastSizeCheck_ >= kSizeCheckInterval && SegmentLogFile(true)) {
        lastSizeCheck_ = lastLine_;
    }

    char buffer[kMessageBufferSize];
    const char* message = format;
    if (arguments) {
        getLogMessage(buffer, sizeof buffer, format, arguments);
        message = buffer;
    }
    std::string line;
    formatLog(timestamp, level, s1, s2, s3, s4, s5, s6, message, line);

    // A stream left bad by an earlier failed write would drop every line until the next
    // hourly check: reopen it once first.
    if (!stream_.good()) SetStreamHandle(stream_);
    WriteStream(line.c_str());

    lock_->release();
    return true;
}

void LogTargetDefault::getTimeStr(uint64_t timestamp, char* buffer) {
    time_t seconds;
    int milliseconds;
    if (timestamp != 0) {
        seconds = static_cast<time_t>(timestamp / 1000);
        milliseconds = static_cast<int>(timestamp % 1000);
    } else {
        timeval now{};
        getCurrentTime(now);
        seconds = now.tv_sec;
        milliseconds = static_cast<int>(now.tv_usec / 1000);
    }
    lastLine_ = static_cast<int32_t>(seconds);
    tm local{};
    char text[kTimeTextSize - 16] = "";  // room for ":" and the milliseconds
    if (::localtime_r(&seconds, &local)) std::strftime(text, sizeof text, "%x %X", &local);
    std::snprintf(buffer, kTimeTextSize, "%s:%.3d", text, milliseconds);
}

std::string LogTargetDefault::getCurrentThreadID() const {
    if (!threadIdFlag_) return {};
    return std::to_string(platform::currentThreadId());
}

const char* LogTargetDefault::getLogLevelString(Log_Level level) {
    switch (level) {
        case TRACE: return "TRACE";
        case DEBUG: return "DEBUG";
        case INFO: return "INFO";
        case WARN: return "WARN";
        case ERROR: return "ERROR";
        case FATAL: return "FATAL";
        case NONE: return "NONE";
    }
    return "ALL";
}

void LogTargetDefault::formatLog(uint64_t timestamp, Log_Level level, const char* s1, const char* s2, const char* s3,
                                 const char* s4, const char* s5, const char* s6, const char* message,
                                 std::string& output) {
    char time[kTimeTextSize];
    getTimeStr(timestamp, time);
    if (carriesToken(message)) {
        message = kTokenReplacement;
        level = WARN;
    }
    output += time;
    output += separator_;
    output += "[";
    output += getLogLevelString(level);
    output += "]";
    for (const char* piece : {s1, s2, s3, s4, s5, s6}) {
        output += separator_;
        output += piece ? piece : "";
    }
    output += separator_;
    output += getCurrentThreadID();
    output += separator_;
    output += message;
}

bool LogTargetDefault::SegmentLogFile(bool) {
    int64_t size = 0;
    if (!getFileSize(filePath_, size)) return false;
    if (size < kRotationSize) return true;
    stream_.close();
    std::string copy = filePath_;
    // Without a time stamp the copy would be the log itself, truncated onto itself.
    if (appendTimeStampToFile(copy) && copy != filePath_ && copyContentOfFileToFile(filePath_, copy)) {
        cleanFile();
    }
    return SetStreamHandle(stream_);
}

}  // namespace zezu
