// A file target with its stream and size-check clock reachable from tests.
#pragma once

#include <memory>
#include <string>

#include "foundation/logging/LogTargetDefault.h"
#include "foundation/logging/LoggingCore.h"

namespace log_test {

class ProbeTarget : public zezu::LogTargetDefault {
public:
    using LogTargetDefault::LogTargetDefault;
    zezu::LogFileStream& stream() { return stream_; }
    // The next write runs the hourly size check.
    void pretendAnHourPassed() { lastSizeCheck_ = lastLine_ - kSizeCheckInterval; }
    void setThreadIdFlag(bool flag) { threadIdFlag_ = flag; }
    bool holdsLockSet() { return lock_ && lock_->holdsSet(); }
    const std::string& path() const { return filePath_; }
};

// Unregisters, then deletes: the order every owner follows.
struct UnregisterAndDelete {
    void operator()(ProbeTarget* target) const {
        zezu::LoggingCore::getInstance()->unregisterTarget(target);
        delete target;
    }
};
using RegisteredTarget = std::unique_ptr<ProbeTarget, UnregisterAndDelete>;

// A target of the identifier writing name in the Logs folder at level, registered; null when
// any step fails.
inline RegisteredTarget registerTarget(const char* identifier, const char* name,
                                       zezu::Log_Level level = zezu::INFO) {
    auto target = std::make_unique<ProbeTarget>(identifier);
    if (!target->setLogFile(name, nullptr)) return nullptr;
    target->setLogLevel(level);
    if (!zezu::LoggingCore::getInstance()->registerTarget(target.get())) return nullptr;
    return RegisteredTarget(target.release());
}

}  // namespace log_test
