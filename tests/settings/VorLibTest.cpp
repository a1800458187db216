// The flat interface end to end: keys from fixture machine facts, a real vor.db, other
// processes and other connections, and the sqlite3 and openssl tools as independent readers.
#include "platform/TestSeams.h"
#include "settings/TestSeams.h"
#include "settings/VorLib.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "platform/MachineFacts.h"
#include "settings/CryptEngine.h"
#include "settings/HexCodec.h"
#include "settings/VorLibStruct.h"
#include "tests/settings/SettingsTestSupport.h"
#include "tests/support/ChildProcesses.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

namespace fs = std::filesystem;
using settings_test::FactsTree;

const FactsTree kFacts{"alice", "0123456789abcdef0123456789abcdef", "aa:bb:cc:dd:ee:01"};
constexpr uid_t kUnprivilegedUid = 65534;

void forgetKeys() {
    VORLibStruct::Key1.clear();
    VORLibStruct::Key2.clear();
    VORLibStruct::KeyDefault.clear();
    CryptEngine::_hddSerialNumList.clear();
}

class VorLibTest : public ::testing::Test {
protected:
    void SetUp() override {
        factsRoot_ = environment_.base() + "/facts";
        useFacts(kFacts);
        path_ = environment_.base() + "/store/vor.db";
        vorDb::m_RecreateFileOnPermIssue = true;
        settings::testing::setBusyPolicy({50, 2, 10000});
    }
    void TearDown() override {
        settings::testing::setBusyPolicy(VorBusyPolicy{});
        platform::testing::setMachineFactsRoot("/");
        forgetKeys();
    }

    void useFacts(const FactsTree& tree) {
        settings_test::useFactsTree(factsRoot_, tree);
        forgetKeys();
    }

    void* open() {
        void* ref = vor_createLibRef(path_.c_str());
        EXPECT_NE(ref, nullptr);
        return ref;
    }

    // The decrypted value, or "<code>" when the read failed.
    static std::string get(void* ref, const char* key, bool decrypt = true) {
        std::int32_t size = 0;
        VORReturnCode rc = vor_getValueForKey(ref, "proxy", "credentials", key, nullptr, &size, decrypt);
        if (rc != VOR_SUCCESS) {
            return "<" + std::to_string(rc) + ">";
        }
        std::string buffer(static_cast<size_t>(size), 'x');
        char* data = buffer.data();
        rc = vor_getValueForKey(ref, "proxy", "credentials", key, &data, &size, decrypt);
        if (rc != VOR_SUCCESS) {
            return "<" + std::to_string(rc) + ">";
        }
        EXPECT_EQ(buffer.back(), '\0');
        buffer.pop_back();
        return buffer;
    }

    static VORReturnCode set(void* ref, const char* key, const std::string& value) {
        return vor_setValueForKey(ref, "proxy", "credentials", key, value.c_str());
    }

