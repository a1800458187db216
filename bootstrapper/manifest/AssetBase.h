// AssetBase: one file the manifest lists, with its validation file, size and actions.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bootstrapper/manifest/ActionBase.h"
#include "bootstrapper/manifest/ActionFactory.h"

namespace zezu {
class Logger;
}

// Asset types.
enum AssetType : uint32_t {
    kBinaryAssetType = 2,
    kDiskImageAssetType = 3,
};

class AssetBase {
public:
    virtual ~AssetBase();
    AssetBase(const AssetBase&) = delete;
    AssetBase& operator=(const AssetBase&) = delete;

    virtual uint32_t getSequenceNo() const;
    virtual const std::string& getAssetPath() const;
    virtual const std::string& getValidationDataPath() const;
    virtual bool initWithXML(const std::string& xmlText);
    virtual const std::string& getLocalPath() const;
    virtual void setLocalPath(const std::string& path);
    // 0 all actions done, 1 an action is still running (call again), 2 one failed (the next
    // call starts again from the first action).
    virtual int runActions(int32_t& lastType, int32_t& lastResult);

    uint64_t getAssetSize() const { return assetSize_; }
    uint32_t getAssetType() const { return assetType_; }
    size_t getActionCount() const { return actions_.size(); }
    void setInstallerArguments(const std::vector<std::string>& arguments) { installerArguments_ = arguments; }

protected:
    AssetBase(uint32_t assetType, const char* component);

    uint32_t sequenceNo_ = 0;
    std::map<uint32_t, std::unique_ptr<ActionBase>> actions_;
    std::map<uint32_t, std::unique_ptr<ActionBase>>::iterator actionPosition_;
    bool actionsRunning_ = false;
    uint32_t assetType_;
    std::string assetPath_;
    std::string validationDataPath_;
    uint64_t assetSize_ = 0;
    ActionFactory actionFactory_;
    std::string localPath_;
    std::vector<std::string> installerArguments_;
    std::unique_ptr<zezu::Logger> logger_;
};
