// One whole headless run in-process: sample product on the loopback server, telemetry sink,
// its own locks, folders and hooks, and the headless window in place of the main thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bootstrapper/app/ZORApplicationFacade.h"
#include "tests/bootstrapper/ui/HeadlessWindow.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TemporaryEnvironment.h"

namespace test_support {

struct ProductOptions {
    std::vector<std::string> arguments;  // extra make-sample-product options
    std::string systemCheck;             // "below" (default), "above" or "unloadable"
};

class WholeRun {
public:
    static constexpr std::chrono::seconds kWait{120};
    static constexpr const char* kSinkPath = "/hsmessaging/rest";

    // shared: another run's environment, whose home (and settings store) this run reuses.
    explicit WholeRun(std::shared_ptr<TemporaryEnvironment> shared = nullptr);
    ~WholeRun();
    WholeRun(const WholeRun&) = delete;
    WholeRun& operator=(const WholeRun&) = delete;

    // Writes the sample product, starts the server on it and writes the resources.
    void makeProduct(const ProductOptions& options = {}, HttpTestServer::Options server = {});
    // The main thread's part up to the worker's start.
    void start(const std::vector<std::string>& arguments = {});
    // Waits for the window's close request, then shuts down; false when it never came.
    bool finish();
    // Shuts down at once (after the window side closed).
    void abort();

    ZORApplicationFacade* facade() const { return facade_; }
    HeadlessWindow& window() { return *window_; }
    HttpTestServer& server() { return *server_; }
    TemporaryEnvironment& environment() { return *environment_; }
    std::shared_ptr<TemporaryEnvironment> sharedEnvironment() const { return environment_; }

    std::string packagerFolder() const;  // <local root>/Applications/Utilities/Zarvo Application Manager
    // Where the assets are downloaded: ~/Library/Application Support, for root a folder of its own
    // in the local one.
    std::string downloadFolder() const;
    std::string mountRoot() const { return base_ + "/mnt"; }
    // Attaches at the earlier run's mount root with its disk-image records, as two runs of one
    // machine do.
    void shareDiskImagesWith(const WholeRun& earlier);
    // The disk-image tool's records of this run, and of the later runs that share its images.
    std::string diskImageState() const { return base_ + "/diskimage-state"; }
    std::string resourcesFolder() const { return resources_; }
    std::string productFolder() const { return product_; }
    std::string keyFile() const { return keyFile_; }
    std::vector<std::string> logLines() const;
    // Event names of the telemetry bodies, in order.
    std::vector<std::string> events();
    // One property of every event, in order.
    std::vector<std::string> eventProperty(const std::string& name);
    std::vector<std::string> installerArguments() const;
    // The SessionId every event carried (empty when they differ or none came).
    std::string eventSessionId();
    // Sleeps the state machine asked for, in order.
    std::vector<uint32_t> sleeps() const;
    // Called with each sleep of states 4, 14 and 16 (in place of sleeping) on the worker.
    void onSleep(std::function<void(uint32_t)> hook) { sleepHook_ = std::move(hook); }
    std::vector<std::string> openedLinks() const;

    // Window helpers.
    bool waitForWarning(const std::string& textPart);
    bool waitForFatal(const std::string& textPart);
    bool waitForDialog(ScreenModel::Dialog dialog);
    bool shown(const std::string& callName, const std::string& argumentPart) const;

    // Installs a packager of this version at the PathType 24 folder, with an executable that
    // records its start in "launched".
    void preinstall(const std::string& version, bool withExecutable = true);
    void removeLockSets();

private:
    void runTool(const std::vector<std::string>& arguments);

    std::shared_ptr<TemporaryEnvironment> environment_;
    std::string base_;                                           // this run's own folder inside the environment
    std::optional<ScopedEnvironment> variables_{std::in_place};  // put back at the end of the destructor
    std::string keyFile_;
    std::string product_;
    std::string resources_;
    std::string sessionState_;
    std::unique_ptr<HttpTestServer> server_;
    ZORApplicationFacade* facade_ = nullptr;
    std::unique_ptr<HeadlessWindow> window_;
    mutable platform::Mutex mutex_;
    std::vector<uint32_t> sleeps_ GUARDED_BY(mutex_);
    std::vector<std::string> links_ GUARDED_BY(mutex_);
    std::function<void(uint32_t)> sleepHook_;
};

// True when the image could be attached here; whole runs that install skip otherwise.
bool canMountImages(std::string& reason);

}  // namespace test_support
