// The process-wide facade: the application's log target, the session, the worker and the mediator.
#pragma once

#include <memory>

#include "bootstrapper/app/ZORSessionProxy.h"
#include "bootstrapper/app/ZORWorkflowManager.h"
#include "bootstrapper/ui/ViewMediator.h"
#include "bootstrapper/ui/WindowHost.h"
#include "foundation/logging/LogTargetDefault.h"
#include "foundation/logging/Logger.h"
#include "localization/ZDictFlat.h"

class ZORApplicationFacade {
public:
    static constexpr const char* kLogIdentifier = "ZOR";
    static constexpr const char* kLogFolderName = "ZarvoDownload";
    static constexpr const char* kLogFileName = "MSP_ZOR.log";
    static constexpr const char* kClientVersion = "1.14.0.59";

    // Made on the first call, on the main thread before any other thread exists.
    static ZORApplicationFacade* getInstance();
    // Joins the worker, closes both downloads, then destroys the facade; nothing without one.
    static void shutdown();

    ZORSessionProxy* getSessionProxy() { return &session_; }
    ViewMediator* getViewMediator() { return &viewMediator_; }
    ZORWorkflowManager* getWorkflowManager() { return &workflowManager_; }

    bool init();
    // Starts the worker; false when its thread could not be made.
    bool start();

    // What a window host needs: the mediator, the session's texts and handles, start,
    // shutdown and an ERROR line in the program's log.
    WindowHostContext windowHostContext();

    ZORApplicationFacade(const ZORApplicationFacade&) = delete;
    ZORApplicationFacade& operator=(const ZORApplicationFacade&) = delete;

private:
    ZORApplicationFacade();
    ~ZORApplicationFacade();

    zezu::LogTargetDefault logTarget_;
    ZORSessionProxy session_;
    ZORWorkflowManager workflowManager_;
    ViewMediator viewMediator_;
    quirra_private::ZString* mediatorText_ = nullptr;
    std::unique_ptr<zezu::Logger> logger_;
};
