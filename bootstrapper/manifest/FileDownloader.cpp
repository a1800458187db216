// FileDownloader: walks one engine handle through its stages and turns engine events into a status.
#include "bootstrapper/manifest/FileDownloader.h"

#include <unistd.h>

#include "bootstrapper/manifest/ValidatorBase.h"
#include "download/EngineResults.h"
#include "foundation/logging/Logger.h"

namespace {

// How often downloadFileSync looks at the status.
constexpr useconds_t kSyncPollMicroseconds = 100000;

}  // namespace

FileDownloader::FileDownloader()
    : preference_(std::make_unique<DownloadPreference>()),
      logger_(std::make_unique<zezu::Logger>("ZOR", "", "Download", "ZOR", "ZORWorkflowManager")) {
    input_.adaptiveThreadControl = 1;
    input_.useMetaFile = 1;
}

FileDownloader::~FileDownloader() {
    if (handle_ != nullptr) releaseHandle();
    if (libRef_ != nullptr) releaseDownloadLibRef(&libRef_);
}

bool FileDownloader::ensureLibRef() {
    if (libRef_ != nullptr) return true;
    DownloadLibRef* created = nullptr;
    if (createDownloadLibRef(&created) != flat(ManagerResult::Ok) || created == nullptr) return false;
    libRef_ = created;
    return true;
}

bool FileDownloader::setFileInfo(const std::string& url, const std::string& folder, const std::string& fileName) {
    input_.serverPath = url;
    input_.targetFolder = folder;
    input_.targetFileName = fileName;
    resetError();
    return ensureLibRef();
}

void FileDownloader::setDownloadPreference(uint32_t segmentSize, const std::string& user, const std::string& password) {
    preference_->segmentSize = segmentSize;
    preference_->proxyUser = user;
    preference_->proxyPassword = password;
}

void FileDownloader::setProxyCredentials(const std::string& user, const std::string& password) {
    preference_->proxyUser = user;
    preference_->proxyPassword = password;
    // Idle or after close there is no handle; the next prepare copies the preference anyway.
    if (handle_ != nullptr) handle_->setPreference(preference_.get());
}

void FileDownloader::setCookie(const std::string& cookie) {
    hasCookie_ = !cookie.empty();
    cookie_ = hasCookie_ ? cookie : std::string();
}

void FileDownloader::setExpectedFileSize(uint64_t size) {
    preference_->startAddress = 0;
    preference_->bytesToDownload = size;
}

ValidatorBase* FileDownloader::setValidator(ValidatorBase* validator) {
    ValidatorBase* previous = validator_.exchange(validator);
    if (previous != validator) {
        segmentCount_ = validator != nullptr ? static_cast<uint32_t>(validator->getSignatures().size()) : 0;
        validated_ = segmentCount_ != 0 ? std::make_unique<std::atomic<bool>[]>(segmentCount_) : nullptr;
    }
    return previous != validator ? previous : nullptr;
}

bool FileDownloader::allSegmentsValidated() const {
    if (validator_.load() == nullptr || segmentCount_ == 0) return false;
    for (uint32_t index = 0; index < segmentCount_; ++index)
        if (!validated_[index].load()) return false;
    return true;
}

bool FileDownloader::record(int32_t result) {
    if (result == flat(ManagerResult::Ok)) return true;
    DownloadErrorInfo info;
    if (handle_ != nullptr && handle_->getLastError(&info) == flat(ManagerResult::Ok)) {
        errorType_.store(info.errorType);
        extendedErrorCode_.store(info.extendedErrorCode);
        userActionable_.store(info.action == flat(EngineErrorAction::UserActionable));
    } else {
        errorType_.store(0);
        extendedErrorCode_.store(0);
        userActionable_.store(false);
    }
    return false;
}

void FileDownloader::resetError() {
    errorType_.store(0);
    extendedErrorCode_.store(0);
    userActionable_.store(false);
}

void FileDownloader::releaseHandle() {
    if (handle_ != nullptr) {
        handle_->close();
        closeFileDownloader(&handle_);
        handle_ = nullptr;
    }
    started_ = false;
    status_.store(kDownloaderIdle);
    remoteFileSize_ = 0;
    bytesDownloaded_.store(0);
}

bool FileDownloader::prepare() {
    if (status_.load() == kDownloaderIdle) {
        FileDownloaderHandle* created = nullptr;
        if (!ensureLibRef() || createFileDownloader(&libRef_, &created) != flat(ManagerResult::Ok) ||
            created == nullptr) {
            // No handle whose last error could be asked.
            errorType_.store(0);
            extendedErrorCode_.store(0);
            userActionable_.store(false);
            return false;
        }
        handle_ = created;
        status_.store(kDownloaderCreated);
    }
    if (status_.load() == kDownloaderCreated) {
        input_.useMetaFile = 1;
        input_.preference = *preference_;
        handle_->addDLEIntercept(kEventProgress, this);
        handle_->addDLEIntercept(kEventSegmentWritten, this);
        handle_->addDLEIntercept(kEventError, this);
        if (!record(handle_->init(&input_))) {
            // A retry on this handle would register the intercepts a second time.
            releaseHandle();
            return false;
        }
        status_.store(kDownloaderInitialized);
    }
    if (status_.load() == kDownloaderInitialized && hasCookie_) {
        if (!record(handle_->setCookie(cookie_))) return false;
        status_.store(kDownloaderCookieSet);
    }
    if (status_.load() <= kDownloaderCookieSet) {
        uint64_t size = 0;
        uint8_t segmentable = 0;
        if (!record(handle_->getFileInfo(&size, &segmentable))) return false;
        remoteFileSize_ = size;
        status_.store(kDownloaderReady);
    }
    started_ = true;
    return true;
}

