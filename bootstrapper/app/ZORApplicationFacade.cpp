// The process-wide facade: builds the log, session, worker and mediator, and tears them down.
#include "bootstrapper/app/ZORApplicationFacade.h"

#include "bootstrapper/support/DEZReporter.h"
#include "foundation/logging/LoggingCore.h"
#include "foundation/utils/FileUtils.h"

namespace {
// Written on the main thread only: in main before the worker exists and in shutdown after the join.
ZORApplicationFacade* gInstance = nullptr;
}  // namespace

ZORApplicationFacade* ZORApplicationFacade::getInstance() {
    if (gInstance == nullptr) {
        gInstance = new ZORApplicationFacade();
    }
    return gInstance;
}

void ZORApplicationFacade::shutdown() {
    if (gInstance == nullptr) {
        return;
    }
    gInstance->workflowManager_.stopThread();
    // Engine threads of an open download could otherwise write after the Closing line.
    gInstance->workflowManager_.closeDownloads();
    // The worker was the window's last reader; the host frees the window once this returns.
    gInstance->session_.viewHandles.controller = nullptr;
    delete gInstance;
    gInstance = nullptr;
}

ZORApplicationFacade::ZORApplicationFacade() : logTarget_(kLogIdentifier) {
    zstrCreate(&mediatorText_);

    std::string folder;
    if (ZEZUUtils::FileUtils::GetDirectoryPath(32, folder)) {
        folder += "/";
        folder += kLogFolderName;
        ZEZUUtils::FileUtils::CreateDirectoryAtPath(folder, false);
    } else {
        // The log target then falls back to the user's Logs folder; "/ZarvoDownload" is never made.
        folder.clear();
    }
    logTarget_.setLogFile(kLogFileName, folder.c_str());
    logTarget_.setLogLevel(zezu::INFO);
    zezu::LoggingCore::getInstance()->registerTarget(&logTarget_);

    logger_ = std::make_unique<zezu::Logger>(kLogIdentifier, "", "Download", "ZOR", "ZORApplicationFacade");
    logger_->info("****************Starting MSP_ZOR workflow*******************");
    DEZReporter::setClientVersion(kClientVersion);
}

ZORApplicationFacade::~ZORApplicationFacade() {
    logger_->info("****************Closing MSP_ZOR workflow*******************");
    zezu::LoggingCore::getInstance()->unregisterTarget(&logTarget_);
    logger_.reset();
    DEZReporter::destroyInstance();
    zstrDestroy(&mediatorText_);
    // The members go in reverse order: mediator, worker, session (its temporary folder), target.
}

bool ZORApplicationFacade::init() {
    if (!session_.init()) {
        logger_->error("", "FAILED to init the session proxy");
        return false;
    }
    viewMediator_.setSession(&session_);
    viewMediator_.setUtils(&session_.utils);
    viewMediator_.setViewHandles(&session_.viewHandles);
    if (!workflowManager_.init(&session_, &viewMediator_)) {
        logger_->error("", "FAILED to init the workflow manager");
        return false;
    }
    return true;
}

bool ZORApplicationFacade::start() {
    workflowManager_.setRunning(true);
    return workflowManager_.run();
}

WindowHostContext ZORApplicationFacade::windowHostContext() {
    WindowHostContext context;
    context.mediator = &viewMediator_;
    context.utils = &session_.utils;
    context.viewHandles = &session_.viewHandles;
    context.start = [] { return gInstance != nullptr && gInstance->start(); };
    context.shutdown = [] { ZORApplicationFacade::shutdown(); };
    context.logError = [](const std::string& line) {
        if (gInstance != nullptr) {
            gInstance->logger_->error("", "%s", line.c_str());
        }
    };
    return context;
}
