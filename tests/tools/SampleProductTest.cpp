// The sample product generator: its files read back with pugixml and OpenSSL, its installer run
// from the unpacked image, its resources and its refusals.
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <openssl/evp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "localization/ZStringDictionary.h"
#include "platform/ProcessLauncher.h"
#include "tests/support/FileContents.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

namespace fs = std::filesystem;

const std::string kGenerator = SAMPLE_PRODUCT_TOOL;
const std::string kStringTableTool = STRING_TABLE_TOOL;
const char kInstalledFolder[] = "/Applications/Utilities/Zarvo Application Manager";
const std::vector<std::string> kDefaultArguments = {"--mode=silent", "two words \"quoted\" $HOME;$(id)"};

using test_support::readFile;

std::string md5Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr), 1);
    std::string hex;
    char pair[3];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

std::string joinedWithNul(const std::vector<std::string>& arguments) {
    std::string joined;
    for (const auto& argument : arguments) joined += argument + '\0';
    return joined;
}

std::string text(pugi::xml_node node, const char* path) { return node.select_node(path).node().child_value(); }

class SampleProductTest : public testing::Test {
protected:
    // Runs the generator into output_; its standard output and error go to messages.
    int generate(std::vector<std::string> options, std::string* messages = nullptr) {
        std::vector<std::string> arguments = {"-c", "exec \"$0\" \"$@\" 2>&1", "python3", kGenerator, output_};
        arguments.insert(arguments.end(), options.begin(), options.end());
        std::string output;
        int status = -1;
        EXPECT_TRUE(platform::runProcessCapturingOutput("/bin/sh", arguments, output, status));
        if (messages) *messages = output;
        EXPECT_TRUE(status == 0 || messages) << output;
        return status;
    }

    // The image unpacked into a fresh folder; "" when unsquashfs fails.
    std::string unpack() {
        const std::string folder = env_.base() + "/unpacked";
        fs::remove_all(folder);
        std::string ignored;
        int status = -1;
        if (!platform::runProcessCapturingOutput(
                "/usr/bin/unsquashfs", {"-no-progress", "-d", folder, output_ + "/packager.sqfs"}, ignored, status) ||
            status != 0)
            return "";
        return folder;
    }

    // Runs the unpacked installer from its own folder (or another) and gives its status.
    int install(const std::string& image, const std::vector<std::string>& arguments, const std::string& folder = "") {
        int status = -1;
        platform::ProcessOptions options;
        options.workingFolder = folder.empty() ? image + "/Installer" : folder;
        EXPECT_TRUE(platform::runProcess(image + "/Installer/install", arguments, status, options));
        return status;
    }

    std::string installed() const { return env_.localRoot() + kInstalledFolder; }

    test_support::TemporaryEnvironment env_;
    std::string output_ = env_.base() + "/product";
};

