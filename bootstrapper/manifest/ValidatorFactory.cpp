// ValidatorFactory: picks the validator class by the validation file's algorithm name.
#include "bootstrapper/manifest/ValidatorFactory.h"

#include "bootstrapper/manifest/MD5Validator.h"
#include "foundation/logging/Logger.h"
#include "foundation/utils/XMLParser.h"

ValidatorFactory::ValidatorFactory()
    : logger_(std::make_unique<zezu::Logger>("ZOR", "", "Download", "ZOR", "ValidatorFactory")) {}

ValidatorFactory::~ValidatorFactory() = default;

std::unique_ptr<ValidatorBase> ValidatorFactory::create(const std::string& path) {
    ZEZUUtils::XMLParser parser;
    std::string algorithm;
    if (!parser.initWithXMLPath(path) || !parser.stringValueForXQuery("//validationInfo/algorithm", algorithm))
        return nullptr;
    std::unique_ptr<ValidatorBase> validator = createByType(algorithm);
    if (!validator) return nullptr;
    if (!validator->initWithXMLPath(path)) {
        logger_->warn("", "Validator could not be initialized");
        return nullptr;
    }
    return validator;
}

std::unique_ptr<ValidatorBase> ValidatorFactory::createByType(const std::string& name) {
    if (name == "TYPE1") return std::make_unique<MD5Validator>();
    logger_->warn("", "Validator type (%s) is not defined", name.c_str());
    return nullptr;
}
