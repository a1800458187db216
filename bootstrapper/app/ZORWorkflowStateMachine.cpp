// The bootstrap state machine: one step of the workflow per worker tick.
#include <unistd.h>

#include <string>
#include <vector>

#include "bootstrapper/app/BootstrapSeams.h"
#include "bootstrapper/app/TestSeams.h"
#include "bootstrapper/app/ZORSessionProxy.h"
#include "bootstrapper/app/ZORWorkflowManager.h"
#include "bootstrapper/support/DEZReporter.h"
#include "bootstrapper/support/ErrorMessages.h"
#include "bootstrapper/support/VOR.h"
#include "bootstrapper/ui/ViewMediator.h"
#include "foundation/locks/ZRVSystemLevelDeploymentLock.h"
#include "foundation/utils/FileUtils.h"
#include "foundation/utils/FolderLookup.h"
#include "foundation/utils/ProcessUtils.h"
#include "foundation/utils/StringUtils.h"
#include "foundation/utils/XMLParser.h"
#include "platform/Bundle.h"
#include "platform/Url.h"

namespace {

constexpr const char* kInstallPackageKey = "$$$/ZOR/InstallPackage=Initializing Installer";
constexpr const char* kInstallUpdateKey = "$$$/ZOR/InstallUpdate=Updating Morvane Studio Packager";
constexpr const char* kDownloadingKey = "$$$/ZOR/DownloadingZAM=Downloading Morvane Studio Packager";
constexpr const char* kInstallKey = "$$$/ZOR/Install=Installing Morvane Studio Packager";
constexpr const char* kLaunchKey = "$$$/ZOR/Launch=Launching Morvane Studio Packager";
constexpr const char* kInternalErrorKey =
    "$$$/ZOR/InternalError=Installer failed to initialize. Please download Zarvo Remedy Kit to detect the problem.";
constexpr const char* kVersionFileName = "version.xml";
constexpr const char* kPackagerExecutable = "/MorvaneStudioPackager.app/Contents/MacOS/MorvaneStudioPackager";
constexpr uint32_t kSegmentSize = 0x200000;
constexpr uint32_t kUnknownSizeTickLimit = 3600;
// A root run's own download folder: the local Application Support may be shared with others.
constexpr const char* kRootDownloadFolder = "/Library/Application Support/MSP_ZOR";

// The install curve's step and divisor live as long as the process.
InstallCurve& processInstallCurve() {
    static InstallCurve curve;
    return curve;
}

// A resource of the bundle that exists and is not a folder.
bool findResourceFile(const std::string& name, std::string& path) {
    const std::optional<std::string> found = platform::bundleResourcePath(name, "xml");
    if (!found) {
        return false;
    }
    bool isDirectory = false;
    if (!ZEZUUtils::FileUtils::PathExists(*found, isDirectory) || isDirectory) {
        return false;
    }
    path = *found;
    return true;
}

// Where the package is downloaded to: the console user's Application Support, but for root a
// folder of its own under the local one, which no other user may change, since root attaches
// and runs what lies there.
bool packageFolder(zezu::Logger& logger, std::string& folder) {
    if (geteuid() != 0) return ZEZUUtils::FileUtils::GetDirectoryPath(12, folder);
    std::string why;
    if (ZEZUUtils::folders::rootOnlyLocalFolder(kRootDownloadFolder, folder, why)) return true;
    logger.error("", "The folder for the package is refused: %s", why.c_str());
    return false;
}

bool isRegularFile(const std::string& path) {
    bool isDirectory = false;
    return ZEZUUtils::FileUtils::PathExists(path, isDirectory) && !isDirectory;
}

}  // namespace

std::optional<float> InstallCurve::advance(double& installCounter) {
    const double shown = installCounter * 0.001 * 30 + 5 + 65;
    std::optional<float> result;
    if (shown < 100) {
        result = static_cast<float>(shown);
    }
    if (step > 0.005 && 30 / divisor > 100 - shown) {
        step = step / 1.2;
        divisor = divisor * 1.2;
    }
    installCounter += step;
    return result;
}

void bootstrap_seams::testing::resetInstallCurve() { processInstallCurve() = InstallCurve{}; }

std::string ZORWorkflowManager::versionFileURL(const std::string& zameeurl) {
    return platform::directoryOfUrl(zameeurl) + "/" + kVersionFileName;
}

