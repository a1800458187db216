// InstallActionBase: the family of actions that install what an asset carries.
#pragma once

#include "bootstrapper/manifest/ActionBase.h"

class InstallActionBase : public ActionBase {
public:
    ~InstallActionBase() override;

protected:
    explicit InstallActionBase(const char* component);
};
