// Value cipher, key derivation, machine signature and their codecs, checked against
// independent references (the openssl command line, a separate MD5-variant computation).
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "platform/MachineFacts.h"
#include "platform/TestSeams.h"
#include "settings/CryptEngine.h"
#include "settings/HexCodec.h"
#include "settings/MachineSignature.h"
#include "tests/settings/SettingsTestSupport.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

using settings_test::FactsTree;

const FactsTree kFullTree{"alice", "0123456789abcdef0123456789abcdef", "aa:bb:cc:dd:ee:01"};

class FactsTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = test_support::makeTemporaryFolder("settings-facts");
        CryptEngine::_hddSerialNumList.clear();
    }
    void TearDown() override {
        platform::testing::setMachineFactsRoot("/");
        CryptEngine::_hddSerialNumList.clear();
        test_support::removeTree(root_);
    }
    void use(const FactsTree& tree) {
        settings_test::useFactsTree(root_, tree);
        CryptEngine::_hddSerialNumList.clear();
    }
    std::string key1() {
        CryptEngine engine(0, "");
        std::string key;
        EXPECT_TRUE(engine.generateKey1(key));
        return key;
    }
    std::string root_;
};

TEST(DerivationHelpers, JumbleAndMerge) {
    struct JumbleCase {
        std::string in, out;
    };
    for (const auto& c : std::vector<JumbleCase>{{"12345", "21435"}, {"", ""}, {"ab", "ba"}, {"a", "a"}}) {
        std::string text = c.in;
        EXPECT_TRUE(jumbleStr(text));
        EXPECT_EQ(text, c.out) << c.in;
    }
    struct MergeCase {
        std::string a, b, out;
    };
    for (const auto& c : std::vector<MergeCase>{
             {"12345", "xyz", "12x345yz"}, {"", "ab", "ab"}, {"ab", "", "ab"}, {"abcd", "WXYZ", "abWXcdYZ"}}) {
        std::string out = "pre:";
        EXPECT_TRUE(mergeArrays(c.a, c.b, out));
        EXPECT_EQ(out, "pre:" + c.out) << c.a << "/" << c.b;
    }
    EXPECT_EQ(defaultKeySeedText().size(), 10u);
}

TEST(HexCodec, UppercaseOnly) {
    const unsigned char bytes[] = {0x00, 0xAB};
    char hex[5];
    utilCharStr2HexStr(bytes, hex, 2);
    EXPECT_STREQ(hex, "00AB");
    utilCharStr2HexStr(bytes, hex, 0);
    EXPECT_STREQ(hex, "");

    struct Case {
        const char* pair;
        unsigned char value;
    };
    for (const auto& c : std::vector<Case>{{"AB", 0xAB}, {"ab", 0x00}, {"0F", 0x0F}, {"FF", 0xFF}, {"Ag", 0x0A}}) {
        unsigned char out = 0x55;
        utilHex2Char(c.pair, out);
        EXPECT_EQ(out, c.value) << c.pair;
    }
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    EXPECT_EQ(bytesOfHexText(hexTextOf(all)), all);
}

TEST(MachineSignatureCodecs, Md5VariantMatchesAnIndependentComputation) {
    // Computed by a separate implementation of the variant (big-endian words and digest).
    struct Case {
        std::string text;
        const char* base64;
    };
    const std::vector<Case> cases = {
        {"", "Int/SNISg/Y7ybvBW0TqGg=="},
        {"abc", "FC0PI0onGqlG7YWP86evPg=="},
        {"EmptyValue", "3aCBcgX4z7bQtMIxI5RT5A=="},
        {std::string(55, 'x'), "7tAmcmQ8rjm9DL0b5/ea8A=="},  // padding fits the block
        {std::string(56, 'y'), "l3mZ7aXvzaCSH6YYpTCv/Q=="},  // padding needs a further block
        {std::string(64, 'z'), "mfOVU9nppp3gE8571kFQ5g=="},
    };
    for (const auto& c : cases) {
        std::string out;
        md5Base64String(reinterpret_cast<const std::uint8_t*>(c.text.data()), c.text.size(), out);
        EXPECT_EQ(out, c.base64) << c.text.size() << " bytes";
    }
}