TEST_F(SampleProductTest, ManifestListsBothAssetsWithTheirActions) {
    ASSERT_EQ(generate({}), 0);
    pugi::xml_document manifest;
    ASSERT_TRUE(manifest.load_file((output_ + "/manifest.xml").c_str()));
    EXPECT_EQ(text(manifest, "/manifest/version"), "1.0");
    const auto assets = manifest.select_nodes("/manifest/asset_list/asset");
    ASSERT_EQ(assets.size(), 2u);

    const struct {
        const char* type;
        const char* sequence;
        const char* path;
        const char* validation;
        const char* file;
    } expected[] = {
        {"DMG", "1", "/packager.sqfs", "/packager.sqfs.xml", "packager.sqfs"},
        {"BINARY", "2", "/notes.bin", "/notes.bin.xml", "notes.bin"},
    };
    for (size_t i = 0; i < 2; ++i) {
        const pugi::xml_node asset = assets[i].node();
        EXPECT_EQ(text(asset, "asset_type"), expected[i].type);
        EXPECT_EQ(text(asset, "sequence_no"), expected[i].sequence);
        EXPECT_EQ(text(asset, "asset_path"), expected[i].path);
        EXPECT_EQ(text(asset, "validation_data"), expected[i].validation);
        EXPECT_EQ(text(asset, "asset_size"), std::to_string(fs::file_size(output_ + "/" + expected[i].file)));
    }
    EXPECT_EQ(fs::file_size(output_ + "/notes.bin"), 150000u);
    EXPECT_TRUE(assets[1].node().select_nodes("actions/action").empty());

    const auto actions = assets[0].node().select_nodes("actions/action");
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(text(actions[0].node(), "name"), "extract");
    EXPECT_EQ(text(actions[0].node(), "sequence_no"), "1");
    const pugi::xml_node install = actions[1].node();
    EXPECT_EQ(text(install, "name"), "install");
    EXPECT_EQ(text(install, "type"), "msp");
    EXPECT_EQ(text(install, "sequence_no"), "2");
    std::vector<std::string> executables, arguments;
    for (const auto& data : install.select_nodes("action_data/data")) {
        const std::string key = text(data.node(), "key");
        (key == "executable" ? executables : arguments).push_back(text(data.node(), "value"));
    }
    EXPECT_EQ(executables, std::vector<std::string>{"/Installer/install"});
    EXPECT_EQ(arguments, kDefaultArguments);

    // --executable and --argument replace the install action's values.
    ASSERT_EQ(generate({"--executable", "/Installer/readme.txt", "--argument", "", "--argument", "a<b&c"}), 0);
    ASSERT_TRUE(manifest.load_file((output_ + "/manifest.xml").c_str()));
    const auto values = manifest.select_nodes("//action[name='install']/action_data/data/value");
    ASSERT_EQ(values.size(), 3u);
    EXPECT_STREQ(values[0].node().child_value(), "/Installer/readme.txt");
    EXPECT_STREQ(values[1].node().child_value(), "");
    EXPECT_STREQ(values[2].node().child_value(), "a<b&c");
}

// Every segment's digest is the MD5 of its bytes; the image spans several segments and the
// plain asset ends with a short one.
TEST_F(SampleProductTest, ValidationFilesCarryTheDigestsOfTheirSegments) {
    for (uint32_t segmentSize : {65536u, 100000u}) {
        ASSERT_EQ(generate({"--segment-size", std::to_string(segmentSize)}), 0);
        for (const char* name : {"packager.sqfs", "notes.bin"}) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(segmentSize));
            const std::string data = readFile(output_ + "/" + name);
            pugi::xml_document validation;
            ASSERT_TRUE(validation.load_file((output_ + "/" + name + ".xml").c_str()));
            const pugi::xml_node root = validation.child("validationInfo");
            EXPECT_EQ(text(root, "segmentSize"), std::to_string(segmentSize));
            EXPECT_EQ(text(root, "version"), "1.0");
            EXPECT_EQ(text(root, "algorithm"), "TYPE1");
            const size_t count = (data.size() + segmentSize - 1) / segmentSize;
            EXPECT_EQ(text(root, "segmentCount"), std::to_string(count));
            EXPECT_EQ(text(root, "lastSegmentSize"), std::to_string(data.size() - (count - 1) * segmentSize));
            const auto segments = root.select_nodes("segments/segment");
            ASSERT_EQ(segments.size(), count);
            for (size_t i = 0; i < count; ++i) {
                EXPECT_EQ(segments[i].node().attribute("segmentNumber").as_string(), std::to_string(i + 1));
                EXPECT_EQ(segments[i].node().child_value(), md5Hex(data.substr(i * segmentSize, segmentSize)))
                    << "segment " << i + 1;
            }
        }
    }
    EXPECT_GE(fs::file_size(output_ + "/packager.sqfs"), 3 * 100000u);
    EXPECT_NE(fs::file_size(output_ + "/notes.bin") % 100000, 0u);
}

