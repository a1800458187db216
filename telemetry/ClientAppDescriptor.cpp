// XML rendering of a client-application descriptor.
#include "telemetry/ClientAppDescriptor.h"

#include "foundation/utils/XMLParser.h"

namespace DEZFramework {

bool ClientAppDescriptor::toXMLString(std::string& out) const {
    ZEZUUtils::XMLParser parser;
    void* root = nullptr;
    return parser.initWithXMLString("<ClientAppDescriptor/>") && parser.getRootNode(root) &&
           parser.addChildToNode("clientAppName", clientAppName, root) &&
           parser.addChildToNode("clientAppVersion", clientAppVersion, root) &&
           parser.addChildToNode("dezPrefix", dezPrefix, root) && parser.getXMLString(out);
}

}  // namespace DEZFramework
