// ActionFactory: builds the action an action element names.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bootstrapper/manifest/ActionBase.h"

namespace zezu {
class Logger;
}

class ActionFactory {
public:
    ActionFactory();
    virtual ~ActionFactory();
    ActionFactory(const ActionFactory&) = delete;
    ActionFactory& operator=(const ActionFactory&) = delete;

    // None for an unknown name ("extract" and "install", exact case), an install type other
    // than "msp", or an action that does not initialise.
    virtual std::unique_ptr<ActionBase> create(const std::string& xmlText);

    void setInstallerArguments(const std::vector<std::string>& arguments) { installerArguments_ = arguments; }

private:
    std::vector<std::string> installerArguments_;
    std::unique_ptr<zezu::Logger> logger_;
};
