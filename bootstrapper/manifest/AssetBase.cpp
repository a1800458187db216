// AssetBase: reading an asset element and running its actions in sequence order.
#include "bootstrapper/manifest/AssetBase.h"

#include "bootstrapper/manifest/DecimalText.h"
#include "foundation/logging/Logger.h"
#include "foundation/utils/XMLParser.h"

AssetBase::AssetBase(uint32_t assetType, const char* component)
    : actionPosition_(actions_.end()),
      assetType_(assetType),
      logger_(std::make_unique<zezu::Logger>("ZOR", "", "Download", "ZOR", component)) {}

AssetBase::~AssetBase() = default;

uint32_t AssetBase::getSequenceNo() const { return sequenceNo_; }

const std::string& AssetBase::getAssetPath() const { return assetPath_; }

const std::string& AssetBase::getValidationDataPath() const { return validationDataPath_; }

const std::string& AssetBase::getLocalPath() const { return localPath_; }

void AssetBase::setLocalPath(const std::string& path) { localPath_ = path; }

bool AssetBase::initWithXML(const std::string& xmlText) {
    actionFactory_.setInstallerArguments(installerArguments_);
    ZEZUUtils::XMLParser parser;
    if (!parser.initWithXMLString(xmlText)) {
        logger_->warn("", "Could not initialize the asset xml.");
        return false;
    }
    std::string validationData;
    if (!parser.stringValueForXQuery("//asset/validation_data", validationData)) {
        logger_->warn("", "Validation data not found for asset.");
        return false;
    }
    std::string assetPath;
    if (!parser.stringValueForXQuery("//asset/asset_path", assetPath)) {
        logger_->warn("", "Asset path not found for asset.");
        return false;
    }
    std::string text;
    if (!parser.stringValueForXQuery("//asset/sequence_no", text)) {
        logger_->warn("", "Sequence number is not found or is invalid");
        return false;
    }
    const uint32_t sequenceNo = manifest_text::parseDecimal<uint32_t>(text);
    if (sequenceNo == 0) {
        logger_->warn("", "Sequence number (%s) is invalid", text.c_str());
        return false;
    }
    if (!parser.stringValueForXQuery("//asset/asset_size", text)) {
        logger_->warn("", "Asset size not specified for asset");
        return false;
    }
    const uint64_t assetSize = manifest_text::parseDecimal<uint64_t>(text);
    if (assetSize == 0) {
        logger_->warn("", "Specified asset size (%s) is invalid", text.c_str());
        return false;
    }
    std::map<uint32_t, std::unique_ptr<ActionBase>> actions;
    int count = 0;
    if (void* list = parser.getNodeListForXQuery("//asset/actions/action", &count)) {
        for (int i = 0; i < count; ++i) {
            std::string actionText;
            std::unique_ptr<ActionBase> action;
            if (parser.getXMLStringOfNode(parser.getNodeAtIndexFromNodeList(list, i), actionText))
                action = actionFactory_.create(actionText);
            // Two actions with one number: which one runs would depend on document order.
            if (!action || actions.count(action->getSequenceNo()) != 0) {
                logger_->warn("", "Actions specified for asset are invalid");
                return false;
            }
            const uint32_t number = action->getSequenceNo();
            actions.emplace(number, std::move(action));
        }
    }
    validationDataPath_ = validationData;
    assetPath_ = assetPath;
    sequenceNo_ = sequenceNo;
    assetSize_ = assetSize;
    actions_ = std::move(actions);
    actionPosition_ = actions_.end();
    actionsRunning_ = false;
    return true;
}

int AssetBase::runActions(int32_t& lastType, int32_t& lastResult) {
    if (!actionsRunning_) {
        actionPosition_ = actions_.begin();
        actionsRunning_ = true;
    }
    while (actionPosition_ != actions_.end()) {
        ActionBase& action = *actionPosition_->second;
        const int result = action.execute(this);
        lastType = static_cast<int32_t>(action.getType());
        if (result == kActionInProgress) return kActionInProgress;
        if (result == kActionFailed) {
            lastResult = action.getResult();
            actionsRunning_ = false;
            return kActionFailed;
        }
        if (result == kActionDone) lastResult = action.getResult();
        ++actionPosition_;
    }
    return kActionDone;
}
