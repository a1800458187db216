// One telemetry event: its fields, its named properties and its XML.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace DEZFramework {

class HostedServicesEvent {
public:
    HostedServicesEvent() = default;
    virtual ~HostedServicesEvent() = default;
    HostedServicesEvent(const HostedServicesEvent&) = delete;
    HostedServicesEvent& operator=(const HostedServicesEvent&) = delete;

    // Removes a property of that name (exact match) and appends the new pair at the end.
    bool setEventAttribute(const char* name, const char* value);
    // True when a property has exactly that name and a non-empty value.
    bool IsEventParamPresent(const char* name) const;
    // <HostedServicesEvent> with the non-empty fields, then <eventParamData> with one
    // <eventParam name="..."> per property, rendered by the XML parser.
    virtual bool toXMLString(std::string& out) const;

    const std::vector<std::pair<std::string, std::string>>& getParams() const { return params; }

    std::vector<std::pair<std::string, std::string>> params;
    std::string eventGuid;
    std::string eventDts;
    std::string eventCode;
    std::string eventSubCode;
    std::string eventSource;
    std::string userGuid;
    std::string eventReqActionCode;
    std::string userTID;
    std::string blob;
};

}  // namespace DEZFramework
