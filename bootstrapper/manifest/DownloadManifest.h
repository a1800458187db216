// DownloadManifest: the package download of a run, stepped one call per worker tick.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bootstrapper/manifest/AssetBase.h"
#include "bootstrapper/manifest/AssetFactory.h"
#include "bootstrapper/manifest/FileDownloader.h"
#include "bootstrapper/manifest/ValidatorFactory.h"

namespace zezu {
class Logger;
}

// The steps continueDownload walks; 6 is never entered.
enum ManifestState : int32_t {
    kManifestNotStarted = 0,
    kManifestDownloading = 1,
    kValidationDownloading = 2,
    kAssetDownloading = 3,
    kRunningActions = 4,
    kActionsDone = 5,
    kAllAssetsDone = 7,
};

// Fetches the manifest, then per asset in ascending sequence number its validation file, the
// asset with every segment checked, and its actions. Only the workflow worker calls it.
class DownloadManifest {
public:
    DownloadManifest();
    // Closes the download, then deletes every asset (which detaches what they mounted).
    ~DownloadManifest();
    DownloadManifest(const DownloadManifest&) = delete;
    DownloadManifest& operator=(const DownloadManifest&) = delete;

    void setManifestURL(const std::string& url, const std::string& cookie);
    void setDownloadFolders(const std::string& assetFolder, const std::string& metadataFolder);
    // With apply, a running download gets the credentials at once.
    void setProxyCredentials(const std::string& user, const std::string& password, bool apply);
    // Appended to every install action's own arguments; set before the first step.
    void setInstallerArguments(const std::vector<std::string>& arguments) { installerArguments_ = arguments; }

    // One step. False: the step failed; read isFatalError, the error getters and getLastActionInfo.
    bool continueDownload();
    int32_t getState() const { return state_; }
    // Whether the last step failed; fatal tells whether a retry cannot help.
    bool isFatalError(bool& fatal) const;
    int32_t getErrorType() const { return downloader_.getErrorType(); }
    int32_t getExtendedErrorCode() const { return downloader_.getExtendedErrorCode(); }
    bool getLastActionInfo(int32_t& type, int32_t& result) const;
    // -1.0 while the size of the file in flight, or of the whole package, is unknown.
    float getProgressPercent() const;
    bool pause();
    // The one retry entry point: after an engine-fatal end the client is closed so that the next
    // step restarts the same file; a start that failed is retried by the next step; a paused or
    // user-actionable download is resumed.
    bool resume();
    // Closes the client's download (at shutdown), nothing else.
    bool closeDownload() { return downloader_.close(); }
    // Destroys the assets now (images detached, downloaded files deleted), so that what their
    // clean-up logs reaches the run's log: at shutdown, after the worker was joined.
    void releaseAssets() { deleteAssets(); }

    // Reads a manifest already on disk, as the step after its download does: false is the
    // manifest's parse failure and leaves no asset. For the fuzzer and readers of a saved manifest.
    bool readManifestFile(const std::string& path);

    // What tests and logs look at.
    const FileDownloader& getDownloader() const { return downloader_; }
    uint64_t getTotalBytes() const { return totalBytes_; }
    uint64_t getBytesDone() const { return bytesDone_; }
    size_t getAssetCount() const { return assets_.size(); }
    const std::string& getManifestVersion() const { return manifestVersion_; }
    const std::string& getManifestPath() const { return manifestPath_; }
    const std::string& getValidationPath() const { return validationPath_; }
    // The asset being processed, none before the manifest is parsed and after the last one.
    const AssetBase* getCurrentAsset() const;

private:
    enum class StartOutcome { Started, NotStarted, SizeMismatch };

    StartOutcome startFileDownload(const std::string& url, const std::string& folder, std::string& localPath,
                                   uint64_t expectedSize, std::unique_ptr<ValidatorBase> validator);
    // The remote size is known and differs from a non-zero expected size.
    bool remoteSizeDiffers(uint64_t expectedSize);
    // The finished file has the asset's size and every one of its segments passed its check.
    bool assetIsWhole(const AssetBase& asset) const;
    std::string absoluteURL(const std::string& path) const;
    bool parseManifest();
    void deleteAssets();

    bool stepNotStarted();
    bool stepStartManifest();
    bool stepManifest();
    bool stepValidation();
    bool stepAsset();
    bool stepActions();
    bool stepNextAsset();
    // Starts the current asset's validation file; state 2 whatever the outcome.
    bool startValidationDownload(bool hardWhenNotStarted);

    bool softFailure();
    bool hardFailure();
    bool userFailure();
    void clearFailure();

    FileDownloader downloader_;
    std::map<uint32_t, std::unique_ptr<AssetBase>> assets_;
    AssetFactory assetFactory_;
    std::string baseURL_;
    std::string manifestVersion_;
    std::string manifestURL_;
    std::string assetFolder_;
    std::string metadataFolder_;
    std::string manifestPath_;
    std::string validationPath_;
    std::string proxyUsername_;
    std::string proxyPassword_;
    uint32_t segmentSize_ = 0;
    int32_t state_ = kManifestNotStarted;
    bool failed_ = false;
    bool fatal_ = false;
    std::map<uint32_t, std::unique_ptr<AssetBase>>::iterator currentAsset_;
    uint64_t bytesDone_ = 0;
    uint64_t totalBytes_ = 0;
    ValidatorFactory validatorFactory_;
    // The validator the client checks segments with; replaced only between downloads.
    std::unique_ptr<ValidatorBase> validator_;
    int32_t lastActionType_ = 0;
    int32_t lastActionResult_ = 0;
    std::vector<std::string> installerArguments_;
    std::unique_ptr<zezu::Logger> logger_;
};
