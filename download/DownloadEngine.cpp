// The flat functions and the handle's forwarding operations.
#include "download/DownloadEngine.h"

#include <signal.h>

#include <new>

#include "download/EngineLogger.h"
#include "download/EngineResults.h"
#include "download/FileDownloadManager.h"

FileDownloaderHandle::FileDownloaderHandle() : manager_(new (std::nothrow) FileDownloadManager) {}
FileDownloaderHandle::~FileDownloaderHandle() = default;

int32_t FileDownloaderHandle::init(const DownloadInput* input) { return manager_->init(input); }
int32_t FileDownloaderHandle::setCookie(const std::string& url) { return manager_->setCookie(url); }
int32_t FileDownloaderHandle::getFileInfo(uint64_t* size, uint8_t* segmentable) {
    return manager_->getFileInfo(size, segmentable);
}
int32_t FileDownloaderHandle::start() { return manager_->start(); }
int32_t FileDownloaderHandle::pause() { return manager_->pause(); }
int32_t FileDownloaderHandle::resume() { return manager_->resume(); }
int32_t FileDownloaderHandle::stop() { return manager_->stop(); }
int32_t FileDownloaderHandle::close() { return manager_->close(); }
int32_t FileDownloaderHandle::setPreference(const DownloadPreference* preference) {
    return manager_->setPreference(preference);
}
int32_t FileDownloaderHandle::getLastError(DownloadErrorInfo* info) { return manager_->getLastError(info); }
int32_t FileDownloaderHandle::addDLEIntercept(int eventType, IDleIntercept* intercept) {
    return manager_->addDLEIntercept(eventType, intercept);
}

namespace {

// A peer that closes its end makes a write raise SIGPIPE, which would end the whole process:
// the engine's transfers want the EPIPE error instead. A handler the host set stays.
void ignoreBrokenPipeSignals() {
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
        (current.sa_flags & SA_SIGINFO) != 0)
        return;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace

int32_t createDownloadLibRef(DownloadLibRef** libRef) {
    if (libRef == nullptr) return flat(ManagerResult::InvalidArgument);
    if (*libRef != nullptr) {
        DLE_TRACE("lib ref already initialized");
        return flat(ManagerResult::AlreadyInitialized);
    }
    auto* created = new (std::nothrow) DownloadLibRef;
    if (created == nullptr) return flat(ManagerResult::Failed);
    ignoreBrokenPipeSignals();
    engine_log::acquire();
    *libRef = created;
    return flat(ManagerResult::Ok);
}

int32_t createFileDownloader(DownloadLibRef** libRef, FileDownloaderHandle** handle) {
    if (libRef == nullptr || *libRef == nullptr || handle == nullptr) {
        DLE_WARN("createFileDownloader: invalid param");
        return flat(ManagerResult::InvalidArgument);
    }
    if (*handle != nullptr) return flat(ManagerResult::AlreadyInitialized);
    auto* created = new (std::nothrow) FileDownloaderHandle;
    if (created == nullptr || !created->hasManager()) {
        delete created;
        DLE_WARN("failed to create file downloader");
        *handle = nullptr;
        return flat(ManagerResult::Failed);
    }
    *handle = created;
    return flat(ManagerResult::Ok);
}

int32_t closeFileDownloader(FileDownloaderHandle** handle) {
    if (handle == nullptr || *handle == nullptr) {
        DLE_WARN("closeFileDownloader: invalid param");
        return flat(ManagerResult::InvalidArgument);
    }
    int32_t result = (*handle)->close();
    delete *handle;
    *handle = nullptr;
    return result;
}

int32_t releaseDownloadLibRef(DownloadLibRef** libRef) {
    engine_log::writeEndBanner();
    if (libRef == nullptr || *libRef == nullptr) return flat(ManagerResult::InvalidArgument);
    delete *libRef;
    *libRef = nullptr;
    engine_log::release();
    return flat(ManagerResult::Ok);
}
