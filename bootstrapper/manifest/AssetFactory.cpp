// AssetFactory: asset type to asset class.
#include "bootstrapper/manifest/AssetFactory.h"

#include "bootstrapper/manifest/BinaryAsset.h"
#include "bootstrapper/manifest/DMGAsset.h"
#include "foundation/logging/Logger.h"
#include "foundation/utils/XMLParser.h"

AssetFactory::AssetFactory()
    : logger_(std::make_unique<zezu::Logger>("ZOR", "", "Download", "ZOR", "AssetFactory")) {}

AssetFactory::~AssetFactory() = default;

std::unique_ptr<AssetBase> AssetFactory::create(const std::string& xmlText) {
    ZEZUUtils::XMLParser parser;
    std::string type;
    if (!parser.initWithXMLString(xmlText) || !parser.stringValueForXQuery("//asset/asset_type", type))
        return nullptr;
    std::unique_ptr<AssetBase> asset;
    if (type == "BINARY") {
        asset = std::make_unique<BinaryAsset>();
    } else if (type == "DMG") {
        asset = std::make_unique<DMGAsset>();
    } else {
        logger_->warn("", "The type %s does not correspond to any asset type", type.c_str());
        return nullptr;
    }
    asset->setInstallerArguments(installerArguments_);
    if (!asset->initWithXML(xmlText)) {
        logger_->warn("", "The asset initialization failed");
        return nullptr;
    }
    return asset;
}
