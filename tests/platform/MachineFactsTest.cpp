// Machine facts read from fixture trees with and without each fact.
#include "platform/MachineFacts.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "platform/TestSeams.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

namespace fs = std::filesystem;

class FactsFixture : public ::testing::Test {
protected:
    void SetUp() override { root_ = test_support::makeTemporaryFolder("machine-facts"); }
    void TearDown() override { test_support::removeTree(root_); }

    void write(const std::string& relative, const std::string& content) {
        fs::path path = fs::path(root_) / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << content;
    }

    // An interface folder as sysfs shows it; a physical one has a device link.
    void addInterface(const std::string& name, const std::string& type, const std::string& address, bool device) {
        write("sys/class/net/" + name + "/type", type + "\n");
        write("sys/class/net/" + name + "/address", address + "\n");
        if (device) {
            fs::create_directories(fs::path(root_) / "devices" / name);
            fs::create_symlink(fs::path(root_) / "devices" / name, fs::path(root_) / "sys/class/net" / name / "device");
        }
    }

    std::string root_;
};

TEST_F(FactsFixture, SerialIsTheTrimmedStartOfMachineId) {
    struct Case {
        const char* content;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"0123456789abcdef0123456789abcdef\n", "0123456789abcdef0123456"},
        {"  short-id \n", "short-id"},
        {"   \n\t", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        write("etc/machine-id", c.content);
        EXPECT_EQ(platform::MachineFacts(root_).platformSerial(), c.expected) << '"' << c.content << '"';
    }
    fs::remove(fs::path(root_) / "etc/machine-id");
    EXPECT_EQ(platform::MachineFacts(root_).platformSerial(), std::nullopt);
}

TEST_F(FactsFixture, UserNameIsTheRealUidsEntry) {
    const std::string uid = std::to_string(::getuid());
    write("etc/passwd", "other:x:" + std::to_string(::getuid() + 1) + ":0::/:/bin/sh\n" + "fixtureuser:x:" + uid +
                            ":0::/home/f:/bin/sh\n");
    EXPECT_EQ(platform::MachineFacts(root_).loginUserName(), "fixtureuser");

    write("etc/passwd", "other:x:" + std::to_string(::getuid() + 1) + ":0::/:/bin/sh\nbroken line\n");
    EXPECT_EQ(platform::MachineFacts(root_).loginUserName(), std::nullopt);

    fs::remove(fs::path(root_) / "etc/passwd");
    EXPECT_EQ(platform::MachineFacts(root_).loginUserName(), std::nullopt);
}

TEST(MachineFacts, RunningSystemUserIsThePasswordEntryOfTheRealUid) {
    struct passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(platform::MachineFacts("/").loginUserName(), std::string(entry->pw_name));
}

TEST_F(FactsFixture, PrimaryEthernetIsTheFirstPhysicalByName) {
    addInterface("lo", "772", "00:00:00:00:00:00", false);
    addInterface("br0", "1", "02:00:00:00:00:01", false);  // virtual: no device link
    addInterface("eth1", "1", "aa:bb:cc:dd:ee:02", true);
    addInterface("eth0", "1", "aa:bb:cc:dd:ee:01", true);
    addInterface("ib0", "32", "11:22:33:44:55:66", true);  // not Ethernet
    auto address = platform::MachineFacts(root_).primaryEthernetAddress();
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(*address, (platform::EthernetAddress{0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0x01}));
}

TEST_F(FactsFixture, UnreadableAddressFallsToTheNextInterface) {
    addInterface("eth0", "1", "not-an-address", true);
    addInterface("eth1", "1", "aa:bb:cc:dd:ee:0", true);
    addInterface("eth2", "1", "10:20:30:40:50:60", true);
    auto address = platform::MachineFacts(root_).primaryEthernetAddress();
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(*address, (platform::EthernetAddress{0x10, 0x20, 0x30, 0x40, 0x50, 0x60}));
}

TEST_F(FactsFixture, NoEthernetMeansNoAddress) {
    EXPECT_EQ(platform::MachineFacts(root_).primaryEthernetAddress(), std::nullopt);
    addInterface("lo", "772", "00:00:00:00:00:00", false);
    addInterface("veth9", "1", "02:42:ac:11:00:02", false);
    EXPECT_EQ(platform::MachineFacts(root_).primaryEthernetAddress(), std::nullopt);
}

TEST_F(FactsFixture, ProcessWideFactsFollowTheSetRoot) {
    write("etc/machine-id", "fixture-serial\n");
    platform::testing::setMachineFactsRoot(root_);
    EXPECT_EQ(platform::machineFacts().platformSerial(), "fixture-serial");
    platform::testing::setMachineFactsRoot("/");
    EXPECT_EQ(platform::machineFacts().root(), "/");
}

}  // namespace
