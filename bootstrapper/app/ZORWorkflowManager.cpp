// The workflow worker: its thread, its 10 ms tick and the user actions it takes each tick.
#include "bootstrapper/app/ZORWorkflowManager.h"

#include <chrono>
#include <system_error>

#include "bootstrapper/app/BootstrapSeams.h"
#include "bootstrapper/app/ZORSessionProxy.h"
#include "bootstrapper/support/ErrorMessages.h"
#include "bootstrapper/support/SupportAddress.h"
#include "bootstrapper/ui/ViewMediator.h"
#include "download/EngineResults.h"

namespace {
constexpr std::chrono::microseconds kTick{10000};
}  // namespace

// The logger exists from the start, so a run refused before init is still reported.
ZORWorkflowManager::ZORWorkflowManager()
    : logger_(std::make_unique<zezu::Logger>("ZOR", "", "Download", "ZOR", "ZORWorkflowManager")) {}

ZORWorkflowManager::~ZORWorkflowManager() {
    stopThread();
    // A run that never reached state 17 still holds the instance lock.
    if (instanceLock_) {
        instanceLock_->release();
        instanceLock_.reset();
    }
}

bool ZORWorkflowManager::init(ZORSessionProxy* session, ViewMediator* viewMediator) {
    if (session == nullptr || viewMediator == nullptr) {
        return false;
    }
    session_ = session;
    viewMediator_ = viewMediator;
    initialized_ = true;

    const bootstrap_seams::LockKeyPath keyPath = bootstrap_seams::lockKeyPath();
    lockKeyPath_ = keyPath.path;
    if (keyPath.rejected) {
        logger_->warn("", "%s names nothing that exists; the locks use %s", bootstrap_seams::kLockKeyPathVariable,
                      lockKeyPath_.c_str());
    }
    lockPollMicroseconds_ = bootstrap_seams::microsecondsFromEnvironment(bootstrap_seams::kLockPollVariable,
                                                                         bootstrap_seams::kDefaultLockPollMicroseconds);
    finishPauseMicroseconds_ = bootstrap_seams::microsecondsFromEnvironment(
        bootstrap_seams::kFinishPauseVariable, bootstrap_seams::kDefaultFinishPauseMicroseconds);
    return true;
}

bool ZORWorkflowManager::run() {
    if (!initialized_) {
        logger_->warn("", "Thread is not initialized, so it cannot run");
        return false;
    }
    running_.store(true);
    return startThread();
}

bool ZORWorkflowManager::startThread() {
    if (thread_.joinable()) {
        logger_->warn("", "thread (%d) is already running. Closing it first", threadNumber_);
        stopThread();
        running_.store(true);
    }
    // The state machine passes to the new worker.
    worker_.detach();
    try {
        thread_ = std::thread(&ZORWorkflowManager::threadProc, this);
    } catch (const std::system_error& failure) {
        logger_->fatal("", "thread failed to resumed. Fatal Error. %d", failure.code().value());
        running_.store(false);
        return false;
    }
    threadNumber_ = 0;
    return true;
}

bool ZORWorkflowManager::stopThread() {
    if (initialized_) {
        running_.store(false);
    }
    if (thread_.joinable()) {
        try {
            thread_.join();
        } catch (const std::system_error&) {
            logger_->warn("", "failed to join with the current worker thread (%d)", threadNumber_);
            thread_.detach();
        }
    }
    return true;
}

void ZORWorkflowManager::closeDownloads() {
    fileDownloader_.close();
    downloadManifest_.closeDownload();
    downloadManifest_.releaseAssets();
}

void ZORWorkflowManager::threadProc() {
    while (running_.load()) {
        std::this_thread::sleep_for(kTick);
        if (dispatchUserAction()) {
            stepStateMachine();
        }
    }
}

