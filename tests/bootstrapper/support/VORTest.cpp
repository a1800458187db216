// The proxy-credential wrapper against a real settings store under a temporary home, with the
// machine facts that key its encryption laid out as fixtures.
#include "bootstrapper/support/VOR.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/MachineFacts.h"
#include "platform/TestSeams.h"
#include "settings/CryptEngine.h"
#include "settings/VorLib.h"
#include "settings/VorLibStruct.h"
#include "tests/settings/SettingsTestSupport.h"
#include "tests/support/LogFacadeHome.h"
#include "tests/support/RecordingLogTarget.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

using settings_test::FactsTree;
using test_support::RecordingLogTarget;

const FactsTree kFacts{"alice", "0123456789abcdef0123456789abcdef", "aa:bb:cc:dd:ee:01"};

class VORTest : public ::testing::Test {
protected:
    void SetUp() override { useFacts(kFacts); }
    void TearDown() override {
        platform::testing::setMachineFactsRoot("/");
        forgetKeys();
    }

    static void forgetKeys() {
        VORLibStruct::Key1.clear();
        VORLibStruct::Key2.clear();
        VORLibStruct::KeyDefault.clear();
        CryptEngine::_hddSerialNumList.clear();
    }
    void useFacts(const FactsTree& tree) {
        settings_test::useFactsTree(environment_.base() + "/facts", tree);
        forgetKeys();
    }
    std::string databasePath() const { return environment_.home() + "/Library/Application Support/Zarvo/ZEZU/vor.db"; }

    // One use as the workflow makes it: a fresh wrapper, opened, used and freed.
    bool readOnce(std::string& user, std::string& password) {
        VOR vor;
        EXPECT_TRUE(vor.createLibRef());
        const bool read = vor.readProxyCredentials(user, password);
        EXPECT_TRUE(vor.freeLibRef());
        return read;
    }
    bool writeOnce(const std::string& user, const std::string& password) {
        VOR vor;
        EXPECT_TRUE(vor.createLibRef());
        const bool written = vor.writeProxyCredentials(user, password);
        EXPECT_TRUE(vor.freeLibRef());
        return written;
    }

    test_support::TemporaryEnvironment environment_;
};

TEST_F(VORTest, FirstRunMakesTheStoreAndReadsNothing) {
    ASSERT_FALSE(std::filesystem::exists(databasePath()));
    RecordingLogTarget log;
    std::string user, password;
    EXPECT_FALSE(readOnce(user, password));
    EXPECT_TRUE(std::filesystem::exists(databasePath()));
    EXPECT_EQ(user, "");
    EXPECT_EQ(password, "");
    EXPECT_EQ(log.count(zezu::DEBUG, "VOR", "Unable to get the value for key in VORGetValueForKey"), 1) << log.dump();
}

TEST_F(VORTest, CredentialsSurviveBetweenWrappersAndReadsEraseNothing) {
    const struct {
        std::string user;
        std::string password;
    } cases[] = {
        {"proxy-user", "s3cret"},
        {"DOMAIN\\j\xC3\xB6rg", "p\xC3\xA4ss w\xC3\xB6rd \xE2\x82\xAC; 'quoted' --"},
        {"user", ""},  // an empty password is stored as the empty text
        {"", ""},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(writeOnce(c.user, c.password)) << c.user;
        // A run that does not save (no "remember") only reads: the values stay for the next.
        for (int run = 0; run < 2; ++run) {
            std::string user = "before", password = "before";
            EXPECT_TRUE(readOnce(user, password)) << c.user;
            EXPECT_EQ(user, c.user);
            EXPECT_EQ(password, c.password);
        }
    }
}

TEST_F(VORTest, StoredUserWithoutPasswordFillsTheUserAndFails) {
    {
        VOR vor;
        ASSERT_TRUE(vor.createLibRef());
        ASSERT_TRUE(vor.VORSetValueForKey(VOR::kDomain, VOR::kSubDomain, VOR::kUsernameKey, "only-user"));
    }
    std::string user, password = "kept";
    EXPECT_FALSE(readOnce(user, password));
    EXPECT_EQ(user, "only-user");
    EXPECT_EQ(password, "kept");
}