std::optional<float> ZORWorkflowManager::transferProgress(int32_t manifestState, float percent,
                                                          uint32_t& unknownSizeTicks) {
    switch (manifestState) {
        case 1: return 2.5f;
        case 2: return 5.0f;
        case 3: {
            float p = percent;
            if (p < 0) {
                p = static_cast<float>(unknownSizeTicks) / 36.0f;
                if (unknownSizeTicks < kUnknownSizeTickLimit) {
                    ++unknownSizeTicks;
                }
            }
            return p * 65 / 100 + 5;
        }
        default: return std::nullopt;
    }
}

std::string ZORWorkflowManager::progressTitleForDownload() {
    return text(session_->productInstalled ? kInstallUpdateKey : kDownloadingKey);
}

std::string ZORWorkflowManager::progressTitleForInstall() {
    return text(session_->productInstalled ? kInstallUpdateKey : kInstallKey);
}

void ZORWorkflowManager::sendEvent(const char* eventName) {
    DEZSessionValues values;
    values.errorKind = session_->errorKind;
    values.state = session_->state;
    values.installedVersion = session_->installedVersion;
    values.versionFilePath = session_->versionFilePath;
    session_->copyProxyCredentials(values.proxyUsername, values.proxyPassword);
    values.commandLine = &session_->commandLine;
    values.sessionId = &session_->sessionId;
    values.userId = &session_->userId;
    DEZReporter::getInstance()->sendInstallEvent(eventName, values);
}

bool ZORWorkflowManager::deploymentLocked() {
    bool locked = false;
    for (const int id : bootstrap_locks::kDeploymentLockIds) {
        ZRVSystemLevelDeploymentLock lock(id, lockKeyPath_);
        locked = lock.isLocked() || locked;
    }
    return locked;
}

bool ZORWorkflowManager::otherInstancesRunning() {
    ZRVSemaphoreLock probe(bootstrap_locks::kInstanceProbeId, bootstrap_locks::kInstanceProbeUnits, lockKeyPath_);
    return probe.isInUse();
}

void ZORWorkflowManager::stepStateMachine() {
    worker_.check("ZORWorkflowManager");
    switch (session_->state) {
        case bootstrap_state::kInitialScreen: stepInitialScreen(); break;
        case bootstrap_state::kBootstrap: stepBootstrap(); break;
        case bootstrap_state::kInstanceLock: stepInstanceLock(); break;
        case bootstrap_state::kSystemCheck: stepSystemCheck(); break;
        case bootstrap_state::kDeploymentLocks: stepDeploymentLocks(); break;
        case bootstrap_state::kInstalledCheck: stepInstalledCheck(); break;
        case bootstrap_state::kVersionFile: stepVersionFile(); break;
        case bootstrap_state::kVersionCompare: stepVersionCompare(); break;
        case bootstrap_state::kPackageStart: stepPackageStart(); break;
        case bootstrap_state::kPackageDownload: stepPackageDownload(); break;
        case bootstrap_state::kLocksAfterDownload: stepLocksAfterDownload(); break;
        case bootstrap_state::kInstall: stepInstall(); break;
        case bootstrap_state::kInstallingNote:
            // No step enters this state; it is kept for its number.
            logger_->info("Installing latest Morvane Studio Packager");
            break;
        case bootstrap_state::kLaunch: stepLaunch(); break;
        case bootstrap_state::kClose: stepClose(); break;
        default:
            // 10, 11, 12 (never entered) and the inert 18.
            break;
    }
}

void ZORWorkflowManager::stepInitialScreen() {
    viewMediator_->showProgressScreen("", true);
    logger_->info("initializing screen");
    session_->state = bootstrap_state::kBootstrap;
}

