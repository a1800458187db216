// ActionBase: one step run on a downloaded asset, built from an action element of the manifest.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

class AssetBase;

namespace zezu {
class Logger;
}

// What execute answers.
enum ActionOutcome : int {
    kActionDone = 0,
    kActionInProgress = 1,
    kActionFailed = 2,
};

// Action types, as the error messages know them.
enum ActionType : uint32_t {
    kInstallActionType = 1,
    kExtractActionType = 2,
};

class ActionBase {
public:
    virtual ~ActionBase();
    ActionBase(const ActionBase&) = delete;
    ActionBase& operator=(const ActionBase&) = delete;

    virtual bool initWithXML(const std::string& xmlText);
    virtual int execute(AssetBase* asset) = 0;
    virtual int32_t getResult() const;
    virtual uint32_t getSequenceNo() const;

    uint32_t getType() const { return actionType_; }
    // Equal keys keep their document order.
    const std::multimap<std::string, std::string>& getActionData() const { return actionData_; }

protected:
    ActionBase(uint32_t actionType, const char* component);

    uint32_t sequenceNo_ = 0;
    std::multimap<std::string, std::string> actionData_;
    int32_t result_ = 0;  // of the last failed run; a later success leaves it
    uint32_t actionType_;
    std::unique_ptr<zezu::Logger> logger_;
};