// The served version equals the image's; the scenarios serve every file under the prefix; the
// same options give the same image.
TEST_F(SampleProductTest, VersionsAgreeAndTheScenariosServeTheFiles) {
    ASSERT_EQ(generate({"--version", "2.3.4.5", "--prefix", "/p/q"}), 0);
    pugi::xml_document served;
    ASSERT_TRUE(served.load_file((output_ + "/version.xml").c_str()));
    EXPECT_EQ(text(served, "/MSP/Macintosh/Version"), "2.3.4.5");
    const std::string image = unpack();
    ASSERT_FALSE(image.empty());
    EXPECT_EQ(readFile(image + "/Payload/MSP/version.xml"), readFile(output_ + "/version.xml"));
    EXPECT_EQ(fs::file_size(image + "/Payload/padding.bin"), 300000u);

    test_support::HttpTestServer::Options options;
    options.configFile = output_ + "/scenarios.json";
    test_support::HttpTestServer server(options);
    for (const char* name :
         {"manifest.xml", "version.xml", "packager.sqfs", "packager.sqfs.xml", "notes.bin", "notes.bin.xml"}) {
        const std::string info = server.info(std::string("/p/q/") + name);
        EXPECT_NE(info.find("\"sha256\": \"" + test_support::sha256OfFile(output_ + "/" + name) + "\""),
                  std::string::npos)
            << name << ": " << info;
    }
    EXPECT_NE(server.info("/hsmessaging/rest").find("\"posts\": 0"), std::string::npos);

    const std::string first = test_support::sha256OfFile(output_ + "/packager.sqfs");
    ASSERT_EQ(generate({"--version", "2.3.4.5", "--prefix", "/p/q"}), 0);
    EXPECT_EQ(test_support::sha256OfFile(output_ + "/packager.sqfs"), first);
}

// Random bytes are drawn in pieces (one draw is limited to 256 MiB): pieces that end inside the
// padding and the notes, with sizes that end inside a 32-bit word, give the very bytes one
// draw gives.
TEST_F(SampleProductTest, PaddingAndNotesDrawnInPiecesAreTheBytesOfOneDraw) {
    const std::vector<std::string> sizes = {"--padding-size", "300001", "--notes-size", "150003"};
    ASSERT_EQ(generate(sizes), 0);
    const std::string image = test_support::sha256OfFile(output_ + "/packager.sqfs");
    const std::string notes = test_support::sha256OfFile(output_ + "/notes.bin");
    std::vector<std::string> inPieces = sizes;
    inPieces.insert(inPieces.end(), {"--piece-size", "4100"});
    ASSERT_EQ(generate(inPieces), 0);
    EXPECT_EQ(test_support::sha256OfFile(output_ + "/packager.sqfs"), image);
    EXPECT_EQ(test_support::sha256OfFile(output_ + "/notes.bin"), notes);
    EXPECT_EQ(fs::file_size(output_ + "/notes.bin"), 150003u);
    const std::string unpacked = unpack();
    ASSERT_FALSE(unpacked.empty());
    EXPECT_EQ(fs::file_size(unpacked + "/Payload/padding.bin"), 300001u);
}

