// The platform layer's process-wide test seams: each points a service at a fixture instead of the system.
#pragma once

#include <string>

namespace platform::testing {

// Points machineFacts() at a fixture tree laid out like the running system's root; "/" (or an
// empty text) puts the running system back.
void setMachineFactsRoot(const std::string& root);

// Where consoleUser() reads the login manager's seat and session state; an empty folder
// restores the system's.
void setSessionStateFolder(const std::string& folder);

}  // namespace platform::testing
