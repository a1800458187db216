// ActionFactory: action name and type to action class.
#include "bootstrapper/manifest/ActionFactory.h"

#include "bootstrapper/manifest/ExtractAction.h"
#include "bootstrapper/manifest/ZamInstallAction.h"
#include "foundation/logging/Logger.h"
#include "foundation/utils/XMLParser.h"

ActionFactory::ActionFactory()
    : logger_(std::make_unique<zezu::Logger>("ZOR", "", "Download", "ZOR", "ActionFactory")) {}

ActionFactory::~ActionFactory() = default;

std::unique_ptr<ActionBase> ActionFactory::create(const std::string& xmlText) {
    ZEZUUtils::XMLParser parser;
    std::string name;
    if (!parser.initWithXMLString(xmlText) || !parser.stringValueForXQuery("//action/name", name)) return nullptr;
    std::string type;
    parser.stringValueForXQuery("//action/type", type);
    std::unique_ptr<ActionBase> action;
    if (name == "extract") {
        action = std::make_unique<ExtractAction>();
    } else if (name == "install") {
        if (type != "msp") {
            logger_->warn("", "The action type %s does not correspond to any install action type", type.c_str());
            return nullptr;
        }
        auto install = std::make_unique<ZamInstallAction>();
        install->setInstallerArguments(installerArguments_);
        action = std::move(install);
    } else {
        logger_->warn("", "The action name %s does not correspond to any action type", name.c_str());
        return nullptr;
    }
    if (!action->initWithXML(xmlText)) {
        logger_->warn("", "The action initialization failed");
        return nullptr;
    }
    return action;
}
