// InstallActionBase: every install action has action type 1.
#include "bootstrapper/manifest/InstallActionBase.h"

InstallActionBase::InstallActionBase(const char* component) : ActionBase(kInstallActionType, component) {}

InstallActionBase::~InstallActionBase() = default;
