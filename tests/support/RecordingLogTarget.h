// A log target of the test's own that keeps in memory every line sent to one identifier.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "foundation/logging/LogTargetBase.h"
#include "foundation/logging/LoggingCore.h"
#include "foundation/utils/NativeCriticalSection.h"
#include "platform/ThreadAnnotations.h"

namespace test_support {

struct LogLine {
    zezu::Log_Level level;
    std::string component;
    std::string message;
};

// Registered while it lives; writes no file. Lines may come from any thread.
class RecordingLogTarget : public zezu::LogTargetBase {
public:
    explicit RecordingLogTarget(const char* identifier = "ZOR") {
        setIdentifier(identifier);
        zezu::LoggingCore::getInstance()->registerTarget(this);
    }
    ~RecordingLogTarget() override { zezu::LoggingCore::getInstance()->unregisterTarget(this); }
    RecordingLogTarget(const RecordingLogTarget&) = delete;
    RecordingLogTarget& operator=(const RecordingLogTarget&) = delete;

    bool SetStreamHandle(zezu::LogFileStream&) override { return true; }
    bool onRegisterTarget() override { return true; }
    bool onUnregisterTarget() override { return true; }
    bool writeLog(zezu::Log_Level level, const char*, const char*, const char*, const char* component, const char*,
                  const char*, const char* format, va_list* arguments, uint64_t) override {
        std::string message;
        if (arguments == nullptr) {
            message = format != nullptr ? format : "";
        } else {
            char buffer[2048];
            std::vsnprintf(buffer, sizeof buffer, format, *arguments);
            message = buffer;
        }
        ZEZUUtils::ScopedCriticalSection hold(lock_);
        lines_.push_back({level, component != nullptr ? component : "", message});
        return true;
    }

    std::vector<LogLine> lines() const {
        ZEZUUtils::ScopedCriticalSection hold(lock_);
        return lines_;
    }
    void clear() {
        ZEZUUtils::ScopedCriticalSection hold(lock_);
        lines_.clear();
    }

    // How many lines of that level, component and message, all matched whole.
    int count(zezu::Log_Level level, const std::string& component, const std::string& message) const {
        int found = 0;
        for (const LogLine& line : lines()) {
            found += line.level == level && line.component == component && line.message == message;
        }
        return found;
    }
    // How many lines of that level hold the text anywhere in their message.
    int countContaining(zezu::Log_Level level, const std::string& text) const {
        int found = 0;
        for (const LogLine& line : lines()) {
            found += line.level == level && line.message.find(text) != std::string::npos;
        }
        return found;
    }
    bool contains(zezu::Log_Level level, const std::string& text) const { return countContaining(level, text) > 0; }

    // The messages of one component, in order, as "LEVEL message" (levels as numbers).
    std::vector<std::string> messagesOf(const std::string& component) const {
        std::vector<std::string> result;
        for (const LogLine& line : lines()) {
            if (line.component == component) result.push_back(std::to_string(line.level) + " " + line.message);
        }
        return result;
    }
    // Lines at or above a level, as "LEVEL component: message", for failure output.
    std::string dump(zezu::Log_Level atLeast = zezu::TRACE) const {
        std::string text;
        for (const LogLine& line : lines()) {
            if (line.level < atLeast) continue;
            text += std::to_string(line.level) + " " + line.component + ": " + line.message + "\n";
        }
        return text;
    }

private:
    mutable ZEZUUtils::NativeCriticalSection lock_;
    std::vector<LogLine> lines_ GUARDED_BY(lock_);
};

}  // namespace test_support