void ZORWorkflowManager::stepBootstrap() {
    {
        std::string user;
        std::string password;
        session_->copyProxyCredentials(user, password);
        VOR store;
        store.createLibRef();
        store.readProxyCredentials(user, password);
        store.freeLibRef();
        session_->setProxyCredentials(user, password);
    }
    bool passed = true;
    // An empty temporary folder would put the version file and the manifest at the root.
    if (session_->tempFolderPath.empty()) {
        logger_->error("", "The temporary folder of this run could not be created");
        passed = false;
    }
    // Each resource is looked up, so every one that is missing is reported.
    if (!findResourceFile("systemCheck", session_->systemCheckPath)) {
        logger_->error("", "System Check info xml is not present in the installer. The installer is corrupted.");
        logger_->fatal("", "System check information not available or is Invalid");
        passed = false;
    }
    if (!findResourceFile("productInfo", session_->productInfoPath)) {
        logger_->error("", "Product info xml is not present in the installer. The installer is corrupted.");
        logger_->fatal("", "Product Info information not available or is Invalid");
        passed = false;
    } else if (!session_->productInfo.initWithXMLPath(session_->productInfoPath, true)) {
        passed = false;
    }
    if (passed) {
        logger_->info("Bootstraping Passed");
        session_->state = bootstrap_state::kInstanceLock;
        return;
    }
    logger_->error("", "FAILED to bootstart the MSP_ZOR");
    showErrorScreen(error_kind::kBootstrapFailure);
}

void ZORWorkflowManager::stepInstanceLock() {
    auto lock = std::make_unique<ZRVSemaphoreLock>(bootstrap_locks::kInstanceLockId, 1, lockKeyPath_);
    if (lock->acquire()) {
        instanceLock_ = std::move(lock);
        showErrorScreen(error_kind::kNone);
        session_->state = bootstrap_state::kSystemCheck;
        logger_->info("MSP_ZOR lock acquired");
        return;
    }
    if (session_->errorKind != error_kind::kInstanceRunning) {
        showErrorScreen(error_kind::kInstanceRunning);
    }
}

void ZORWorkflowManager::stepSystemCheck() {
    if (!systemCheck_.loadRequirements(session_->systemCheckPath, true)) {
        logger_->fatal("", "System check information not available or is Invalid");
        logger_->error("", "Unknown error during system requirements check");
        // With no requirement loaded the OS check means nothing.
        showErrorScreen(error_kind::kFatal, "", false);
        return;
    }
    if (systemCheck_.checkOSVersion()) {
        logger_->info("System requirements check passed");
        session_->state = bootstrap_state::kDeploymentLocks;
        return;
    }
    logger_->fatal("", "System check failed");
    logger_->error("", "FAILED to meet the system requirements");
    showErrorScreen(error_kind::kOSTooOld);
}

void ZORWorkflowManager::stepDeploymentLocks() {
    bootstrap_seams::sleepMicroseconds(lockPollMicroseconds_);
    if (lockWaitCountdown_ >= 1) {
        --lockWaitCountdown_;
    }
    if (deploymentLocked()) {
        if (session_->errorKind != error_kind::kDeploymentLocked && lockWaitCountdown_ <= 0) {
            showErrorScreen(error_kind::kDeploymentLocked);
        }
        return;
    }
    if (otherInstancesRunning()) {
        if (session_->errorKind != error_kind::kOtherInstances && lockWaitCountdown_ <= 0) {
            showErrorScreen(error_kind::kOtherInstances);
        }
        return;
    }
    showErrorScreen(error_kind::kNone);
    session_->state = bootstrap_state::kInstalledCheck;
    viewMediator_->showProgressScreen(text(kInstallPackageKey), true);
    logger_->info("deployment lock check passed");
}

void ZORWorkflowManager::stepInstalledCheck() {
    std::string folder;
    if (!ZEZUUtils::FileUtils::GetDirectoryPath(24, folder)) {
        logger_->error("", "The folder of the installed packager could not be found");
        showErrorScreen(error_kind::kBootstrapFailure);
        return;
    }
    folder += "/MSP";
    bool isDirectory = false;
    if (ZEZUUtils::FileUtils::PathExists(folder, isDirectory) && isDirectory &&
        versionComparator_.getInstalledVersion(folder, session_->installedVersion)) {
        logger_->info("MSP already present");
        session_->state = bootstrap_state::kVersionFile;
        session_->subState = 1;
        session_->productInstalled = true;
        return;
    }
    logger_->info("MSP not present so downloading is initiatied");
    session_->state = bootstrap_state::kPackageStart;
    session_->productInstalled = false;
}