// The installer writes its arguments byte for byte, makes the folder, and replaces an existing
// packager; the installed packager records its own arguments.
TEST_F(SampleProductTest, InstallerRecordsItsArgumentsAndReplacesThePackager) {
    ASSERT_EQ(generate({}), 0);
    const std::string image = unpack();
    ASSERT_FALSE(image.empty());
    EXPECT_TRUE(fs::is_symlink(image + "/Installer/escape"));
    EXPECT_EQ(fs::read_symlink(image + "/Installer/escape"), "/bin/true");
    EXPECT_EQ(access((image + "/Installer/readme.txt").c_str(), X_OK), -1);

    std::vector<std::string> arguments = kDefaultArguments;
    arguments.insert(arguments.end(), {"", "line\nbreak", "--sessionId=S", "--userId=U"});
    ASSERT_FALSE(fs::exists(env_.localRoot() + "/Applications"));
    ASSERT_EQ(install(image, arguments), 0);
    EXPECT_EQ(readFile(installed() + "/installer-arguments"), joinedWithNul(arguments));
    EXPECT_EQ(readFile(installed() + "/MSP/version.xml"), readFile(output_ + "/version.xml"));

    // A second install replaces the folder instead of copying into it.
    std::ofstream(installed() + "/MSP/stale.txt") << "left from before";
    ASSERT_EQ(install(image, {"again"}), 0);
    EXPECT_FALSE(fs::exists(installed() + "/MSP/stale.txt"));
    EXPECT_EQ(readFile(installed() + "/installer-arguments"), joinedWithNul({"again"}));

    int status = -1;
    ASSERT_TRUE(platform::runProcess(
        installed() + "/MSP/MorvaneStudioPackager.app/Contents/MacOS/MorvaneStudioPackager", {"a b", ""}, status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(installed() + "/MSP/launched"), joinedWithNul({"a b", ""}));
}

// From another working folder the installer finds no payload and fails, installing nothing.
TEST_F(SampleProductTest, InstallerFailsFromAnotherWorkingFolder) {
    ASSERT_EQ(generate({}), 0);
    const std::string image = unpack();
    ASSERT_FALSE(image.empty());
    EXPECT_NE(install(image, {"x"}, image), 0);
    EXPECT_EQ(readFile(installed() + "/installer-arguments"), joinedWithNul({"x"}));
    EXPECT_FALSE(fs::exists(installed() + "/MSP"));
}

// --installer-exit and --installer-signal are baked into the image: the status after the
// arguments are written, nothing installed.
TEST_F(SampleProductTest, InstallerOutcomesAreBakedIntoTheImage) {
    const struct {
        std::vector<std::string> options;
        int status;
    } cases[] = {
        {{"--installer-exit", "3"}, 3},
        {{"--installer-exit", "10"}, 10},
        {{"--installer-signal", "9"}, 128 + SIGKILL},
        {{"--installer-signal", "15"}, 128 + SIGTERM},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options[0] + " " + c.options[1]);
        fs::remove_all(installed());
        ASSERT_EQ(generate(c.options), 0);
        const std::string image = unpack();
        ASSERT_FALSE(image.empty());
        EXPECT_EQ(install(image, {"--sessionId=S"}), c.status);
        EXPECT_EQ(readFile(installed() + "/installer-arguments"), joinedWithNul({"--sessionId=S"}));
        EXPECT_FALSE(fs::exists(installed() + "/MSP"));
    }
}

// While the gate file exists the installer waits after writing its arguments.
TEST_F(SampleProductTest, GateFileHoldsTheInstallerAfterItsArguments) {
    ASSERT_EQ(generate({}), 0);
    const std::string image = unpack();
    ASSERT_FALSE(image.empty());
    const std::string gate = env_.base() + "/gate";
    std::ofstream(gate) << "";
    setenv("SAMPLE_INSTALLER_GATE", gate.c_str(), 1);
    pid_t pid = -1;
    platform::ProcessOptions options;
    options.workingFolder = image + "/Installer";
    const bool started = platform::startProcess(image + "/Installer/install", {"held"}, pid, options);
    unsetenv("SAMPLE_INSTALLER_GATE");
    ASSERT_TRUE(started);

    const std::string arguments = installed() + "/installer-arguments";
    for (int i = 0; i < 2000 && !fs::exists(arguments); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fs::exists(arguments));
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the installer did not wait at the gate";
    EXPECT_FALSE(fs::exists(installed() + "/MSP"));

    fs::remove(gate);
    EXPECT_EQ(platform::waitForProcess(pid), 0);
    EXPECT_TRUE(fs::exists(installed() + "/MSP/version.xml"));
}

