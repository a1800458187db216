// Facts about this machine and its login user that the settings store binds its keys to.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

using EthernetAddress = std::array<std::uint8_t, 6>;

// Reads the facts from a file-system root: "/" for the running system, or a fixture tree
// laid out like it (etc/passwd, etc/machine-id, sys/class/net) for tests.
class MachineFacts {
public:
    explicit MachineFacts(std::string root = "/");

    // The name of the process's real uid: the password database under "/", the fixture's
    // etc/passwd elsewhere. The real uid, because the effective uid is switched for
    // console-user look-ups on other threads.
    std::optional<std::string> loginUserName() const;

    // The first 23 characters of etc/machine-id, trimmed of white space; nothing when
    // the file is missing or blank. Any user can read it, so a user's and root's keys agree.
    std::optional<std::string> platformSerial() const;

    // The address of the first, by name, of the interfaces under sys/class/net that have
    // a device link and type 1 (Ethernet) and a readable address.
    std::optional<EthernetAddress> primaryEthernetAddress() const;

    const std::string& root() const { return root_; }

private:
    std::string pathUnderRoot(const std::string& absolutePath) const;

    std::string root_;
};

// The facts the settings store reads: the running system unless a test set another root.
MachineFacts machineFacts();

// Points machineFacts() at a fixture tree; "/" puts the running system back.
void setMachineFactsRoot(const std::string& root);

}  // namespace platform
