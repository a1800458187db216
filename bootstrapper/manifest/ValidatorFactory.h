// ValidatorFactory: the validator a validation file's algorithm names, initialised from that file.
#pragma once

#include <memory>
#include <string>

#include "bootstrapper/manifest/ValidatorBase.h"

namespace zezu {
class Logger;
}

class ValidatorFactory {
public:
    ValidatorFactory();
    virtual ~ValidatorFactory();
    ValidatorFactory(const ValidatorFactory&) = delete;
    ValidatorFactory& operator=(const ValidatorFactory&) = delete;

    // None when the file is unreadable, names no known algorithm or does not initialise.
    virtual std::unique_ptr<ValidatorBase> create(const std::string& path);
    virtual std::unique_ptr<ValidatorBase> createByType(const std::string& name);

private:
    std::unique_ptr<zezu::Logger> logger_;
};