// --resources writes what a run reads from its bundle: the system check, the product
// information and an English string table.
TEST_F(SampleProductTest, ResourcesForARun) {
    const std::string resources = env_.base() + "/resources";
    const struct {
        std::vector<std::string> options;
        const char* major;  // nullptr: the file must not load
        const char* minor;
        const char* bugFix;
    } cases[] = {
        {{}, "10", "7", "0"},
        {{"--system-check", "above"}, "99", "0", "0"},
        {{"--required-os", "10.15.2"}, "10", "15", "2"},
        {{"--system-check", "unloadable"}, nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        std::vector<std::string> options = {
            "--resources", resources, "--base-url", "http://127.0.0.1:9/product", "--stringtable", kStringTableTool};
        options.insert(options.end(), c.options.begin(), c.options.end());
        ASSERT_EQ(generate(options), 0);
        pugi::xml_document check;
        const bool loaded = check.load_file((resources + "/systemCheck.xml").c_str());
        ASSERT_EQ(loaded, c.major != nullptr);
        if (!loaded) continue;
        EXPECT_EQ(text(check, "//SystemCheck/checks/os_version/major"), c.major);
        EXPECT_EQ(text(check, "//SystemCheck/checks/os_version/minor"), c.minor);
        EXPECT_EQ(text(check, "//SystemCheck/checks/os_version/service_pack"), c.bugFix);
    }
    pugi::xml_document product;
    ASSERT_TRUE(product.load_file((resources + "/productInfo.xml").c_str()));
    EXPECT_EQ(text(product, "//product_info/zameeurl"), "http://127.0.0.1:9/product/manifest.xml");

    const auto lookup = [&](const char* keyString) {
        quirra_private::ZStringDictionary dictionary;
        std::ifstream in(resources + "/Dictionary/en_US/stringTable.zdct", std::ios::binary);
        dictionary.load(in);
        return std::u16string(dictionary.lookup(keyString, nullptr).view());
    };
    EXPECT_EQ(lookup("$$$/ZOR/DownloadingZAM=not in the table"), u"Downloading Morvane Studio Packager");

    const std::string strings = env_.base() + "/strings.txt";
    std::ofstream(strings) << "$$$/ZOR/QuitButton=Leave\n";
    ASSERT_EQ(generate({"--resources", resources, "--base-url", "http://h/p", "--stringtable", kStringTableTool,
                        "--strings", strings}),
              0);
    EXPECT_EQ(lookup("$$$/ZOR/QuitButton=&Quit"), u"Leave");
    EXPECT_EQ(lookup("$$$/ZOR/DownloadingZAM=not in the table"), u"not in the table");
}

// Refused options and a missing tool: a message, a failure status and no product written.
TEST_F(SampleProductTest, RefusalsWriteNothing) {
    const struct {
        std::vector<std::string> options;
        int status;
        const char* message;
    } cases[] = {
        {{"--installer-exit", "3", "--installer-signal", "9"}, 2, "exclude each other"},
        {{"--installer-exit", "256"}, 2, "0..255"},
        {{"--installer-signal", "0"}, 2, "not a signal number"},
        {{"--installer-signal", "19"}, 2, "does not end a process"},
        {{"--resources", "/nowhere"}, 2, "go together"},
        {{"--segment-size", "0"}, 2, "above 0"},
        {{"--piece-size", "4099"}, 2, "multiple of 4"},
        {{"--prefix", "product"}, 2, "--prefix"},
        {{"--required-os", "10.7"}, 2, "MAJOR.MINOR.BUGFIX"},
        {{"--mksquashfs", "/nonexistent/mksquashfs"}, 1, "mksquashfs not found"},
        {{"--resources", env_.base() + "/unused", "--base-url", "http://h/p", "--stringtable", "/nonexistent"},
         1,
         "stringtable not found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options[0]);
        fs::remove_all(output_);
        std::string messages;
        EXPECT_EQ(generate(c.options, &messages), c.status);
        EXPECT_NE(messages.find(c.message), std::string::npos) << messages;
        EXPECT_FALSE(fs::exists(output_));
    }
}

}  // namespace
