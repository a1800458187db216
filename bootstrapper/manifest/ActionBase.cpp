// ActionBase: the sequence number and key/value data every action reads from its XML.
#include "bootstrapper/manifest/ActionBase.h"

#include "bootstrapper/manifest/DecimalText.h"
#include "foundation/logging/Logger.h"
#include "foundation/utils/XMLParser.h"

ActionBase::ActionBase(uint32_t actionType, const char* component)
    : actionType_(actionType), logger_(std::make_unique<zezu::Logger>("ZOR", "", "Download", "ZOR", component)) {}

ActionBase::~ActionBase() = default;

bool ActionBase::initWithXML(const std::string& xmlText) {
    ZEZUUtils::XMLParser parser;
    if (!parser.initWithXMLString(xmlText)) {
        logger_->warn("", "Could not initialize the action xml");
        return false;
    }
    std::string text;
    if (!parser.stringValueForXQuery("//action/sequence_no", text)) {
        logger_->warn("", "Sequence number could not be determined for action");
        return false;
    }
    const uint32_t sequenceNo = manifest_text::parseDecimal<uint32_t>(text);
    if (sequenceNo == 0) {
        logger_->warn("", "Invalid sequence number specified for action");
        return false;
    }
    std::multimap<std::string, std::string> data;
    int count = 0;
    if (void* list = parser.getNodeListForXQuery("//action/action_data/data", &count)) {
        for (int i = 0; i < count; ++i) {
            const auto fields = parser.getMapFromNode(parser.getNodeAtIndexFromNodeList(list, i));
            const auto key = fields.find("key");
            if (key == fields.end()) continue;
            const auto value = fields.find("value");
            data.emplace(key->second, value == fields.end() ? std::string() : value->second);
        }
    }
    sequenceNo_ = sequenceNo;
    actionData_ = std::move(data);
    return true;
}

int32_t ActionBase::getResult() const { return result_; }

uint32_t ActionBase::getSequenceNo() const { return sequenceNo_; }
