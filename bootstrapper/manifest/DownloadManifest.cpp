// DownloadManifest: the manifest's state machine over one download client.
#include "bootstrapper/manifest/DownloadManifest.h"

#include <filesystem>

#include "bootstrapper/support/ZORUtils.h"
#include "download/DownloadPreference.h"
#include "foundation/logging/Logger.h"
#include "foundation/utils/FileUtils.h"
#include "foundation/utils/XMLParser.h"
#include "platform/Url.h"

namespace {

// Segment size for the manifest and the validation files.
constexpr uint32_t kMetadataSegmentSize = 0x200000;

std::string fileNameOf(const std::string& url) {
    const size_t slash = url.rfind('/');
    return slash == std::string::npos ? url : url.substr(slash + 1);
}

}  // namespace

DownloadManifest::DownloadManifest()
    : currentAsset_(assets_.end()),
      logger_(std::make_unique<zezu::Logger>("ZOR", "", "Download", "ZOR", "DownloadManifest")) {}

DownloadManifest::~DownloadManifest() {
    downloader_.close();
    deleteAssets();
    downloader_.setValidator(nullptr);
    validator_.reset();
}

void DownloadManifest::setManifestURL(const std::string& url, const std::string& cookie) {
    manifestURL_ = url;
    downloader_.setCookie(cookie);
}

void DownloadManifest::setDownloadFolders(const std::string& assetFolder, const std::string& metadataFolder) {
    assetFolder_ = assetFolder;
    metadataFolder_ = metadataFolder;
}

void DownloadManifest::setProxyCredentials(const std::string& user, const std::string& password, bool apply) {
    proxyUsername_ = user;
    proxyPassword_ = password;
    if (apply) downloader_.setProxyCredentials(user, password);
}

bool DownloadManifest::isFatalError(bool& fatal) const {
    fatal = fatal_;
    return failed_;
}

bool DownloadManifest::getLastActionInfo(int32_t& type, int32_t& result) const {
    type = lastActionType_;
    result = lastActionResult_;
    return true;
}

const AssetBase* DownloadManifest::getCurrentAsset() const {
    return currentAsset_ == assets_.end() ? nullptr : currentAsset_->second.get();
}

float DownloadManifest::getProgressPercent() const {
    const uint64_t current = state_ == kAssetDownloading ? downloader_.getBytesDownloaded() : 0;
    if (downloader_.getRemoteFileSize() == 0 || totalBytes_ == 0) return -1.0f;
    return static_cast<float>(static_cast<double>(current + bytesDone_) * 100.0 / static_cast<double>(totalBytes_));
}

bool DownloadManifest::pause() {
    if (downloader_.getStatus() != kDownloaderDownloading) return false;
    return downloader_.pause();
}

bool DownloadManifest::resume() {
    const int32_t status = downloader_.getStatus();
    if (status == kDownloaderFatalError) {
        // The engine has ended this download; the next step starts the same file again, and the
        // engine resumes from its meta file when the server's file is unchanged.
        downloader_.close();
        return true;
    }
    if (!downloader_.isStarted()) return true;
    if (status == kDownloaderPaused || status == kDownloaderUserActionableError) {
        if (downloader_.resume()) return true;
        // A file that changed on the server releases the client; the next step starts it afresh.
        return !downloader_.isStarted();
    }
    return false;
}

bool DownloadManifest::softFailure() {
    failed_ = true;
    fatal_ = !downloader_.isUserActionableError();
    return false;
}

bool DownloadManifest::hardFailure() {
    failed_ = true;
    fatal_ = true;
    return false;
}

bool DownloadManifest::userFailure() {
    failed_ = true;
    fatal_ = false;
    return false;
}

void DownloadManifest::clearFailure() {
    failed_ = false;
    fatal_ = false;
}

std::string DownloadManifest::absoluteURL(const std::string& path) const {
    if (path.compare(0, 4, "http") == 0) return path;
    return baseURL_ + path;
}

bool DownloadManifest::remoteSizeDiffers(uint64_t expectedSize) {
    const uint64_t remote = downloader_.getRemoteFileSize();
    if (expectedSize == 0 || remote == 0 || remote == expectedSize) return false;
    logger_->warn("", "Remote file size is not same as the expected size of the file.");
    return true;
}

