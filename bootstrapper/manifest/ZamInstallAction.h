// ZamInstallAction: runs the installer inside an asset's content and waits for its exit status.
#pragma once

#include <string>
#include <vector>

#include "bootstrapper/manifest/InstallActionBase.h"

class ZamInstallAction : public InstallActionBase {
public:
    ZamInstallAction();
    ~ZamInstallAction() override;

    // Appended after the action's own arguments ("--sessionId=...", "--userId=...").
    void setInstallerArguments(const std::vector<std::string>& arguments) { installerArguments_ = arguments; }
    const std::vector<std::string>& getInstallerArguments() const { return installerArguments_; }

    // Result 1 when the executable is empty, has a ".." component, lies outside the asset's
    // content once links are resolved, or is missing; 2 when it cannot be started; otherwise
    // its exit status when that is not 0.
    int execute(AssetBase* asset) override;

private:
    int fail(int32_t launchResult);

    std::vector<std::string> installerArguments_;
};
