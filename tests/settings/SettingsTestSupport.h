// Fixture trees of machine facts and a shell runner for the settings store's tests.
#pragma once

#include <string>

// The store logs through the log facade: keep it out of the real home.
#include "tests/support/LogFacadeHome.h"

namespace settings_test {

// A fixture root for platform::MachineFacts; empty texts leave that fact out.
struct FactsTree {
    std::string userName;
    std::string machineId;
    std::string macAddress;  // "aa:bb:cc:dd:ee:ff"
};

// Lays the tree out under root (made fresh) and points the process-wide facts at it.
void useFactsTree(const std::string& root, const FactsTree& tree);

// Runs a shell command, feeding it input; returns its standard output and sets status.
std::string runShell(const std::string& command, const std::string& input, int& status);

// Lowercase hex of raw bytes, as the openssl command line takes keys.
std::string lowerHex(const std::string& bytes);

}  // namespace settings_test
