// Fixture trees of machine facts and a shell runner for the settings store's tests.
#include "tests/settings/SettingsTestSupport.h"
#include "platform/TestSeams.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/MachineFacts.h"
#include "tests/support/TemporaryEnvironment.h"

namespace settings_test {

namespace fs = std::filesystem;

void useFactsTree(const std::string& root, const FactsTree& tree) {
    test_support::removeTree(root);
    fs::create_directories(fs::path(root) / "etc");
    fs::create_directories(fs::path(root) / "sys/class/net");
    if (!tree.userName.empty()) {
        std::ofstream(fs::path(root) / "etc/passwd") << tree.userName << ":x:" << ::getuid() << ":0::/:/bin/sh\n";
    }
    if (!tree.machineId.empty()) {
        std::ofstream(fs::path(root) / "etc/machine-id") << tree.machineId << "\n";
    }
    if (!tree.macAddress.empty()) {
        fs::path eth = fs::path(root) / "sys/class/net/eth0";
        fs::create_directories(eth);
        fs::create_directories(fs::path(root) / "devices/eth0");
        fs::create_symlink(fs::path(root) / "devices/eth0", eth / "device");
        std::ofstream(eth / "type") << "1\n";
        std::ofstream(eth / "address") << tree.macAddress << "\n";
    }
    platform::testing::setMachineFactsRoot(root);
}

std::string runShell(const std::string& command, const std::string& input, int& status) {
    std::string folder = test_support::makeTemporaryFolder("settings-shell");
    std::string inPath = folder + "/in";
    std::string outPath = folder + "/out";
    {
        std::ofstream in(inPath, std::ios::binary);
        in << input;
    }
    std::string full = "(" + command + ") < '" + inPath + "' > '" + outPath + "' 2>/dev/null";
    int rc = std::system(full.c_str());
    status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    std::ifstream out(outPath, std::ios::binary);
    std::string result((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
    test_support::removeTree(folder);
    return result;
}

std::string lowerHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

}  // namespace settings_test
