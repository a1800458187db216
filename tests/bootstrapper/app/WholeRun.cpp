// One whole headless run in-process: product, server, sink, locks, folders, hooks and window.
#include "tests/bootstrapper/app/WholeRun.h"
#include "bootstrapper/app/TestSeams.h"
#include "bootstrapper/support/TestSeams.h"
#include "platform/TestSeams.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "bootstrapper/app/BootstrapSeams.h"
#include "bootstrapper/support/ZAMEEUtilities.h"
#include "bootstrapper/ui/WindowTexts.h"
#include "foundation/locks/SystemVSemaphoreSet.h"
#include "platform/ProcessLauncher.h"
#include "platform/UserFolders.h"
#include "tests/bootstrapper/app/RunLog.h"
#include "tests/support/FileContents.h"
#include "tests/support/LogFacadeHome.h"

namespace fs = std::filesystem;

namespace test_support {
namespace {

const int kLockIds[] = {bootstrap_locks::kInstanceLockId, bootstrap_locks::kInstanceProbeId,
                        bootstrap_locks::kDeploymentLockIds[0], bootstrap_locks::kDeploymentLockIds[1]};

std::string sourceDir() {
    const char* value = std::getenv("PROJECT_SOURCE_DIR");
    return value != nullptr ? value : ".";
}

std::string binaryDir() {
    const char* value = std::getenv("PROJECT_BINARY_DIR");
    return value != nullptr ? value : ".";
}

using test_support::readFile;

// The value of <eventParam name="key">value</eventParam> in an event body.
std::string propertyValue(const std::string& body, const std::string& key) {
    const std::string open = "name=\"" + key + "\">";
    const size_t at = body.find(open);
    if (at == std::string::npos) {
        return "";
    }
    const size_t start = at + open.size();
    const size_t end = body.find("</eventParam>", start);
    return end == std::string::npos ? "" : body.substr(start, end - start);
}

std::atomic<int> runNumber{0};

}  // namespace

WholeRun::WholeRun(std::shared_ptr<TemporaryEnvironment> shared)
    : environment_(shared ? std::move(shared) : std::make_shared<TemporaryEnvironment>()) {
    base_ = environment_->base() + "/run-" + std::to_string(++runNumber);
    fs::create_directories(base_ + "/mnt");
    fs::create_directories(base_ + "/tmp");
    fs::create_directories(base_ + "/session-state");
    keyFile_ = base_ + "/lock-key";
    std::ofstream(keyFile_) << "lock key of one run\n";
    product_ = base_ + "/product";
    resources_ = base_ + "/resources";

    variables_->set("BOOTSTRAP_LOCK_KEY_PATH", keyFile_);
    variables_->set("BOOTSTRAP_MOUNT_ROOT", mountRoot());
    variables_->set("BOOTSTRAP_DISK_IMAGE_STATE", diskImageState());
    variables_->set("BOOTSTRAP_DISK_IMAGE_TOOL", binaryDir() + "/MSPInstaller.app/Contents/MacOS/diskimage");
    variables_->set("BOOTSTRAP_RESOURCES_FOLDER", resources_);
    removeLockSets();

    // An empty session-state folder: the console user is this process's user.
    platform::testing::setSessionStateFolder(base_ + "/session-state");
    ZAMEEUtilities::testing::setTempFolderBase(base_ + "/tmp");
    bootstrap_seams::testing::resetInstallCurve();
    bootstrap_seams::testing::setSleep([this](uint32_t microseconds) {
        {
            platform::MutexLock lock(mutex_);
            sleeps_.push_back(microseconds);
        }
        if (sleepHook_) {
            sleepHook_(microseconds);
        }
    });
    bootstrap_seams::testing::setLinkOpener([this](const std::string& url) {
        platform::MutexLock lock(mutex_);
        links_.push_back(url);
    });
}

WholeRun::~WholeRun() {
    abort();
    bootstrap_seams::testing::setSleep({});
    bootstrap_seams::testing::setLinkOpener({});
    ZAMEEUtilities::testing::setTempFolderBase("");
    platform::testing::setSessionStateFolder("");
    removeLockSets();
    server_.reset();
    variables_.reset();
}

void WholeRun::removeLockSets() {
    for (const int id : kLockIds) {
        foundation::SystemVSemaphoreSet::removeKey(keyFile_, id);
    }
}

void WholeRun::runTool(const std::vector<std::string>& arguments) {
    std::vector<std::string> all = {sourceDir() + "/tools/make-sample-product"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    all.push_back("--stringtable");
    all.push_back(binaryDir() + "/tools/stringtable/stringtable");
    std::string output;
    int status = -1;
    ASSERT_TRUE(platform::runProcessCapturingOutput("/usr/bin/python3", all, output, status));
    ASSERT_EQ(status, 0) << output;
}

void WholeRun::makeProduct(const ProductOptions& options, HttpTestServer::Options serverOptions) {
    std::vector<std::string> arguments = {product_};
    arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
    runTool(arguments);
    serverOptions.configFile = product_ + "/scenarios.json";
    server_ = std::make_unique<HttpTestServer>(serverOptions);
    server_->setScenario(std::string(R"({"path":")") + kSinkPath + R"(","sink":true})");
    variables_->set("BOOTSTRAP_EVENT_SERVICE_URL", server_->url(""));

    arguments.push_back("--resources");
    arguments.push_back(resources_);
    arguments.push_back("--base-url");
    arguments.push_back(server_->url("/product"));
    if (!options.systemCheck.empty()) {
        arguments.push_back("--system-check");
        arguments.push_back(options.systemCheck);
    }
    runTool(arguments);
}

void WholeRun::start(const std::vector<std::string>& arguments) {
    facade_ = ZORApplicationFacade::getInstance();
    ASSERT_TRUE(facade_->init());
    std::vector<std::string> argumentTexts = {"bootstrapper"};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : argumentTexts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    facade_->getSessionProxy()->parseCommandLine(static_cast<int>(argumentTexts.size()), argv.data());
    // Resolved before the worker starts: afterwards only the worker reads the dictionary.
    const WindowTexts texts = WindowTexts::resolve(&facade_->getSessionProxy()->utils);
    window_ = std::make_unique<HeadlessWindow>(*facade_->getViewMediator(), texts, kWait);
    facade_->getSessionProxy()->viewHandles.controller = window_.get();
    ASSERT_TRUE(facade_->start());
}

bool WholeRun::finish() {
    if (facade_ == nullptr) {
        return false;
    }
    const bool closed = window_ && window_->waitForClose(kWait);
    if (!closed) {
        ADD_FAILURE() << "the run never asked to close:\n" << (window_ ? window_->describeCalls() : "no window");
    }
    abort();
    return closed;
}

void WholeRun::abort() {
    if (facade_ == nullptr) {
        return;
    }
    // A dialog still up returns without an answer, so the join cannot hang.
    if (window_) {
        window_->closeWindowSide();
    }
    ZORApplicationFacade::shutdown();
    facade_ = nullptr;
}

void WholeRun::shareDiskImagesWith(const WholeRun& earlier) {
    variables_->set("BOOTSTRAP_MOUNT_ROOT", earlier.mountRoot());
    variables_->set("BOOTSTRAP_DISK_IMAGE_STATE", earlier.diskImageState());
}

std::string WholeRun::packagerFolder() const {
    return environment_->localRoot() + "/Applications/Utilities/Zarvo Application Manager";
}

std::string WholeRun::downloadFolder() const {
    return geteuid() == 0 ? environment_->localRoot() + "/Library/Application Support/MSP_ZOR"
                          : environment_->home() + "/Library/Application Support";
}

std::vector<std::string> WholeRun::logLines() const { return readLines(programLogPath(environment_->home())); }

std::vector<std::string> WholeRun::events() {
    std::vector<std::string> names;
    for (const std::string& body : server_->postedBodies(kSinkPath)) {
        names.push_back(propertyValue(body, "EventName"));
    }
    return names;
}

std::vector<std::string> WholeRun::eventProperty(const std::string& name) {
    std::vector<std::string> values;
    for (const std::string& body : server_->postedBodies(kSinkPath)) {
        values.push_back(propertyValue(body, name));
    }
    return values;
}

std::string WholeRun::eventSessionId() {
    std::string id;
    for (const std::string& body : server_->postedBodies(kSinkPath)) {
        const std::string value = propertyValue(body, "SessionId");
        if (value.empty() || (!id.empty() && value != id)) {
            return "";
        }
        id = value;
    }
    return id;
}

std::vector<std::string> WholeRun::installerArguments() const {
    const std::string text = readFile(packagerFolder() + "/installer-arguments");
    std::vector<std::string> arguments;
    std::string current;
    for (const char c : text) {
        if (c == '\0') {
            arguments.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    return arguments;
}

std::vector<uint32_t> WholeRun::sleeps() const {
    platform::MutexLock lock(mutex_);
    return sleeps_;
}

std::vector<std::string> WholeRun::openedLinks() const {
    platform::MutexLock lock(mutex_);
    return links_;
}

bool WholeRun::waitForWarning(const std::string& textPart) {
    return window_->waitFor(
        [&textPart](const ScreenModel& m, const auto&) {
            return m.screen() == ScreenModel::Screen::Warning && m.errorText().find(textPart) != std::string::npos;
        },
        kWait);
}

bool WholeRun::waitForFatal(const std::string& textPart) {
    return window_->waitFor(
        [&textPart](const ScreenModel& m, const auto&) {
            return m.screen() == ScreenModel::Screen::Fatal && m.errorText().find(textPart) != std::string::npos;
        },
        kWait);
}

bool WholeRun::waitForDialog(ScreenModel::Dialog dialog) {
    return window_->waitFor([dialog](const ScreenModel& m, const auto&) { return m.dialog() == dialog; }, kWait);
}

bool WholeRun::shown(const std::string& callName, const std::string& argumentPart) const {
    for (const WindowCall& call : window_->calls()) {
        if (call.kind != WindowCall::Kind::Window || call.name != callName) {
            continue;
        }
        for (const std::string& argument : call.arguments) {
            if (argument.find(argumentPart) != std::string::npos) {
                return true;
            }
        }
    }
    return false;
}

void WholeRun::preinstall(const std::string& version, bool withExecutable) {
    const std::string msp = packagerFolder() + "/MSP";
    fs::create_directories(msp);
    std::ofstream(msp + "/version.xml") << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<MSP><Macintosh><Version>"
                                        << version << "</Version></Macintosh></MSP>\n";
    if (!withExecutable) {
        return;
    }
    const std::string folder = msp + "/MorvaneStudioPackager.app/Contents/MacOS";
    fs::create_directories(folder);
    const std::string executable = folder + "/MorvaneStudioPackager";
    std::ofstream(executable) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"" << msp
                              << "/launched.partial\"\nmv \"" << msp << "/launched.partial\" \"" << msp
                              << "/launched\"\n";
    fs::permissions(executable, fs::perms::owner_all);
}

bool canMountImages(std::string& reason) {
    static int answer = -1;
    static std::string why;
    if (answer < 0) {
        answer = 1;
        if (geteuid() != 0) {
            const std::string folder = makeTemporaryFolder("mount-probe");
            fs::create_directories(folder + "/source");
            fs::create_directories(folder + "/mnt");
            std::ofstream(folder + "/source/probe.txt") << "probe";
            std::string output;
            int status = -1;
            platform::runProcessCapturingOutput(
                "/usr/bin/mksquashfs",
                {folder + "/source", folder + "/probe.sqfs", "-quiet", "-noappend", "-no-progress"}, output, status);
            const std::string tool = binaryDir() + "/MSPInstaller.app/Contents/MacOS/diskimage";
            int attach = -1;
            platform::runProcessCapturingOutput(
                tool, {"attach", folder + "/probe.sqfs", "-readonly", "-quiet", "-mountpoint", folder + "/mnt"}, output,
                attach);
            if (attach == 0) {
                platform::runProcessCapturingOutput(tool, {"detach", folder + "/mnt", "-quiet"}, output, status);
            } else {
                answer = 0;
                why = "this user cannot mount images here";
            }
            removeTree(folder);
        }
    }
    reason = why;
    return answer == 1;
}

}  // namespace test_support