DownloadManifest::StartOutcome DownloadManifest::startFileDownload(const std::string& url, const std::string& folder,
                                                                   std::string& localPath, uint64_t expectedSize,
                                                                   std::unique_ptr<ValidatorBase> validator) {
    std::string name = fileNameOf(url);
    ZORUtils::uniqueFileName(folder, name);
    localPath = folder + "/" + name;
    // The client stops using the previous validator before it is freed.
    downloader_.setValidator(validator.get());
    validator_ = std::move(validator);
    downloader_.setDownloadPreference(segmentSize_, proxyUsername_, proxyPassword_);
    downloader_.setExpectedFileSize(expectedSize);
    downloader_.setFileInfo(url, folder, name);
    if (!downloader_.prepare()) return StartOutcome::NotStarted;
    if (remoteSizeDiffers(expectedSize)) return StartOutcome::SizeMismatch;
    return downloader_.start() ? StartOutcome::Started : StartOutcome::NotStarted;
}

void DownloadManifest::deleteAssets() {
    currentAsset_ = assets_.end();
    assets_.clear();
}

bool DownloadManifest::readManifestFile(const std::string& path) {
    manifestPath_ = path;
    return parseManifest();
}

bool DownloadManifest::parseManifest() {
    // A second parse must not add to the first one's assets or size.
    deleteAssets();
    totalBytes_ = 0;
    assetFactory_.setInstallerArguments(installerArguments_);
    ZEZUUtils::XMLParser parser;
    std::string version;
    if (!parser.initWithXMLPath(manifestPath_) || !parser.stringValueForXQuery("//manifest/version", version) ||
        version.empty())
        return false;
    int count = 0;
    void* list = parser.getNodeListForXQuery("//manifest/asset_list/asset", &count);
    if (list == nullptr || count <= 0) return false;
    std::map<uint32_t, std::unique_ptr<AssetBase>> assets;
    uint64_t total = 0;
    for (int i = 0; i < count; ++i) {
        std::string text;
        std::unique_ptr<AssetBase> asset;
        if (parser.getXMLStringOfNode(parser.getNodeAtIndexFromNodeList(list, i), text))
            asset = assetFactory_.create(text);
        // Two assets with one number would leave one of them out of the map but not of the total.
        if (!asset || assets.count(asset->getSequenceNo()) != 0) return false;
        // A package larger than 64 bits can count is no package: the total would wrap.
        if (asset->getAssetSize() > UINT64_MAX - total) return false;
        total += asset->getAssetSize();
        const uint32_t number = asset->getSequenceNo();
        assets.emplace(number, std::move(asset));
    }
    manifestVersion_ = version;
    assets_ = std::move(assets);
    currentAsset_ = assets_.end();
    totalBytes_ = total;
    return true;
}

bool DownloadManifest::continueDownload() {
    switch (state_) {
        case kManifestNotStarted: return stepStartManifest();
        case kManifestDownloading:
        case kValidationDownloading:
        case kAssetDownloading:
            if (!downloader_.isStarted()) return stepNotStarted();
            if (state_ == kManifestDownloading) return stepManifest();
            if (state_ == kValidationDownloading) return stepValidation();
            return stepAsset();
        case kRunningActions: return stepActions();
        case kActionsDone: return stepNextAsset();
        default: return true;
    }
}

bool DownloadManifest::stepStartManifest() {
    segmentSize_ = kMetadataSegmentSize;
    const StartOutcome outcome = startFileDownload(manifestURL_, metadataFolder_, manifestPath_, 0, nullptr);
    // The state names the file in flight, so that a retry fetches this file and no other.
    state_ = kManifestDownloading;
    if (outcome == StartOutcome::Started) return true;
    logger_->warn("", "Download of the manifest file could not be started");
    return softFailure();
}

bool DownloadManifest::stepNotStarted() {
    // A start that failed before: the client still holds this file's URL, folder and name.
    if (!downloader_.prepare()) return softFailure();
    if (state_ == kAssetDownloading && currentAsset_ != assets_.end() &&
        remoteSizeDiffers(currentAsset_->second->getAssetSize())) {
        downloader_.close();
        return hardFailure();
    }
    if (!downloader_.start()) return softFailure();
    return true;
}

bool DownloadManifest::startValidationDownload(bool hardWhenNotStarted) {
    AssetBase& asset = *currentAsset_->second;
    segmentSize_ = kMetadataSegmentSize;
    const StartOutcome outcome =
        startFileDownload(absoluteURL(asset.getValidationDataPath()), metadataFolder_, validationPath_, 0, nullptr);
    state_ = kValidationDownloading;
    if (outcome == StartOutcome::Started) return true;
    logger_->warn("", "Validation data for asset sequence number %u could not be downloaded", asset.getSequenceNo());
    return hardWhenNotStarted ? hardFailure() : softFailure();
}

