// zezu::LogTargetBase: defaults, marker files and choosing the log file.
#include "foundation/logging/LogTargetBase.h"

#include "foundation/logging/LogFunctions.h"

namespace zezu {

LogTargetBase::LogTargetBase() { setDefaultValues(); }

void LogTargetBase::setDefaultValues() {
    separator_ = " | ";
    fileName_ = "ZEZU.log";
    filePath_.clear();
    usable_ = true;
    streamOpen_ = false;
    {
        platform::MutexLock lock(refCountMutex_);
        refCount_ = 0;
    }
    setLogLevel(INFO);
}

bool LogTargetBase::setIdentifier(const char* identifier) {
    if (!identifier) return false;
    identifier_ = identifier;
    return true;
}

void LogTargetBase::setLogLevel(Log_Level level) {
    level_.store(level, std::memory_order_relaxed);
    std::string logs;
    if (!getTempPath(logs)) return;
    const auto markerExists = [&logs](const std::string& name) {
        std::string path = logs;
        appendPath(path, name);
        return fileExistsAtPath(path);
    };
    std::string trace = fileName_;
    changeFileExtension(trace, "trace");
    std::string debug = fileName_;
    changeFileExtension(debug, "debug");
    if (markerExists(trace)) {
        level_.store(TRACE, std::memory_order_relaxed);
    } else if (markerExists(debug)) {
        if (level > DEBUG) level_.store(DEBUG, std::memory_order_relaxed);
    } else if (markerExists("zsu.trace")) {
        level_.store(TRACE, std::memory_order_relaxed);
    } else if (markerExists("zsu.debug")) {
        if (level > DEBUG) level_.store(DEBUG, std::memory_order_relaxed);
    }
}

bool LogTargetBase::setLogFile(const char* name, const char* folder) {
    const bool hasName = name && *name;
    std::string directory;
    if (!folder || !*folder) {
        if (!getTempPath(directory)) {
            usable_ = false;
            return false;
        }
        if (!folderExitsAtPath(directory)) createDirectoryPath(directory);
    } else {
        directory = folder;
    }
    filePath_ = directory;
    if (hasName && !isFileName(name)) {
        usable_ = false;
        return false;
    }
    std::string path = directory;
    if (!appendPath(path, hasName ? std::string(name) : fileName_)) {
        usable_ = false;
        return false;
    }
    filePath_ = path;
    getFilePathBaseName(path, fileName_);

    if (streamOpen_) {
        usable_ = SetStreamHandle(stream_);
        return usable_;
    }
    LogFileStream probe;
    usable_ = SetStreamHandle(probe);
    return usable_;
}

void LogTargetBase::incrementRefCount() {
    platform::MutexLock lock(refCountMutex_);
    ++refCount_;
}

void LogTargetBase::decrementRefCount() {
    platform::MutexLock lock(refCountMutex_);
    --refCount_;
}

int32_t LogTargetBase::getRefCount() {
    platform::MutexLock lock(refCountMutex_);
    return refCount_;
}

}  // namespace zezu
