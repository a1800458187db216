// Facts about this machine and its login user that the settings store binds its keys to.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

using EthernetAddress = std::array<std::uint8_t, 6>;

// Reads the facts from a file-system root: "/" for the running system, or, for tests, a fixture
// tree that holds the files the running system's facts come from, at the same paths.
class MachineFacts {
public:
    explicit MachineFacts(std::string root = "/");

    // The name of the process's real uid in the user database (the fixture's, under another
    // root). The real uid, because the effective uid is switched for console-user look-ups on
    // other threads.
    std::optional<std::string> loginUserName() const;

    // The first 23 characters of the machine's installation identifier, trimmed of white space;
    // nothing when none is recorded or it is blank. Any user can read it, so a user's and root's
    // keys agree.
    std::optional<std::string> platformSerial() const;

    // The address of the first, by name, of the physical Ethernet interfaces (virtual ones,
    // such as bridges and tunnels, never count) that have a readable address.
    std::optional<EthernetAddress> primaryEthernetAddress() const;

    const std::string& root() const { return root_; }

private:
    std::string pathUnderRoot(const std::string& absolutePath) const;

    std::string root_;
};

// The facts the settings store reads: the running system unless a test set another root
// (platform::testing::setMachineFactsRoot).
MachineFacts machineFacts();

}  // namespace platform
