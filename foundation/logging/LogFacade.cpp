// Logger, the log facade: enable flags, verbosity mapping and the mutex around each message.
#include "foundation/logging/LogFacade.h"

#include <cstdio>
#include <optional>

#include "foundation/logging/LogFunctions.h"
#include "foundation/logging/LoggingCore.h"
#include "platform/UserFolders.h"

namespace {

constexpr const char* kIdentifier = "ZSU";

zezu::Log_Level targetLevel(int verbosity) {
    static constexpr zezu::Log_Level kLevels[] = {zezu::FATAL, zezu::ERROR, zezu::WARN,
                                                  zezu::INFO,  zezu::DEBUG, zezu::TRACE};
    return kLevels[verbosity - 1];
}

}  // namespace

Logger* Logger::getInstance() {
    static Logger* const instance = new Logger(platform::processHomeFolder().value_or(std::string()), kMutexProjectId);
    return instance;
}

Logger::Logger(const std::string& keyPath, int projectId) : zezu::Logger(kIdentifier) {
    std::string home;
    if (zezu::getUserFolder(home)) {
        std::string library = home + "/Library";
        if (platform::makeFolderForConsoleUser(library, 0700)) {
            platform::makeFolderForConsoleUser(library + "/Logs", 0700);
        }
    }
    semaphore_ = std::make_unique<LoggerSemaphore>();
    semaphore_->open(keyPath, projectId);

    target_ = std::make_unique<zezu::LogTargetDefault>(kIdentifier);
    target_->setLogLevel(zezu::INFO);
    target_->setLogFile("VexApp.log", nullptr);
    core_->registerTarget(target_.get());
    context2_ = kIdentifier;
}

Logger::~Logger() {
    semaphore_->close();
    core_->unregisterTarget(target_.get());
}

void Logger::setLogLevel(int verbosity, const char* name, const char* context1) {
    if (verbosity >= FATAL && verbosity <= TRACE) target_->setLogLevel(targetLevel(verbosity));
    const int level = target_->getLogLevel();
    // Flags are only ever set: the target's own level still filters the lines.
    if (level <= 10) enabled_[kTrace] = true;
    if (level <= 20) enabled_[kDebug] = true;
    if (level <= 30) enabled_[kInfo] = true;
    if (level <= 40) enabled_[kWarn] = true;
    if (level <= 50) enabled_[kError] = true;
    if (level <= 60) enabled_[kFatal] = true;

    std::string first;
    std::string second;
    std::string third;
    {
        platform::MutexLock lock(contextMutex_);
        if (name) context3_ = name;
        if (context1) context1_ = context1;
        first = context1_;
        second = context2_;
        third = context3_;
    }
    if (!name) return;
    char line[kMessageLimit];
    std::snprintf(line, sizeof line, "Build Version - %s", kBuildVersion);
    sendMessageToZEZULogger(zezu::INFO, first.c_str(), second.c_str(), third.c_str(), third.c_str(), "", "", line);
    std::snprintf(line, sizeof line, "Logging Level verbosity Set  to %d", verbosity);
    sendMessageToZEZULogger(zezu::INFO, first.c_str(), second.c_str(), third.c_str(), third.c_str(), "", "", line);
}

void Logger::logAt(Flag flag, zezu::Log_Level level, const char* component, const char* format, va_list arguments) {
    if (!enabled_[flag].load(std::memory_order_relaxed) || !format) return;
    char message[kMessageLimit];
    if (std::vsnprintf(message, sizeof message, format, arguments) < 0) message[0] = '\0';
    std::string first;
    std::string second;
    std::string third;
    {
        platform::MutexLock lock(contextMutex_);
        first = context1_;
        second = context2_;
        third = context3_;
    }
    sendMessageToZEZULogger(level, first.c_str(), second.c_str(), third.c_str(), component ? component : "", "", "",
                            message);
}

#define FACADE_FORWARD(flag, level)                       \
    do {                                                  \
        va_list arguments;                                \
        va_start(arguments, format);                      \
        logAt(flag, level, component, format, arguments); \
        va_end(arguments);                                \
    } while (false)

void Logger::logTrace(const char* component, const char* format, ...) { FACADE_FORWARD(kTrace, zezu::TRACE); }
void Logger::logDebug(const char* component, const char* format, ...) { FACADE_FORWARD(kDebug, zezu::DEBUG); }
void Logger::logInfo(const char* component, const char* format, ...) { FACADE_FORWARD(kInfo, zezu::INFO); }
void Logger::logWarn(const char* component, const char* format, ...) { FACADE_FORWARD(kWarn, zezu::WARN); }
void Logger::logError(const char* component, const char* format, ...) { FACADE_FORWARD(kError, zezu::ERROR); }
void Logger::logFatal(const char* component, const char* format, ...) { FACADE_FORWARD(kFatal, zezu::FATAL); }

#undef FACADE_FORWARD

bool Logger::sendMessageToZEZULogger(zezu::Log_Level level, const char* s1, const char* s2, const char* s3,
                                     const char* s4, const char* s5, const char* s6, const char* message) {
    // Lock order: this mutex, then the core's guard, then the file's lock.
    if (!semaphore_->lock()) return false;
    core_->log(kIdentifier, level, s1, s2, s3, s4, s5, s6, message, 0);
    return semaphore_->unlock();
}
