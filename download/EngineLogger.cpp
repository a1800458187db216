// The engine logger: created with the first live library reference, destroyed with the last.
#include "download/EngineLogger.h"

#include <memory>
#include <string>

#include "platform/Mutex.h"
#include "platform/UserFolders.h"

#include "foundation/logging/LogTargetDefault.h"
#include "foundation/logging/Logger.h"
#include "foundation/logging/LoggingCore.h"

namespace engine_log {
namespace {

constexpr const char* kIdentifier = "RUZ";
constexpr const char* kLogFileName = "DOZ.log";

struct EngineLoggerState {
    zezu::Logger logger{kIdentifier};
    zezu::LogTargetDefault* target = nullptr;
};

platform::SharedMutex& stateMutex() {
    static platform::SharedMutex mutex;
    return mutex;
}
int references GUARDED_BY(stateMutex()) = 0;
std::unique_ptr<EngineLoggerState> state GUARDED_BY(stateMutex());

std::string logFolder() {
    std::string home;
    if (auto user = platform::consoleUser()) home = user->home;
    if (home.empty()) home = platform::processHomeFolder().value_or("");
    if (home.empty()) return "";
    // Each level is shared with the other local accounts, as the engine's log always was.
    std::string folder = home + "/Library";
    platform::makeFolderForConsoleUser(folder, 0755);
    folder += "/Logs";
    platform::makeFolderForConsoleUser(folder, 0755);
    for (const char* part : {"/MorvaneStudio", "/MVD", "/ZarvoDownload"}) {
        folder += part;
        platform::makeFolderForConsoleUser(folder, 0777);
    }
    return folder;
}

std::unique_ptr<EngineLoggerState> createState() {
    auto created = std::make_unique<EngineLoggerState>();
    created->target = new zezu::LogTargetDefault(kIdentifier);
    std::string folder = logFolder();
    created->target->setLogFile(kLogFileName, folder.c_str());
    created->target->setLogLevel(zezu::INFO);
    zezu::LoggingCore::getInstance()->registerTarget(created->target);
    return created;
}

void destroyState(std::unique_ptr<EngineLoggerState> old) {
    if (old && old->target) {
        zezu::LoggingCore::getInstance()->unregisterTarget(old->target);
        delete old->target;
    }
    old.reset();
}

void writeLocked(Level level, const char* format, va_list arguments) REQUIRES_SHARED(stateMutex()) {
    if (state) state->logger.logit(static_cast<zezu::Log_Level>(level), "", "", format, arguments);
}

void writeBanner(Level level, const char* format, ...) REQUIRES_SHARED(stateMutex()) {
    va_list arguments;
    va_start(arguments, format);
    writeLocked(level, format, arguments);
    va_end(arguments);
}

}  // namespace

void acquire() {
    platform::WriterLock lock(stateMutex());
    if (references++ == 0 || !state) state = createState();
    writeBanner(Level::Info, "*******************start of Download****************");
    writeBanner(Level::Info, "RUZ Version is %s", "3.9.5.13");
}

void release() {
    std::unique_ptr<EngineLoggerState> old;
    {
        platform::WriterLock lock(stateMutex());
        if (references > 0 && --references == 0) old = std::move(state);
    }
    destroyState(std::move(old));
}

void writeEndBanner() {
    platform::ReaderLock lock(stateMutex());
    writeBanner(Level::Info, "*******************End****************\n\n");
}

int referenceCount() {
    platform::ReaderLock lock(stateMutex());
    return references;
}

void writeV(Level level, const char* format, va_list arguments) {
    platform::ReaderLock lock(stateMutex());
    writeLocked(level, format, arguments);
}

void write(Level level, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    writeV(level, format, arguments);
    va_end(arguments);
}

}  // namespace engine_log