bool FileDownloader::start() {
    if (!started_) return false;
    // 5 goes in before the engine runs: its first events may already say 8, 9 or 10.
    int32_t expected = status_.load();
    if ((expected != kDownloaderReady && expected != kDownloaderStopped) ||
        !status_.compare_exchange_strong(expected, kDownloaderDownloading))
        return false;
    // Segments this start takes as done from an earlier attempt are judged again inside it.
    for (uint32_t index = 0; index < segmentCount_; ++index) validated_[index].store(false);
    if (!record(handle_->start())) {
        releaseHandle();
        return false;
    }
    return true;
}

bool FileDownloader::downloadFileSync(const std::string& url, const std::string& folder, const std::string& fileName) {
    if (!setFileInfo(url, folder, fileName)) return false;
    if (!prepare() || !started_) return false;
    if (!start()) return false;
    for (;;) {
        const int32_t status = status_.load();
        if (status == kDownloaderComplete) return true;
        if (status == kDownloaderFatalError) {
            logger_->fatal("", "Fatal Error in downloading the file from %s.", url.c_str());
            return false;
        }
        if (status != kDownloaderDownloading) break;
        usleep(kSyncPollMicroseconds);
    }
    if (started_) {
        if (record(handle_->stop())) status_.store(kDownloaderStopped);
    }
    return false;
}

bool FileDownloader::pause() {
    if (!started_) {
        logger_->warn("", "FileDownload is not initialized. So, cannot pause it");
        return false;
    }
    int32_t expected = kDownloaderDownloading;
    if (!status_.compare_exchange_strong(expected, kDownloaderPaused)) {
        logger_->warn("", "Could not pause the download");
        return false;
    }
    if (!record(handle_->pause())) {
        int32_t paused = kDownloaderPaused;
        status_.compare_exchange_strong(paused, kDownloaderDownloading);
        logger_->warn("", "Could not pause the download");
        return false;
    }
    logger_->debug("Download Paused");
    return true;
}

bool FileDownloader::resume() {
    if (!started_) {
        logger_->warn("", "Download could not be resumed isInitialize=false");
        return false;
    }
    int32_t previous = status_.load();
    const bool claimed = (previous == kDownloaderPaused || previous == kDownloaderUserActionableError) &&
                         status_.compare_exchange_strong(previous, kDownloaderDownloading);
    const int32_t result = handle_->resume();
    if (!record(result)) {
        int32_t downloading = kDownloaderDownloading;
        if (claimed) status_.compare_exchange_strong(downloading, previous);
        logger_->warn("", "Download could not be resumed");
        // The paused handle can never go on with a file that changed on the server; a fresh
        // handle fetches the new file afresh, so let the next prepare make one.
        if (result == kResumeRefusedFileChanged) releaseHandle();
        return false;
    }
    logger_->debug("Download Resumed");
    return true;
}

bool FileDownloader::close() {
    if (!started_ && status_.load() <= kDownloaderIdle) return false;
    releaseHandle();
    resetError();
    return true;
}

int FileDownloader::intercept(int eventType, void* data, int length) {
    if (data == nullptr || length <= 0) return -7;
    switch (eventType) {
        case kEventSegmentWritten: {
            if (static_cast<size_t>(length) < sizeof(SegmentView)) return -7;
            const auto& view = *static_cast<const SegmentView*>(data);
            const ValidatorBase* validator = validator_.load();
            if (validator == nullptr) return 0;
            const bool valid = validator->validateSegment(view.bytes, view.size, view.index);
            if (view.index < segmentCount_) validated_[view.index].store(valid);
            if (!valid) {
                logger_->error("", "Segment %d of size %d is Invalid", static_cast<int>(view.index),
                               static_cast<int>(view.size));
                return -5;
            }
            return 0;
        }
        case kEventError: {
            if (static_cast<size_t>(length) < sizeof(DownloadErrorInfo)) return -7;
            const auto& error = *static_cast<const DownloadErrorInfo*>(data);
            // The error first: the owner reads it once it sees the status.
            errorType_.store(error.errorType);
            extendedErrorCode_.store(error.extendedErrorCode);
            if (error.action != flat(EngineErrorAction::UserActionable)) {
                logger_->fatal("", "Fatal error has occured. errotType = %d extendedErrorCode = %d", error.errorType,
                               error.extendedErrorCode);
                userActionable_.store(false);
                status_.store(kDownloaderFatalError);
            } else {
                logger_->warn("",
                              "A user actionable error has occured while downloading the file. errotType = %d "
                              "extendedErrorCode = %d",
                              error.errorType, error.extendedErrorCode);
                userActionable_.store(true);
                status_.store(kDownloaderUserActionableError);
            }
            return 0;
        }
        case kEventProgress: {
            if (static_cast<size_t>(length) < sizeof(ProgressRecord)) return -7;
            const auto& progress = *static_cast<const ProgressRecord*>(data);
            bytesDownloaded_.store(progress.acceptedBytes);
            if (progress.reportedState == 5) status_.store(kDownloaderComplete);
            return 0;
        }
        default: return 0;
    }
}