    std::string storedText(const std::string& key) {
        int status = -1;
        std::string out = settings_test::runShell(
            "sqlite3 -batch '" + path_ + "' \"SELECT value FROM vor_data WHERE key='" + key + "';\"", "", status);
        EXPECT_EQ(status, 0);
        if (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }

    static void release(void*& ref) { ASSERT_EQ(vor_freeLibRef(&ref), VOR_SUCCESS); }

    test_support::TemporaryEnvironment environment_;
    std::string factsRoot_;
    std::string path_;
};

TEST_F(VorLibTest, ValuesRoundTripAcrossReferences) {
    const std::vector<std::pair<const char*, std::string>> values = {
        {"empty", ""},
        {"ascii", "user@example"},
        {"utf8", "p\xC3\xA4ssw\xC3\xB6rd \xE2\x82\xAC \xF0\x9F\x94\x91"},
        {"quote", "it's \"quoted\"; --"},
        {"long", std::string(20000, 'L') + "end"},
    };
    void* ref = open();
    for (const auto& [key, value] : values) {
        ASSERT_EQ(set(ref, key, value), VOR_SUCCESS) << key;
    }
    release(ref);
    EXPECT_EQ(ref, nullptr);

    ref = open();
    for (const auto& [key, value] : values) {
        EXPECT_EQ(get(ref, key), value) << key;
    }
    EXPECT_EQ(storedText("empty"), "");
    EXPECT_EQ(storedText("ascii").size(), 32u);
    EXPECT_EQ(storedText("ascii").find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(get(ref, "missing"), "<-8>");
    EXPECT_EQ(set(ref, "ascii", "replaced"), VOR_SUCCESS);
    EXPECT_EQ(get(ref, "ascii"), "replaced");
    // Without decryption the stored cipher text comes back as it is.
    EXPECT_EQ(get(ref, "ascii", false), storedText("ascii"));
    release(ref);
}

TEST_F(VorLibTest, ValuesThatAreNotTextAreRefusedAndTheStoredOneStays) {
    void* ref = open();
    ASSERT_EQ(set(ref, "k", "kept"), VOR_SUCCESS);
    for (const std::string& value : {std::string("\xE2"),              // a lead byte alone
                                     std::string("ab\xFF"),            // never in UTF-8
                                     std::string("\xC0\xAF"),          // an overlong '/'
                                     std::string("\xED\xA0\x80"),      // a surrogate
                                     std::string("\xF4\x90\x80\x80"),  // beyond U+10FFFF
                                     std::string("x\x80y")}) {         // a continuation byte alone
        EXPECT_EQ(set(ref, "k", value), VOR_INVALID_ARGUMENT) << testing::PrintToString(value);
        EXPECT_EQ(get(ref, "k"), "kept") << testing::PrintToString(value);
    }
    EXPECT_EQ(set(ref, "new", "\xE2"), VOR_INVALID_ARGUMENT);
    EXPECT_EQ(get(ref, "new"), "<-8>");
    release(ref);
}

TEST_F(VorLibTest, BufferSizesAndArguments) {
    void* ref = open();
    ASSERT_EQ(set(ref, "k", "abc"), VOR_SUCCESS);
    ASSERT_EQ(set(ref, "e", ""), VOR_SUCCESS);

    std::int32_t size = 0;
    EXPECT_EQ(vor_getValueForKey(ref, "proxy", "credentials", "k", nullptr, &size, true), VOR_SUCCESS);
    EXPECT_EQ(size, 4);
    char buffer[8] = "zzzzzzz";
    char* out = buffer;
    size = 3;
    EXPECT_EQ(vor_getValueForKey(ref, "proxy", "credentials", "k", &out, &size, true), VOR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 4);
    EXPECT_STREQ(buffer, "zzzzzzz");
    EXPECT_EQ(vor_getValueForKey(ref, "proxy", "credentials", "k", &out, &size, true), VOR_SUCCESS);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(vor_getValueForKey(ref, "proxy", "credentials", "e", nullptr, &size, true), VOR_SUCCESS);
    EXPECT_EQ(size, 1);

    char* nullBuffer = nullptr;
    struct Case {
        const char* name;
        void* ref;
        const char *domain, *subDomain, *key;
        char** outBuf;
        std::int32_t* ioSize;
        VORReturnCode setExpected;  // the same fields given to vor_setValueForKey
    };
    for (const auto& c : std::vector<Case>{
             {"null ref", nullptr, "d", "s", "k", &out, &size, VOR_INVALID_ARGUMENT},
             {"null domain", ref, nullptr, "s", "k", &out, &size, VOR_INVALID_ARGUMENT},
             {"null key", ref, "d", "s", nullptr, &out, &size, VOR_INVALID_ARGUMENT},
             {"null size", ref, "d", "s", "k", &out, nullptr, VOR_SUCCESS},
             {"null buffer pointer", ref, "d", "s", "k2", &nullBuffer, &size, VOR_SUCCESS},
             {"empty domain", ref, "", "s", "k", &out, &size, VOR_INVALID_ARGUMENT},
             {"empty subDomain", ref, "d", "", "k", &out, &size, VOR_INVALID_ARGUMENT},
             {"empty key", ref, "d", "s", "", &out, &size, VOR_INVALID_ARGUMENT},
         }) {
        EXPECT_EQ(vor_getValueForKey(c.ref, c.domain, c.subDomain, c.key, c.outBuf, c.ioSize, true),
                  VOR_INVALID_ARGUMENT)
            << c.name;
        EXPECT_EQ(vor_setValueForKey(c.ref, c.domain, c.subDomain, c.key, "v"), c.setExpected) << c.name;
    }
    EXPECT_EQ(vor_setValueForKey(ref, "d", "s", "k", nullptr), VOR_INVALID_ARGUMENT);

    EXPECT_EQ(vor_freeLibRef(nullptr), VOR_FAILURE);
    release(ref);
    EXPECT_EQ(vor_freeLibRef(&ref), VOR_SUCCESS);  // holds NULL now
}

TEST_F(VorLibTest, DefaultFileLiesInTheUsersApplicationSupport) {
    void* ref = vor_createLibRef(nullptr);
    ASSERT_NE(ref, nullptr);
    ASSERT_EQ(set(ref, "k", "v"), VOR_SUCCESS);
    release(ref);
    const std::string expected = environment_.home() + "/Library/Application Support/Zarvo/ZEZU/vor.db";
    ASSERT_TRUE(fs::exists(expected));
    EXPECT_EQ(fs::status(expected).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    ASSERT_EQ(::chmod(expected.c_str(), 0644), 0);
    ref = vor_createLibRef(nullptr);
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(fs::status(expected).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    release(ref);
}

// Independent readers: the sqlite3 tool checks the file, openssl decrypts a stored value.
TEST_F(VorLibTest, ToolsReadWhatWeWrote) {
    void* ref = open();
    ASSERT_EQ(set(ref, "password", "s3cret p\xC3\xA4ss"), VOR_SUCCESS);
    release(ref);

    int status = -1;
    EXPECT_EQ(settings_test::runShell("sqlite3 -batch '" + path_ + "' 'PRAGMA integrity_check;'", "", status), "ok\n");
    std::string tables = settings_test::runShell(
        "sqlite3 -batch '" + path_ + "' \"SELECT name FROM sqlite_master WHERE type='table' ORDER BY name;\"", "",
        status);
    EXPECT_EQ(tables, "vor_data\nvor_meta\n");

    const std::string iv(16, SpaceCrypto::kIvCharacter);
    std::string plain =
        settings_test::runShell("openssl enc -d -aes-256-cbc -K " + settings_test::lowerHex(VORLibStruct::Key1) +
                                    " -iv " + settings_test::lowerHex(iv),
                                bytesOfHexText(storedText("password")), status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(plain, "s3cret p\xC3\xA4ss");
}

TEST_F(VorLibTest, ValueWrittenInOneProcessIsReadInAnother) {
    const int status = test_support::runInChild([&] {
        forgetKeys();  // the child derives its own keys from the same facts
        void* ref = vor_createLibRef(path_.c_str());
        int rc = ref != nullptr && set(ref, "shared", "from the child") == VOR_SUCCESS ? 0 : 1;
        vor_freeLibRef(&ref);
        return rc;
    });
    ASSERT_EQ(status, 0);
    void* ref = open();
    EXPECT_EQ(get(ref, "shared"), "from the child");
    release(ref);
}

TEST_F(VorLibTest, KeyOrderForWritingAndReading) {
    // Written while the serial could not be read: under Key2.
    useFacts({kFacts.userName, "", kFacts.macAddress});
    void* ref = open();
    EXPECT_TRUE(VORLibStruct::Key1.empty());
    ASSERT_EQ(set(ref, "fallback", "under key2"), VOR_SUCCESS);
    release(ref);

    // The serial is back: Key1 fails on it and Key2 reads it.
    settings_test::useFactsTree(factsRoot_, kFacts);
    ref = open();
    EXPECT_FALSE(VORLibStruct::Key1.empty());
    EXPECT_EQ(get(ref, "fallback"), "under key2");
    ASSERT_EQ(set(ref, "primary", "under key1"), VOR_SUCCESS);
    release(ref);

    // Key1 lost for one run: a value it wrote is kept and reported as a failure.
    useFacts({kFacts.userName, "", kFacts.macAddress});
    ref = open();
    EXPECT_EQ(get(ref, "primary"), "<-1>");
    release(ref);
    EXPECT_EQ(storedText("primary").size(), 32u);

    useFacts(kFacts);
    ref = open();
    EXPECT_EQ(get(ref, "primary"), "under key1");
    release(ref);
}

// A wrong key passes the padding check about once in 256; the garbage it gives must not
// be taken for the value when the other key reads it properly.
TEST_F(VorLibTest, GarbageFromTheWrongKeyIsNotTakenForTheValue) {
    void* ref = open();
    const std::string key1 = VORLibStruct::Key1, key2 = VORLibStruct::Key2;
    ASSERT_FALSE(key1.empty());
    CryptEngine underKey2(0, ""), underKey1(0, "");
    ASSERT_TRUE(underKey2.initialize(0, key2));
    ASSERT_TRUE(underKey1.initialize(0, key1));
    std::string value;
    for (int i = 0; i < 100000 && value.empty(); ++i) {
        std::string candidate = "value-" + std::to_string(i), hex, garbage;
        ASSERT_EQ(underKey2.encrypt(candidate, hex), CE_OK);
        if (underKey1.decrypt(hex, garbage) == CE_OK) value = candidate;
    }
    ASSERT_FALSE(value.empty());

    VORLibStruct::Key1.clear();  // written as when the serial was unreadable
    ASSERT_EQ(set(ref, "lucky", value), VOR_SUCCESS);
    VORLibStruct::Key1 = key1;
    EXPECT_EQ(get(ref, "lucky"), value);
    release(ref);
}

// A stored value is text without NUL: a decryption under the right key that gives anything
// else is not taken for the value.
TEST_F(VorLibTest, DecryptedBytesThatAreNotTextAreNoValue) {
    void* ref = open();
    CryptEngine underKey1(0, "");
    ASSERT_TRUE(underKey1.initialize(0, VORLibStruct::Key1));
    const struct {
        const char* name;
        std::string plain;
        bool text;
    } cases[] = {
        {"UTF-8 text", "caf\xC3\xA9 \xF0\x9F\x94\x91", true},
        {"a NUL inside", std::string("pass\0word", 9), false},
        {"an overlong '/'", "\xC0\xAF", false},
        {"a surrogate", "\xED\xA0\x80", false},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", false},
        {"a cut sequence", "ab\xE2\x82", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(set(ref, "k", "placeholder"), VOR_SUCCESS);
        std::string hex;
        ASSERT_EQ(underKey1.encrypt(c.plain, hex), CE_OK);
        int status = -1;
        settings_test::runShell(
            "sqlite3 -batch '" + path_ + "' \"UPDATE vor_data SET value='" + hex + "' WHERE key='k';\"", "", status);
        ASSERT_EQ(status, 0);
        EXPECT_EQ(get(ref, "k"), c.text ? c.plain : "<-10>");
    }
    release(ref);
}

TEST_F(VorLibTest, ValueOfAnotherUserIsDeleted) {
    void* ref = open();
    ASSERT_EQ(set(ref, "foreign", "alice's"), VOR_SUCCESS);
    release(ref);

    useFacts({"mallory", kFacts.machineId, kFacts.macAddress});
    ref = open();
    EXPECT_EQ(get(ref, "foreign"), "<-10>");
    EXPECT_EQ(get(ref, "foreign"), "<-8>");
    EXPECT_EQ(storedText("foreign"), "");
    release(ref);
}

TEST_F(VorLibTest, DamagedFileIsRecoveredAtOpenAndInUse) {
    void* ref = open();
    ASSERT_EQ(set(ref, "k", "v"), VOR_SUCCESS);
    // Damage under an open session: the next read finds it and recreates the file.
    {
        std::ofstream damage(path_, std::ios::binary | std::ios::trunc);
        damage << std::string(8192, '\x5A');
    }
    EXPECT_EQ(get(ref, "k"), "<-8>");
    EXPECT_EQ(set(ref, "k", "after recovery"), VOR_SUCCESS);
    EXPECT_EQ(get(ref, "k"), "after recovery");
    release(ref);

    { std::ofstream(path_, std::ios::trunc) << "not a database"; }
    ref = open();
    EXPECT_EQ(get(ref, "k"), "<-8>");
    EXPECT_EQ(set(ref, "k", "fresh"), VOR_SUCCESS);
    release(ref);
    int status = -1;
    EXPECT_EQ(settings_test::runShell("sqlite3 -batch '" + path_ + "' 'PRAGMA integrity_check;'", "", status), "ok\n");
}

TEST_F(VorLibTest, BusyDatabaseKeepsEveryValue) {
    void* ref = open();
    ASSERT_EQ(set(ref, "k", "precious"), VOR_SUCCESS);

    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(vor_createLibRef(path_.c_str()), nullptr);
    EXPECT_EQ(get(ref, "k"), "<-1>");
    EXPECT_EQ(set(ref, "k", "lost?"), VOR_FAILURE);
    ASSERT_EQ(sqlite3_exec(holder, "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(holder);

    EXPECT_EQ(get(ref, "k"), "precious");
    release(ref);
    ref = open();
    EXPECT_EQ(get(ref, "k"), "precious");
    release(ref);
}

// A file this user may not write is replaced by the first write that meets it; that write
// is reported as failed and the next one succeeds. Tests run as root, so a child process
// drops to an unprivileged uid to meet the file as a user would.
TEST_F(VorLibTest, UnwritableFileIsReplacedByTheFirstWrite) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to make a file another user cannot write";
    }
    void* ref = open();
    ASSERT_EQ(set(ref, "k", "root's"), VOR_SUCCESS);
    release(ref);
    const std::string folder = environment_.base() + "/store";
    ASSERT_EQ(::chown(folder.c_str(), kUnprivilegedUid, kUnprivilegedUid), 0);
    ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
    for (const std::string& f : {environment_.base(), factsRoot_, factsRoot_ + "/etc"}) {
        ASSERT_EQ(::chmod(f.c_str(), 0755), 0) << f;
    }
    for (const std::string& f : {factsRoot_ + "/etc/passwd", factsRoot_ + "/etc/machine-id"}) {
        ASSERT_EQ(::chmod(f.c_str(), 0644), 0) << f;
    }

    const int status = test_support::runInChild([&] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivilegedUid) != 0 || ::setuid(kUnprivilegedUid) != 0) {
            return 10;
        }
        void* childRef = vor_createLibRef(path_.c_str());
        if (childRef == nullptr) return 11;
        if (set(childRef, "k", "first try") != VOR_FAILURE) return 12;
        if (set(childRef, "k", "second try") != VOR_SUCCESS) return 13;
        if (get(childRef, "k") != "second try") return 14;
        return vor_freeLibRef(&childRef) == VOR_SUCCESS ? 0 : 15;
    });
    EXPECT_EQ(status, 0);

    struct stat replaced {};
    ASSERT_EQ(::stat(path_.c_str(), &replaced), 0);
    EXPECT_EQ(replaced.st_uid, kUnprivilegedUid);
    EXPECT_EQ(replaced.st_mode & 07777, 0600u);
    ref = open();
    EXPECT_EQ(get(ref, "k"), "second try");
    release(ref);
}

}  // namespace
