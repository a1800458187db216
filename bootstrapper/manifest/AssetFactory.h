// AssetFactory: builds the asset an asset element's type names.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bootstrapper/manifest/AssetBase.h"

namespace zezu {
class Logger;
}

class AssetFactory {
public:
    AssetFactory();
    virtual ~AssetFactory();
    AssetFactory(const AssetFactory&) = delete;
    AssetFactory& operator=(const AssetFactory&) = delete;

    // None for an unparsable text, a type other than "BINARY" or "DMG" (exact case), or an
    // asset that does not initialise.
    virtual std::unique_ptr<AssetBase> create(const std::string& xmlText);

    void setInstallerArguments(const std::vector<std::string>& arguments) { installerArguments_ = arguments; }

private:
    std::vector<std::string> installerArguments_;
    std::unique_ptr<zezu::Logger> logger_;
};
