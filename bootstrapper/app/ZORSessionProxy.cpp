// The session record: temporary folder, dictionary, command line and the window's setters.
#include "bootstrapper/app/ZORSessionProxy.h"

#include "bootstrapper/support/ZAMEEUtilities.h"
#include "foundation/utils/FileUtils.h"

ZORSessionProxy::ZORSessionProxy() = default;

ZORSessionProxy::~ZORSessionProxy() {
    // An empty path names nothing: deleting it would mean the working folder.
    if (!tempFolderPath.empty()) {
        ZEZUUtils::FileUtils::DeleteDirectoryAtPath(tempFolderPath, true, false);
    }
}

bool ZORSessionProxy::init() {
    std::string folder;
    if (ZAMEEUtilities::createTempFolder(folder)) {
        tempFolderPath = folder;
    }
    return utils.loadDictionary();
}

void ZORSessionProxy::parseCommandLine(int argc, char** argv) { commandLine.parseCommandLineArguments(argc, argv); }

void ZORSessionProxy::quit() { userAction.store(user_action::kQuit); }

void ZORSessionProxy::submitCredentials(const std::string& user, const std::string& password) {
    // Both texts are in place before the worker can see code 3.
    setProxyCredentials(user, password);
    userAction.store(user_action::kSubmitCredentials);
}

void ZORSessionProxy::cancelCredentials() { userAction.store(user_action::kCancelCredentials); }
void ZORSessionProxy::retry() { userAction.store(user_action::kRetry); }
void ZORSessionProxy::confirmQuit() { userAction.store(user_action::kConfirmQuit); }
void ZORSessionProxy::rejectQuit() { userAction.store(user_action::kRejectQuit); }
void ZORSessionProxy::setRememberCredentials(bool remember) { rememberCredentials.store(remember); }

int32_t ZORSessionProxy::takeUserAction() {
    int32_t code = userAction.load();
    // A plain exchange would clear a standing 8, and the step that raised it would run again.
    while (code != user_action::kWaiting && !userAction.compare_exchange_weak(code, user_action::kNone)) {
    }
    return code;
}

void ZORSessionProxy::waitForUser() {
    int32_t none = user_action::kNone;
    userAction.compare_exchange_strong(none, user_action::kWaiting);
}

void ZORSessionProxy::setProxyCredentials(const std::string& user, const std::string& password) {
    ZEZUUtils::ScopedCriticalSection hold(credentialsLock_);
    proxyUsername_ = user;
    proxyPassword_ = password;
}

void ZORSessionProxy::copyProxyCredentials(std::string& user, std::string& password) const {
    ZEZUUtils::ScopedCriticalSection hold(credentialsLock_);
    user = proxyUsername_;
    password = proxyPassword_;
}