TEST(MachineSignatureCodecs, Base64AndHexDigits) {
    struct Case {
        std::string in, out;
    };
    for (const auto& c :
         std::vector<Case>{{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {std::string("\0", 1), "AA=="}}) {
        EXPECT_EQ(base64Text(reinterpret_cast<const std::uint8_t*>(c.in.data()), c.in.size()), c.out);
    }
    EXPECT_EQ(hexDigitChar(0), '0');
    EXPECT_EQ(hexDigitChar(9), '9');
    EXPECT_EQ(hexDigitChar(10), 'A');
    EXPECT_EQ(hexDigitChar(15), 'F');
    EXPECT_EQ(hexDigitChar(16), 'U');
    EXPECT_EQ(hexDigitChar(-1), 'U');
}

TEST_F(FactsTreeTest, SignatureFormsFollowTheFactsPresent) {
    // 14-character prefixes of base64(md5 variant) of "aabbccddee01", the 23-character
    // serial and "EmptyValue", from the independent computation.
    const std::string mac = "x5n3b5yO+COalK", serial = "eIgf6rV59Nmfe8", missing = "3aCBcgX4z7bQtM";
    struct Case {
        FactsTree tree;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {kFullTree, "5000" + mac + serial},
        {{"alice", "", "aa:bb:cc:dd:ee:01"}, "5000" + mac + missing},
        {{"alice", "0123456789abcdef0123456789abcdef", ""}, "5000" + missing + serial},
        {{"alice", "  0123456789abcdef0123456  ", ""}, "5000" + missing + serial},
    };
    for (const auto& c : cases) {
        use(c.tree);
        char signature[33];
        ASSERT_TRUE(GenerateMachineSignature(signature));
        EXPECT_EQ(std::string(signature), c.expected);
    }

    use({"alice", "", ""});
    char signature[33];
    ASSERT_TRUE(GenerateMachineSignature(signature));
    std::string text = signature;
    ASSERT_EQ(text.size(), 32u);
    EXPECT_EQ(text.substr(0, 4), "F000");
    for (char c : text.substr(4)) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c))) << text;
}

TEST_F(FactsTreeTest, MacTextIsLowercaseHex) {
    use({"alice", "", "AA:0B:cc:DD:ee:F0"});
    char mac[13];
    ASSERT_TRUE(getPrimaryMACAddressString(mac));
    EXPECT_STREQ(mac, "aa0bccddeef0");
    use({"alice", "", ""});
    EXPECT_FALSE(getPrimaryMACAddressString(mac));
}

TEST_F(FactsTreeTest, KeysAreBoundToSeedAndUser) {
    use(kFullTree);
    CryptEngine engine(0, "");
    std::string k1, k2, kd, again;
    ASSERT_TRUE(engine.generateKey1(k1));
    ASSERT_TRUE(engine.generateKey2(k2));
    ASSERT_TRUE(engine.generateKey(kd));
    EXPECT_EQ(k1.size(), 32u);
    EXPECT_EQ(k2.size(), 32u);
    EXPECT_EQ(kd.size(), 32u);
    EXPECT_NE(k1, k2);
    EXPECT_NE(k1, kd);
    ASSERT_TRUE(engine.generateKey1(again));
    EXPECT_EQ(again, k1);

    use({"bob", kFullTree.machineId, kFullTree.macAddress});
    std::string otherUser;
    ASSERT_TRUE(engine.generateKey1(otherUser));
    EXPECT_NE(otherUser, k1);

    use({"", kFullTree.machineId, kFullTree.macAddress});
    std::string noUser;
    EXPECT_FALSE(engine.generateKey1(noUser));
    EXPECT_FALSE(engine.generateKey(noUser));

    use({"alice", "", kFullTree.macAddress});
    std::string noSerial;
    EXPECT_FALSE(engine.generateKey1(noSerial));
    EXPECT_TRUE(noSerial.empty());
    EXPECT_TRUE(engine.generateKey2(noSerial));
}

