// The session record the window and the workflow worker share for one run.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "bootstrapper/app/ProductInfo.h"
#include "bootstrapper/support/ZORUtils.h"
#include "bootstrapper/ui/UserActionSink.h"
#include "bootstrapper/ui/ZORViewHandles.h"
#include "foundation/utils/CommandLineParser.h"
#include "foundation/utils/NativeCriticalSection.h"
#include "platform/ThreadAnnotations.h"

// User action codes of `userAction`.
namespace user_action {
inline constexpr int32_t kNone = 0;
inline constexpr int32_t kQuitAlias = 1;
inline constexpr int32_t kQuit = 2;
inline constexpr int32_t kSubmitCredentials = 3;
inline constexpr int32_t kCancelCredentials = 4;
inline constexpr int32_t kRetry = 5;
inline constexpr int32_t kConfirmQuit = 6;
inline constexpr int32_t kRejectQuit = 7;
inline constexpr int32_t kWaiting = 8;
}  // namespace user_action

class ZORSessionProxy : public UserActionSink {
public:
    ZORSessionProxy();
    // Removes the temporary folder with everything in it.
    ~ZORSessionProxy() override;
    ZORSessionProxy(const ZORSessionProxy&) = delete;
    ZORSessionProxy& operator=(const ZORSessionProxy&) = delete;

    // Makes the temporary folder (an empty path when that fails) and loads the dictionary;
    // the result is the dictionary's.
    bool init();
    void parseCommandLine(int argc, char** argv);

    // The window's setters (main thread).
    void quit() override;
    void submitCredentials(const std::string& user, const std::string& password) override;
    void cancelCredentials() override;
    void retry() override;
    void confirmQuit() override;
    void rejectQuit() override;
    void setRememberCredentials(bool remember) override;

    // The worker's side of `userAction`: a standing 8 stays and is answered as 8; any other
    // code is swapped for 0 and answered.
    int32_t takeUserAction();
    void setUserAction(int32_t code) { userAction.store(code); }
    // The worker's 8 for a screen raised after this tick took its action: stored only over 0, so
    // an action the window posted since (a quit clicked while the step ran) waits for the next
    // tick and is never overwritten.
    void waitForUser();

    void setProxyCredentials(const std::string& user, const std::string& password) EXCLUDES(credentialsLock_);
    void copyProxyCredentials(std::string& user, std::string& password) const EXCLUDES(credentialsLock_);

    std::atomic<bool> rememberCredentials{false};
    std::string tempFolderPath;
    std::string systemCheckPath;
    std::string versionFilePath;
    std::string productInfoPath;
    std::string installedVersion;
    bool productInstalled = false;
    // Worker only, like the fields above once the worker runs.
    int32_t state = 0;
    int32_t subState = 0;
    int32_t errorKind = 0;
    std::atomic<int32_t> userAction{0};
    ZORViewHandles viewHandles;
    ZORUtils utils;
    ProductInfo productInfo;
    ZEZUUtils::CommandLineParser commandLine;
    std::string sessionId;
    std::string userId;

private:
    mutable ZEZUUtils::NativeCriticalSection credentialsLock_;
    std::string proxyUsername_ GUARDED_BY(credentialsLock_);
    std::string proxyPassword_ GUARDED_BY(credentialsLock_);
};
