// Properties and XML rendering of a telemetry event.
#include "telemetry/HostedServicesEvent.h"

#include <algorithm>

#include "foundation/utils/XMLParser.h"

namespace DEZFramework {

bool HostedServicesEvent::setEventAttribute(const char* name, const char* value) {
    if (!name || !value) {
        return false;
    }
    const auto same = std::find_if(params.begin(), params.end(), [name](const auto& pair) { return pair.first == name; });
    if (same != params.end()) {
        params.erase(same);
    }
    params.emplace_back(name, value);
    return true;
}

bool HostedServicesEvent::IsEventParamPresent(const char* name) const {
    if (!name) {
        return false;
    }
    return std::any_of(params.begin(), params.end(),
                       [name](const auto& pair) { return pair.first == name && !pair.second.empty(); });
}

bool HostedServicesEvent::toXMLString(std::string& out) const {
    ZEZUUtils::XMLParser parser;
    void* root = nullptr;
    if (!parser.initWithXMLString("<HostedServicesEvent/>") || !parser.getRootNode(root)) {
        return false;
    }
    const std::pair<const char*, const std::string*> fields[] = {
        {"eventGuid", &eventGuid},       {"eventDts", &eventDts},
        {"eventCode", &eventCode},       {"eventSubCode", &eventSubCode},
        {"eventSource", &eventSource},   {"userGuid", &userGuid},
        {"eventReqActionCode", &eventReqActionCode}, {"userTID", &userTID},
        {"blob", &blob},
    };
    for (const auto& [name, value] : fields) {
        if (!value->empty() && !parser.addChildToNode(name, *value, root)) {
            return false;
        }
    }
    void* paramData = nullptr;
    if (!parser.addChildToNode("eventParamData", "", root, paramData)) {
        return false;
    }
    for (const auto& [name, value] : params) {
        void* param = nullptr;
        if (!parser.addChildToNode("eventParam", value, paramData, param) ||
            !parser.addAttributeToNode(param, "name", name)) {
            return false;
        }
    }
    return parser.getXMLString(out);
}

}  // namespace DEZFramework