TEST_F(FactsTreeTest, CipherTextLengthsAndRoundTrips) {
    use(kFullTree);
    CryptEngine engine(0, "");
    ASSERT_TRUE(engine.initialize(0, key1()));
    struct Case {
        std::string plain;
        size_t hexLength;
    };
    std::string everyByte;
    for (int i = 1; i < 256; ++i) everyByte += static_cast<char>(i);
    const std::vector<Case> cases = {
        {"a", 32},
        {std::string(15, 'b'), 32},
        {std::string(16, 'c'), 64},
        {std::string(17, 'd'), 64},
        {"p\xC3\xA4ssw\xC3\xB6rd \xE2\x82\xAC", 32},
        {std::string(10000, 'L'), 10016 * 2},
        {everyByte, 256 * 2},
    };
    for (const auto& c : cases) {
        std::string hex, back;
        ASSERT_EQ(engine.encrypt(c.plain, hex), CE_OK);
        EXPECT_EQ(hex.size(), c.hexLength);
        EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos);
        ASSERT_EQ(engine.decrypt(hex, back), CE_OK);
        EXPECT_EQ(back, c.plain);
    }
}

TEST_F(FactsTreeTest, FailuresAreStatuses) {
    use(kFullTree);
    std::string out = "untouched";
    CryptEngine fresh(0, "");
    EXPECT_EQ(fresh.encrypt("x", out), CE_NotReady);
    EXPECT_EQ(fresh.decrypt("00", out), CE_NotReady);

    CryptEngine engine(0, "");
    ASSERT_TRUE(engine.initialize(0, key1()));
    EXPECT_EQ(engine.encrypt("", out), CE_BadArguments);
    EXPECT_EQ(engine.decrypt("", out), CE_BadArguments);
    std::string hex;
    ASSERT_EQ(engine.encrypt("secret", hex), CE_OK);

    CryptEngine other(0, "");
    ASSERT_TRUE(other.initialize(0, ""));  // falls back to the default key
    EXPECT_EQ(other.decrypt(hex, out), CE_DecryptFailed);
    EXPECT_EQ(engine.decrypt(hex.substr(0, 30), out), CE_DecryptFailed);  // not a whole block
    EXPECT_EQ(out, "untouched");

    CryptEngine plainType(2, "");
    ASSERT_TRUE(plainType.initialize(2, key1()));
    EXPECT_EQ(plainType.encrypt("as is", out), CE_PassedThrough);
    EXPECT_EQ(out, "as is");
    EXPECT_EQ(plainType.decrypt("AB12", out), CE_PassedThrough);
    EXPECT_EQ(out, "AB12");
}

TEST(CryptEngineHash, DigestsAreUppercaseHex) {
    CryptEngine engine(0, "");
    std::string out;
    ASSERT_EQ(engine.getHashStringForType(CE_SHA256, "abc", out), CE_OK);
    EXPECT_EQ(out, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    ASSERT_EQ(engine.getHashStringForType(CE_MD5, "abc", out), CE_OK);
    EXPECT_EQ(out, "900150983CD24FB0D6963F7D28E17F72");
    out = "kept";
    EXPECT_EQ(engine.getHashStringForType(2, "abc", out), CE_OK);
    EXPECT_EQ(out, "kept");
    EXPECT_NE(engine.getHashStringForType(CE_SHA256, "", out), CE_OK);
}

// The stored format is plain AES-256-CBC with PKCS#7 padding: the openssl tool reads it.
TEST_F(FactsTreeTest, OpensslReadsAndWritesTheStoredFormat) {
    use(kFullTree);
    const std::string key = key1();
    CryptEngine engine(0, "");
    ASSERT_TRUE(engine.initialize(0, key));
    const std::string iv(16, SpaceCrypto::kIvCharacter);
    const std::string args = " -aes-256-cbc -K " + settings_test::lowerHex(key) + " -iv " + settings_test::lowerHex(iv);

    const std::string plain = "proxy p\xC3\xA4ss 'quoted' " + std::string(40, 'x');
    std::string hex;
    ASSERT_EQ(engine.encrypt(plain, hex), CE_OK);
    int status = -1;
    std::string decrypted = settings_test::runShell("openssl enc -d" + args, bytesOfHexText(hex), status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(decrypted, plain);

    std::string cipher = settings_test::runShell("openssl enc -e" + args, "written by openssl", status);
    ASSERT_EQ(status, 0);
    std::string back;
    ASSERT_EQ(engine.decrypt(hexTextOf(cipher), back), CE_OK);
    EXPECT_EQ(back, "written by openssl");
}

}  // namespace