void ZORWorkflowManager::stepVersionFile() {
    const std::string localPath = session_->tempFolderPath + "/" + kVersionFileName;
    switch (session_->subState) {
        case 6: viewMediator_->showProgressScreen(text(kInstallPackageKey), false); [[fallthrough]];
        case 1: {
            viewMediator_->enableQuitButton(false);
            fileDownloader_.close();
            std::string user;
            std::string password;
            session_->copyProxyCredentials(user, password);
            fileDownloader_.setCookie(session_->productInfo.getCookie());
            fileDownloader_.setDownloadPreference(kSegmentSize, user, password);
            session_->subState = 2;
            [[fallthrough]];
        }
        case 2: {
            logger_->info("****Downloading MSP version info file****");
            ZEZUUtils::FileUtils::DeleteFileAtPath(localPath, false);
            const std::string url = versionFileURL(session_->productInfo.getZameeURL());
            if (fileDownloader_.downloadFileSync(url, session_->tempFolderPath, kVersionFileName)) {
                session_->versionFilePath = localPath;
                session_->subState = 7;
            } else {
                reportFailure(fileDownloader_.getErrorType(), fileDownloader_.getExtendedErrorCode());
            }
            break;
        }
        case 7:
            showErrorScreen(error_kind::kNone);
            session_->subState = 0;
            session_->state = bootstrap_state::kVersionCompare;
            break;
        default: break;
    }
}

void ZORWorkflowManager::stepVersionCompare() {
    ZEZUUtils::XMLParser parser;
    std::string downloaded;
    if (!parser.initWithXMLPath(session_->versionFilePath) ||
        !parser.stringValueForXQuery(MSPVersionComparator::kVersionQuery, downloaded)) {
        logger_->error("", "Failed to get MSP version from downloaded version.xml.");
        session_->state = bootstrap_state::kLaunch;
        return;
    }
    if (versionComparator_.compare(session_->installedVersion, downloaded)) {
        logger_->info("Latest Morvane Studio Packager needs to be updated on the machine");
        session_->state = bootstrap_state::kPackageStart;
        return;
    }
    session_->state = bootstrap_state::kLaunch;
}

void ZORWorkflowManager::stepPackageStart() {
    logger_->info("Downloading Morvane Studio Packager Enterprise Edition");
    std::string assetFolder;
    if (!packageFolder(*logger_, assetFolder)) {
        logger_->error("", "The folder for the package could not be found");
        showErrorScreen(error_kind::kBootstrapFailure);
        return;
    }
    viewMediator_->enableQuitButton(false);
    downloadManifest_.setManifestURL(session_->productInfo.getZameeURL(), session_->productInfo.getCookie());
    downloadManifest_.setDownloadFolders(assetFolder, session_->tempFolderPath);
    std::string user;
    std::string password;
    session_->copyProxyCredentials(user, password);
    downloadManifest_.setProxyCredentials(user, password, false);
    session_->subState = 1;

    std::vector<std::string> arguments;
    if (session_->sessionId.empty()) {
        session_->commandLine.getValueForArgument("sessionId", session_->sessionId);
    }
    if (session_->sessionId.empty()) {
        StringUtils::GUIDString(session_->sessionId);
    }
    arguments.push_back("--sessionId=" + session_->sessionId);
    if (session_->userId.empty()) {
        session_->commandLine.getValueForArgument("userId", session_->userId);
    }
    if (!session_->userId.empty()) {
        arguments.push_back("--userId=" + session_->userId);
    }
    downloadManifest_.setInstallerArguments(arguments);
    session_->state = bootstrap_state::kPackageDownload;
}

void ZORWorkflowManager::stepPackageDownload() {
    std::string title;
    switch (session_->subState) {
        case 1:
        case 2:
            title = progressTitleForDownload();
            sendEvent("MSP_BOOTSTRAP_DL_START");
            session_->subState = 3;
            [[fallthrough]];
        case 3: {
            viewMediator_->showProgressScreen(title, true);
            if (!downloadManifest_.continueDownload()) {
                handleResult();
                break;
            }
            lastManifestState_ = downloadManifest_.getState();
            if (lastManifestState_ == 3) {
                viewMediator_->enableQuitButton(true);
            }
            const float percent = lastManifestState_ == 3 ? downloadManifest_.getProgressPercent() : 0.0f;
            if (const std::optional<float> shown = transferProgress(lastManifestState_, percent, unknownSizeTicks_)) {
                viewMediator_->updateProgressPercent(*shown);
            } else if (lastManifestState_ == 4) {
                sendEvent("MSP_BOOTSTRAP_DL_END");
                session_->state = bootstrap_state::kLocksAfterDownload;
            } else if (lastManifestState_ != 6 && lastManifestState_ != 7) {
                viewMediator_->enableQuitButton(false);
            }
            break;
        }
        case 4:
            // No step sets this sub-step; kept for its number.
            if (downloadManifest_.pause()) {
                session_->subState = 5;
            } else {
                handleResult();
            }
            break;
        case 6: {
            viewMediator_->showProgressScreen(progressTitleForDownload(), false);
            std::string user;
            std::string password;
            session_->copyProxyCredentials(user, password);
            downloadManifest_.setProxyCredentials(user, password, true);
            downloadManifest_.resume();
            session_->subState = 3;
            break;
        }
        case 7:
            // No step sets this sub-step; kept for its number.
            session_->state = bootstrap_state::kLocksAfterDownload;
            break;
        default: break;
    }
}