TEST_F(VORTest, ValuesUnderTheFixedNamesAreEncrypted) {
    ASSERT_TRUE(writeOnce("visible-user", "visible-password"));
    void* ref = vor_createLibRef(nullptr);
    ASSERT_NE(ref, nullptr);
    for (const char* key : {VOR::kUsernameKey, VOR::kPasswordKey}) {
        std::int32_t size = 0;
        ASSERT_EQ(vor_getValueForKey(ref, "ZEZU", "ProxyCredentials", key, nullptr, &size, false), VOR_SUCCESS) << key;
        std::string raw(static_cast<size_t>(size), '\0');
        char* data = raw.data();
        ASSERT_EQ(vor_getValueForKey(ref, "ZEZU", "ProxyCredentials", key, &data, &size, false), VOR_SUCCESS);
        EXPECT_EQ(raw.find("visible"), std::string::npos) << key;
        EXPECT_GT(raw.size(), 16u) << key;
    }
    EXPECT_EQ(vor_freeLibRef(&ref), VOR_SUCCESS);
}

TEST_F(VORTest, CredentialsOfAnotherUserAreDroppedAndTheNextRunStartsClean) {
    ASSERT_TRUE(writeOnce("alice-user", "alice-password"));
    useFacts({"mallory", kFacts.machineId, kFacts.macAddress});
    std::string user, password;
    EXPECT_FALSE(readOnce(user, password));
    EXPECT_EQ(user, "");
    RecordingLogTarget log;
    EXPECT_FALSE(readOnce(user, password));
    EXPECT_EQ(log.count(zezu::DEBUG, "VOR", "Unable to get the value for key in VORGetValueForKey"), 1) << log.dump();
    // Mallory's own credentials then go in and come back.
    ASSERT_TRUE(writeOnce("mallory-user", "pw"));
    EXPECT_TRUE(readOnce(user, password));
    EXPECT_EQ(user, "mallory-user");
}

TEST_F(VORTest, NothingHappensWithoutAReference) {
    RecordingLogTarget log;
    VOR vor;
    std::string user = "u", password = "p", value = "v";
    EXPECT_FALSE(vor.readProxyCredentials(user, password));
    EXPECT_FALSE(vor.writeProxyCredentials("x", "y"));
    EXPECT_EQ(user, "u");
    EXPECT_EQ(password, "p");
    EXPECT_FALSE(vor.VORGetValueForKey("d", "s", "k", value));
    EXPECT_FALSE(vor.VORSetValueForKey("d", "s", "k", "v"));
    EXPECT_EQ(value, "v");
    EXPECT_EQ(log.count(zezu::WARN, "VOR", "The VOR lib ref is not initialized in VORGetValueForKey"), 1) << log.dump();
    EXPECT_EQ(log.count(zezu::WARN, "VOR", "The VOR lib ref is not initialized in VORSetValueForKey"), 1) << log.dump();
    EXPECT_TRUE(vor.freeLibRef());  // nothing to free
    EXPECT_FALSE(std::filesystem::exists(databasePath()));
}

TEST_F(VORTest, EmptyNamesAreRefusedBeforeTheStore) {
    VOR vor;
    ASSERT_TRUE(vor.createLibRef());
    const struct {
        const char* domain;
        const char* subDomain;
        const char* key;
    } cases[] = {{"", "s", "k"}, {"d", "", "k"}, {"d", "s", ""}};
    for (const auto& c : cases) {
        RecordingLogTarget log;
        std::string value = "unchanged";
        EXPECT_FALSE(vor.VORSetValueForKey(c.domain, c.subDomain, c.key, "v"));
        EXPECT_FALSE(vor.VORGetValueForKey(c.domain, c.subDomain, c.key, value));
        EXPECT_EQ(value, "unchanged");
        EXPECT_EQ(log.count(zezu::WARN, "VOR", "Invalid arguments in VORSetValueForKey"), 1) << log.dump();
        EXPECT_EQ(log.count(zezu::WARN, "VOR", "Invalid arguments in VORGetValueForKey"), 1) << log.dump();
    }
}

TEST_F(VORTest, AStoreThatCannotBeMadeGivesFalseEverywhere) {
    // A file where the store's folder belongs: nothing can be created there, even as root.
    const std::string support = environment_.home() + "/Library/Application Support";
    std::filesystem::create_directories(support);
    { std::ofstream(support + "/Zarvo") << "not a folder"; }
    RecordingLogTarget log;
    VOR vor;
    EXPECT_FALSE(vor.createLibRef());
    EXPECT_EQ(log.count(zezu::INFO, "VOR", "Failed in VOR create lib ref"), 1) << log.dump();
    std::string user, password;
    EXPECT_FALSE(vor.readProxyCredentials(user, password));
    EXPECT_FALSE(vor.writeProxyCredentials("u", "p"));
    EXPECT_TRUE(vor.freeLibRef());
}

}  // namespace