bool ZORWorkflowManager::dispatchUserAction() {
    worker_.check("ZORWorkflowManager");
    const int32_t code = session_->takeUserAction();
    switch (code) {
        case user_action::kWaiting: return false;
        case user_action::kQuitAlias:
        case user_action::kQuit: quitRequest(); return false;
        case user_action::kSubmitCredentials:
            if (session_->state == bootstrap_state::kInstall) {
                resumeInstall();
            } else {
                showErrorScreen(error_kind::kNone);
                session_->subState = 6;
            }
            return true;
        case user_action::kCancelCredentials:
            session_->state = bootstrap_state::kInert;
            showErrorScreen(error_kind::kProxyCancelled);
            return true;
        case user_action::kRetry: onRetry(); return true;
        case user_action::kConfirmQuit: session_->state = bootstrap_state::kClose; return true;
        case user_action::kRejectQuit:
            if (session_->errorKind == error_kind::kNone &&
                (session_->state == bootstrap_state::kVersionFile ||
                 session_->state == bootstrap_state::kPackageDownload) &&
                session_->subState == 5) {
                session_->subState = 6;
            } else if (session_->errorKind == error_kind::kRecoverable) {
                // The warning stays up and keeps waiting for retry or quit; stepping again would
                // redo the failed step without the user asking.
                session_->waitForUser();
            }
            return false;
        default: return true;
    }
}

void ZORWorkflowManager::quitRequest() {
    const int32_t kind = session_->errorKind;
    if (kind == error_kind::kNone || kind == error_kind::kRecoverable || kind == error_kind::kInstanceRunning ||
        kind == error_kind::kDeploymentLocked || kind == error_kind::kOtherInstances) {
        if (session_->state == bootstrap_state::kPackageDownload || session_->state == 10) {
            downloadManifest_.pause();
            session_->subState = 5;
        }
        // Stored before the question blocks: the answer replaces it.
        session_->setUserAction(user_action::kWaiting);
        viewMediator_->showQuitConfirmation();
        return;
    }
    session_->state = bootstrap_state::kClose;
}

void ZORWorkflowManager::onRetry() {
    if (viewMediator_->getButton2Mode() == 1) {
        bootstrap_seams::openLink(text(std::string("$$$/ZOR/ZAMLink=") + kSupportAddress));
        quitRequest();
        return;
    }
    if (session_->state == bootstrap_state::kInstall) {
        resumeInstall();
        return;
    }
    showErrorScreen(error_kind::kNone);
    if (session_->state == bootstrap_state::kVersionFile || session_->state == bootstrap_state::kPackageDownload) {
        session_->subState = 6;
    }
}

void ZORWorkflowManager::resumeInstall() {
    // A later asset fails while installing: the same file goes on with the current
    // credentials, and this tick's step carries on with state 14. The install bar comes back
    // in place of the warning, quit disabled as state 14 keeps it.
    showErrorScreen(error_kind::kNone);
    viewMediator_->showProgressScreen(progressTitleForInstall(), false);
    std::string user;
    std::string password;
    session_->copyProxyCredentials(user, password);
    downloadManifest_.setProxyCredentials(user, password, true);
    downloadManifest_.resume();
}

std::string ZORWorkflowManager::text(const std::string& keyWithDefault) {
    std::string value;
    session_->utils.getLocalizedString(keyWithDefault, value);
    return value;
}