void ZORWorkflowManager::stepLocksAfterDownload() {
    if (deploymentLocked()) {
        if (session_->errorKind != error_kind::kDeploymentLocked) {
            showErrorScreen(error_kind::kDeploymentLocked);
        }
        return;
    }
    if (otherInstancesRunning()) {
        if (session_->errorKind != error_kind::kOtherInstances) {
            showErrorScreen(error_kind::kOtherInstances);
        }
        return;
    }
    showErrorScreen(error_kind::kNone);
    viewMediator_->showProgressScreen(progressTitleForInstall(), true);
    sendEvent("MSP_BOOTSTRAP_INSTALL_START");
    session_->state = bootstrap_state::kInstall;
    logger_->info("post download deployment lock check passed");
    logger_->info("Extracting and installing Morvane Studio Packager");
}

void ZORWorkflowManager::stepInstall() {
    viewMediator_->enableQuitButton(false);
    const bool firstStep = installCounter_ == 0;
    if (const std::optional<float> shown = processInstallCurve().advance(installCounter_)) {
        viewMediator_->updateProgressPercent(*shown);
    }
    if (firstStep) {
        viewMediator_->updateProgressTitle(progressTitleForInstall());
    }
    if (!downloadManifest_.continueDownload()) {
        handleResult();
        return;
    }
    lastManifestState_ = downloadManifest_.getState();
    if (lastManifestState_ == 7) {
        sendEvent("MSP_BOOTSTRAP_INSTALL_END");
        viewMediator_->updateProgressPercent(99.99f);
        bootstrap_seams::sleepMicroseconds(finishPauseMicroseconds_);
        session_->state = bootstrap_state::kClose;
        session_->subState = 0;
    }
}

void ZORWorkflowManager::stepLaunch() {
    logger_->info("Launching Morvane Studio Packager");
    std::string folder;
    bool launched = false;
    if (ZEZUUtils::FileUtils::GetDirectoryPath(24, folder)) {
        const std::string executable = folder + "/MSP" + kPackagerExecutable;
        unsigned long processId = 0;
        unsigned long exitStatus = 0;
        launched = isRegularFile(executable) &&
                   ZEZUUtils::ProcessUtils::LaunchProcess(executable, {}, processId, false, exitStatus, true, 0);
    }
    if (launched) {
        viewMediator_->updateProgressTitle(text(kLaunchKey));
        viewMediator_->updateProgressPercent(99.5f);
        bootstrap_seams::sleepMicroseconds(finishPauseMicroseconds_);
        session_->state = bootstrap_state::kClose;
    } else {
        logger_->fatal("", "Failed to launch MSP. Some Internal Error");
        // Not showErrorScreen(6): that would show the A12E2 text.
        viewMediator_->showFatalErrorScreen(text(kInternalErrorKey), true);
        session_->errorKind = error_kind::kBootstrapFailure;
        session_->state = bootstrap_state::kInert;
    }
    viewMediator_->enableQuitButton(true);
}

void ZORWorkflowManager::stepClose() {
    if (session_->rememberCredentials.load()) {
        std::string user;
        std::string password;
        session_->copyProxyCredentials(user, password);
        VOR store;
        store.createLibRef();
        store.writeProxyCredentials(user, password);
        store.freeLibRef();
    }
    if (instanceLock_) {
        if (!instanceLock_->release()) {
            logger_->error("", "Failed to release semaphore lock");
        }
        instanceLock_.reset();
    }
    viewMediator_->closeUI();
    running_.store(false);
}
