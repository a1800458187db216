// The workflow worker: its thread, the user actions it takes and the bootstrap state machine.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "bootstrapper/manifest/DownloadManifest.h"
#include "bootstrapper/manifest/FileDownloader.h"
#include "bootstrapper/support/MSPVersionComparator.h"
#include "bootstrapper/support/SystemCheck.h"
#include "foundation/locks/ZRVSemaphoreLock.h"
#include "foundation/logging/Logger.h"
#include "platform/ThreadChecker.h"

class ViewMediator;
class ZORSessionProxy;

// Bootstrap states and error kinds (numbers are fixed: telemetry carries them).
namespace bootstrap_state {
inline constexpr int32_t kInitialScreen = 0;
inline constexpr int32_t kBootstrap = 1;
inline constexpr int32_t kInstanceLock = 2;
inline constexpr int32_t kSystemCheck = 3;
inline constexpr int32_t kDeploymentLocks = 4;
inline constexpr int32_t kInstalledCheck = 5;
inline constexpr int32_t kVersionFile = 6;
inline constexpr int32_t kVersionCompare = 7;
inline constexpr int32_t kPackageStart = 8;
inline constexpr int32_t kPackageDownload = 9;
inline constexpr int32_t kLocksAfterDownload = 13;
inline constexpr int32_t kInstall = 14;
inline constexpr int32_t kInstallingNote = 15;
inline constexpr int32_t kLaunch = 16;
inline constexpr int32_t kClose = 17;
inline constexpr int32_t kInert = 18;
}  // namespace bootstrap_state

namespace error_kind {
inline constexpr int32_t kNone = 0;
inline constexpr int32_t kProxySheet = 1;
inline constexpr int32_t kProxyCancelled = 2;
inline constexpr int32_t kRecoverable = 4;
inline constexpr int32_t kFatal = 5;
inline constexpr int32_t kBootstrapFailure = 6;
inline constexpr int32_t kInstanceRunning = 7;
inline constexpr int32_t kDeploymentLocked = 8;
inline constexpr int32_t kOtherInstances = 9;
inline constexpr int32_t kOSTooOld = 10;
}  // namespace error_kind

// Project ids of the run's System V locks (only their low bytes reach the key).
namespace bootstrap_locks {
inline constexpr int kInstanceLockId = 0x4394AC9D;
inline constexpr int kInstanceProbeId = 0x856E61;
inline constexpr int kInstanceProbeUnits = 255;
inline constexpr int kDeploymentLockIds[2] = {0x232AEA8, 0x7D026448};
}  // namespace bootstrap_locks

// The install bar's curve: a counter and the process-wide step and divisor.
struct InstallCurve {
    double step = 1.0;
    double divisor = 1.2;
    // One step of state 14 at installCounter: the percent to show (none from 100 on); the
    // counter grows by the step, which shrinks as the bar nears 100.
    std::optional<float> advance(double& installCounter);
};

class ZORWorkflowManager {
public:
    ZORWorkflowManager();
    ~ZORWorkflowManager();
    ZORWorkflowManager(const ZORWorkflowManager&) = delete;
    ZORWorkflowManager& operator=(const ZORWorkflowManager&) = delete;

    bool init(ZORSessionProxy* session, ViewMediator* viewMediator);
    bool run();
    bool startThread();
    bool stopThread();

    void setRunning(bool running) { running_.store(running); }
    bool isRunning() const { return running_.load(); }

    // One tick's user action; true when the state machine steps this tick.
    bool dispatchUserAction();
    // One step of the state machine.
    void stepStateMachine();

    // Records the kind and shows its screen; the kinds that wait for the user store 8 first.
    void showErrorScreen(int32_t kind, const std::string& text = std::string(), bool showLink = false);

    // A failed download (the engine's error type): the warning with retry or the proxy sheet
    // for what the user can mend (sub-step 5 then waits), else the fatal screen.
    void reportFailure(int32_t errorType, int32_t extendedCode);
    // A failed action of the package (type 1 install, 2 extract, with its result code): the
    // fatal screen of its text, the support button where its row asks for it, INSTALL_END.
    void reportInstallFailure(int actionType, int resultCode);

    // Closes both download clients, so no engine thread writes after the worker was joined, and
    // releases the manifest's assets while the run's log is still open.
    void closeDownloads();

    // The version file's URL beside the manifest's.
    static std::string versionFileURL(const std::string& zameeurl);
    // State 9's progress for a manifest state and its percent (below 0: size unknown);
    // none when the step shows nothing. Counts the unknown-size ticks.
    static std::optional<float> transferProgress(int32_t manifestState, float percent, uint32_t& unknownSizeTicks);

private:
    void threadProc();
    void quitRequest();
    void onRetry();
    void resumeInstall();
    void handleResult();
    void sendEvent(const char* eventName);
    std::string text(const std::string& keyWithDefault);
    std::string progressTitleForDownload();
    std::string progressTitleForInstall();
    bool deploymentLocked();
    bool otherInstancesRunning();

    void stepInitialScreen();
    void stepBootstrap();
    void stepInstanceLock();
    void stepSystemCheck();
    void stepDeploymentLocks();
    void stepInstalledCheck();
    void stepVersionFile();
    void stepVersionCompare();
    void stepPackageStart();
    void stepPackageDownload();
    void stepLocksAfterDownload();
    void stepInstall();
    void stepLaunch();
    void stepClose();

    SystemCheck systemCheck_;
    MSPVersionComparator versionComparator_;
    std::unique_ptr<ZRVSemaphoreLock> instanceLock_;
    FileDownloader fileDownloader_;
    DownloadManifest downloadManifest_;
    int32_t lastManifestState_ = 0;
    uint32_t unknownSizeTicks_ = 0;
    double installCounter_ = 0.0;
    int32_t threadNumber_ = 0;
    std::thread thread_;
    bool initialized_ = false;
    ViewMediator* viewMediator_ = nullptr;
    ZORSessionProxy* session_ = nullptr;
    int32_t lockWaitCountdown_ = 20;
    std::atomic<bool> running_{false};
    std::unique_ptr<zezu::Logger> logger_;
    // The user actions and the steps run on one thread: the worker, or a test's own thread.
    [[no_unique_address]] platform::ThreadChecker worker_;

    // Seams, read once at init.
    std::string lockKeyPath_;
    uint32_t lockPollMicroseconds_ = 0;
    uint32_t finishPauseMicroseconds_ = 0;
};