bool DownloadManifest::stepManifest() {
    switch (downloader_.getStatus()) {
        case kDownloaderComplete: {
            clearFailure();
            downloader_.close();
            if (!parseManifest()) {
                logger_->warn("", "Manifest file is invalid");
                return hardFailure();
            }
            currentAsset_ = assets_.begin();
            baseURL_ = platform::directoryOfUrl(manifestURL_);
            return startValidationDownload(false);
        }
        case kDownloaderFatalError: logger_->warn("", "Manifest file could not be downloaded"); return hardFailure();
        case kDownloaderUserActionableError: return userFailure();
        default: return true;
    }
}

bool DownloadManifest::stepValidation() {
    AssetBase& asset = *currentAsset_->second;
    switch (downloader_.getStatus()) {
        case kDownloaderComplete: {
            clearFailure();
            downloader_.close();
            std::unique_ptr<ValidatorBase> validator = validatorFactory_.create(validationPath_);
            if (!validator) {
                logger_->warn("", "Validation data for asset sequence number %u could not be initialized",
                              asset.getSequenceNo());
                return hardFailure();
            }
            if (validator->getTotalSize() != asset.getAssetSize()) {
                logger_->fatal("", "The size of asset does not match with the size in the validator");
                return hardFailure();
            }
            // The engine would clamp such a size, and no segment would line up with a signature.
            const uint32_t size = validator->getSegmentSize();
            if (size < kMinimumSegmentSize || size > kMaximumSegmentSize) {
                logger_->warn("", "Validation data for asset sequence number %u could not be initialized",
                              asset.getSequenceNo());
                return hardFailure();
            }
            segmentSize_ = size;
            std::string localPath;
            const StartOutcome outcome = startFileDownload(absoluteURL(asset.getAssetPath()), assetFolder_, localPath,
                                                           asset.getAssetSize(), std::move(validator));
            asset.setLocalPath(localPath);
            state_ = kAssetDownloading;
            if (outcome == StartOutcome::Started) return true;
            if (outcome == StartOutcome::SizeMismatch) {
                downloader_.close();
                return hardFailure();
            }
            logger_->warn("",
                          "Download of the asset number %u could not be started. Error type is %d, error code is %d",
                          asset.getSequenceNo(), downloader_.getErrorType(), downloader_.getExtendedErrorCode());
            return softFailure();
        }
        case kDownloaderFatalError: logger_->warn("", "Signature file could not be downloaded"); return hardFailure();
        case kDownloaderUserActionableError: return userFailure();
        default: return true;
    }
}

bool DownloadManifest::assetIsWhole(const AssetBase& asset) const {
    std::error_code error;
    const uint64_t length = std::filesystem::file_size(asset.getLocalPath(), error);
    return !error && length == asset.getAssetSize() && downloader_.allSegmentsValidated();
}

bool DownloadManifest::stepAsset() {
    AssetBase& asset = *currentAsset_->second;
    switch (downloader_.getStatus()) {
        case kDownloaderComplete: {
            // A download can end early where the server gives no length: only a file with every
            // segment checked and the manifest's size is the asset.
            const bool whole = assetIsWhole(asset);
            clearFailure();
            downloader_.close();
            if (!whole) {
                logger_->fatal("", "The size of asset does not match with the size in the validator");
                if (!ZEZUUtils::FileUtils::DeleteFileAtPath(asset.getLocalPath(), false))
                    logger_->warn("", "The downloaded file %s could not be deleted", asset.getLocalPath().c_str());
                return hardFailure();
            }
            bytesDone_ += asset.getAssetSize();
            state_ = kRunningActions;
            return true;
        }
        case kDownloaderFatalError: logger_->warn("", "Asset file could not be downloaded"); return hardFailure();
        case kDownloaderUserActionableError: return userFailure();
        default: return true;
    }
}

bool DownloadManifest::stepActions() {
    switch (currentAsset_->second->runActions(lastActionType_, lastActionResult_)) {
        case kActionDone: state_ = kActionsDone; return true;
        case kActionFailed: return hardFailure();
        default: return true;
    }
}

bool DownloadManifest::stepNextAsset() {
    // The one place the asset index moves: a failed start below leaves state 2 for this asset.
    ++currentAsset_;
    if (currentAsset_ == assets_.end()) {
        state_ = kAllAssetsDone;
        return true;
    }
    return startValidationDownload(true);
}