void ZORWorkflowManager::showErrorScreen(int32_t kind, const std::string& errorText, bool showLink) {
    session_->errorKind = kind;
    switch (kind) {
        case error_kind::kProxySheet:
        case error_kind::kProxyCancelled:
        case error_kind::kRecoverable:
        case error_kind::kFatal:
        case error_kind::kBootstrapFailure:
        case error_kind::kOSTooOld:
            // Before the window: the sheet blocks until answered, and an 8 stored after it would
            // erase the answer. A quit clicked since this tick took its action stays for the
            // next tick, where this screen's rule answers it.
            session_->waitForUser();
            break;
        default: break;
    }
    switch (kind) {
        case error_kind::kProxySheet:
            viewMediator_->showProxyDialog(
                text("$$$/ZOR/AuthProxyErrorLabel=Please provide your proxy server username and password"),
                text("$$$/ZOR/AuthProxyUsernameLabel=Username"), text("$$$/ZOR/AuthProxyPasswordLabel=Password"));
            break;
        case error_kind::kProxyCancelled:
            viewMediator_->showFatalErrorScreen(
                text("$$$/ZOR/ProxyAuthenticationString=Download cannot proceed without successful proxy "
                     "authentication. Please provide valid proxy authentication to continue your setup."),
                false);
            break;
        case error_kind::kRecoverable: viewMediator_->showWarningErrorScreen(errorText, true); break;
        case error_kind::kFatal: viewMediator_->showFatalErrorScreen(errorText, showLink); break;
        case error_kind::kBootstrapFailure:
            viewMediator_->showFatalErrorScreen(
                ZORUtils::replacePlaceholder(
                    text("$$$/ZOR/FatalErrorScreen=Sorry, the program is not responding correctly (Error code: "
                         "@#<error number>@#). For troubleshooting tips, please visit our customer support page."),
                    "A12E2", ""),
                true);
            break;
        case error_kind::kInstanceRunning:
        case error_kind::kDeploymentLocked:
            viewMediator_->showWarningErrorScreen(
                text("$$$/ZOR/AnotherZORRunning=Another installer is currently running, which must be closed before "
                     "installing this product. Please close or wait for other installers to complete."),
                false);
            break;
        case error_kind::kOtherInstances:
            viewMediator_->showWarningErrorScreen(
                text("$$$/ZOR/WaitOrCloseOtherInstances=Other instances of Morvane Studio Packager are currently "
                     "running which must be closed before installing this product. Please close or wait for them to "
                     "complete."),
                false);
            break;
        case error_kind::kOSTooOld:
            viewMediator_->showFatalErrorScreen(
                ZORUtils::replacePlaceholder(
                    text("$$$/ZOR/OSReqNotMet=OS does not meet the minimum system requirements for this installer. "
                         "@#<version string>@# is the minimum required for installation."),
                    systemCheck_.getRequiredVersionString(), ""),
                false);
            break;
        default: break;
    }
}

void ZORWorkflowManager::reportFailure(int32_t errorType, int32_t extendedCode) {
    std::string errorText;
    bool fatal = false;
    bool showLink = false;
    int type = errorType;
    int code = extendedCode;
    resolveDownloadError(errorText, type, code, session_->utils.dictionaryHandle(), fatal, showLink);
    if (!fatal) {
        session_->subState = 5;
        if (errorType == flat(EngineErrorCode::ProxyAuthentication)) {
            showErrorScreen(error_kind::kProxySheet);
        } else {
            showErrorScreen(error_kind::kRecoverable, errorText);
        }
        return;
    }
    showErrorScreen(error_kind::kFatal, errorText, showLink);
}

void ZORWorkflowManager::handleResult() {
    if (downloadManifest_.getState() == 4) {
        int actionType = 0;
        int resultCode = 0;
        downloadManifest_.getLastActionInfo(actionType, resultCode);
        reportInstallFailure(actionType, resultCode);
        return;
    }
    sendEvent("MSP_BOOTSTRAP_DL_END");
    reportFailure(downloadManifest_.getErrorType(), downloadManifest_.getExtendedErrorCode());
}

void ZORWorkflowManager::reportInstallFailure(int actionType, int resultCode) {
    std::string errorText;
    bool showLink = false;
    // The support button is set up before the screen, so the fatal screen focuses it.
    resolveInstallError(errorText, actionType, resultCode, session_->utils.dictionaryHandle(), showLink, [this] {
        viewMediator_->setButton2Mode(1);
        viewMediator_->showButton2(true);
    });
    logger_->fatal("", "Failed to extract or install Morvane Studio Packager. Error Code - %d", resultCode);
    showErrorScreen(error_kind::kFatal, errorText, showLink);
    sendEvent("MSP_BOOTSTRAP_INSTALL_END");
}
