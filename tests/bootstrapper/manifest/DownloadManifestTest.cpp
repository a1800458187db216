// The download manifest end to end against the loopback test server serving the sample product.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bootstrapper/manifest/AssetFactory.h"
#include "bootstrapper/manifest/DMGAsset.h"
#include "bootstrapper/manifest/DownloadManifest.h"
#include "bootstrapper/support/ErrorMessages.h"
#include "bootstrapper/support/ZORUtils.h"
#include "foundation/utils/FileUtils.h"
#include "foundation/utils/XMLParser.h"
#include "platform/DiskImageTool.h"
#include "platform/MountTable.h"
#include "platform/ProcessLauncher.h"
#include "tests/download/EngineTestSupport.h"
#include "tests/support/FileContents.h"
#include "tests/support/LogFacadeHome.h"
#include "tests/support/RecordingLogTarget.h"

namespace {

namespace fs = std::filesystem;

const std::string kTool = DISK_IMAGE_TOOL;
const std::string kGenerator = SAMPLE_PRODUCT_TOOL;
const uint64_t kImageSize = 303104;  // the generator's default image
const uint64_t kNotesSize = 150000;
const std::vector<std::string> kSessionArguments = {"--sessionId=S", "--userId=U"};

using test_support::readFile;
using test_support::namesIn;

bool exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// A number the server's JSON gives for a key, -1 when absent.
long long jsonNumber(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\"");
    if (at == std::string::npos) return -1;
    size_t position = json.find(':', at) + 1;
    while (position < json.size() && json[position] == ' ') ++position;
    return std::atoll(json.c_str() + position);
}

// How many logged requests for the path asked for a range starting at first.
int rangeRequests(const std::string& log, const std::string& path, uint64_t first) {
    int count = 0;
    const std::string wantedPath = "\"path\": \"" + path + "\"";
    const std::string wantedRange = "bytes=" + std::to_string(first) + "-";
    size_t start = log.find("{\"id\"");
    while (start != std::string::npos) {
        const size_t next = log.find("{\"id\"", start + 1);
        const std::string entry = log.substr(start, next == std::string::npos ? std::string::npos : next - start);
        if (entry.find(wantedPath) != std::string::npos && entry.find(wantedRange) != std::string::npos &&
            entry.find("\"GET\"") != std::string::npos)
            ++count;
        start = next;
    }
    return count;
}

std::string toolInfo() {
    std::string output;
    int status = -1;
    platform::runProcessCapturingOutput(kTool, {"info", "-plist"}, output, status);
    return output;
}

bool loopDeviceBacks(const std::string& image) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/sys/block", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("loop", 0) != 0) continue;
        const auto backing = platform::loopBackingFile("/dev/" + name);
        if (backing && fs::path(*backing).lexically_normal() == fs::path(image).lexically_normal()) return true;
    }
    return false;
}

class DownloadManifestTest : public testing::Test {
protected:
    void SetUp() override {
        setenv(platform::kDiskImageToolVariable, kTool.c_str(), 1);
        assets = environment.base() + "/assets";
        metadata = environment.base() + "/meta";
        fs::create_directories(assets);
        fs::create_directories(metadata);
        if (!exists("/usr/bin/mksquashfs")) GTEST_SKIP() << "mksquashfs is not installed";
        product = makeProduct("product", {});
    }
    void TearDown() override { unsetenv(platform::kDiskImageToolVariable); }

    std::string makeProduct(const std::string& name, const std::vector<std::string>& options) {
        const std::string folder = environment.base() + "/" + name;
        std::vector<std::string> arguments = {kGenerator, folder};
        arguments.insert(arguments.end(), options.begin(), options.end());
        std::string output;
        int status = -1;
        EXPECT_TRUE(platform::runProcessCapturingOutput("/usr/bin/python3", arguments, output, status));
        EXPECT_EQ(status, 0) << output;
        return folder;
    }
    std::unique_ptr<test_support::HttpTestServer> serverFor(const std::string& folder) {
        test_support::HttpTestServer::Options options;
        options.configFile = folder + "/scenarios.json";
        return std::make_unique<test_support::HttpTestServer>(options);
    }
    std::unique_ptr<DownloadManifest> manifestFor(test_support::HttpTestServer& server) {
        auto manifest = std::make_unique<DownloadManifest>();
        manifest->setManifestURL(server.url("/product/manifest.xml"), "");
        manifest->setDownloadFolders(assets, metadata);
        manifest->setProxyCredentials("", "", false);
        manifest->setInstallerArguments(kSessionArguments);
        return manifest;
    }
    // Steps as the worker does until all assets are done or a step fails (then false).
    bool run(DownloadManifest& manifest, const std::function<void()>& eachStep = {}) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (manifest.getState() != kAllAssetsDone) {
            if (!manifest.continueDownload()) return false;
            if (eachStep) eachStep();
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "no end in state " << manifest.getState();
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    // Steps until the condition holds; false when a step fails first.
    bool stepUntil(DownloadManifest& manifest, const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!condition()) {
            if (!manifest.continueDownload() || std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    // The image served from the product, with extra scenario keys.
    std::string imageScenario(const std::string& keys) const {
        return R"({"path":"/product/packager.sqfs","body_file":")" + product + R"(/packager.sqfs",)" + keys + "}";
    }
    // Steps until the image's transfer has written bytes.
    bool stepIntoTheImage(DownloadManifest& manifest) {
        return stepUntil(manifest, [&] {
            return manifest.getState() == kAssetDownloading && manifest.getDownloader().getBytesDownloaded() > 0;
        });
    }
    // After a retried image: the whole file at its own path, no second copy, the product installed.
    void expectOneWholeImageInstalled() {
        EXPECT_EQ(readFile(assets + "/packager.sqfs"), readFile(product + "/packager.sqfs"));
        EXPECT_EQ(namesIn(assets), (std::vector<std::string>{"notes.bin", "packager.sqfs"})) << "one copy, same path";
        EXPECT_TRUE(fs::is_directory(installedFolder() + "/MSP"));
    }
    std::string installedFolder() {
        std::string folder;
        EXPECT_TRUE(ZEZUUtils::FileUtils::GetDirectoryPath(24, folder));
        std::string text = fs::path(folder).lexically_normal().string();
        while (text.size() > 1 && text.back() == '/') text.pop_back();
        return text;
    }
    // The XML of the product's disk-image asset, the manifest's first; "" when it cannot be read.
    std::string imageAssetText() {
        ZEZUUtils::XMLParser parser;
        std::string text;
        if (!parser.initWithXMLPath(product + "/manifest.xml")) return "";
        void* list = parser.getNodeListForXQuery("//manifest/asset_list/asset", nullptr);
        if (list == nullptr || !parser.getXMLStringOfNode(parser.getNodeAtIndexFromNodeList(list, 0), text)) return "";
        return text;
    }
    // Nothing installed, downloaded or saved by an earlier case.
    void startAfresh() {
        test_support::removeTree(installedFolder());
        test_support::removeTree(assets);
        test_support::removeTree(metadata);
        fs::create_directories(assets);
        fs::create_directories(metadata);
    }
    // The disk-image cases need a user that may mount.
    bool cannotMount() {
        const std::string point = environment.base() + "/probe-mount";
        std::string output;
        int status = -1;
        platform::runProcessCapturingOutput(
            kTool, {"attach", product + "/packager.sqfs", "-readonly", "-quiet", "-mountpoint", point}, output, status);
        if (status == 0) {
            ZEZUUtils::FileUtils::UnmountDmgAtPath(point);
            return false;
        }
        return geteuid() != 0;
    }
    std::string expectedInstallerArguments(const std::vector<std::string>& own) {
        std::string bytes;
        for (const std::string& argument : own) bytes += argument + '\0';
        for (const std::string& argument : kSessionArguments) bytes += argument + '\0';
        return bytes;
    }

    test_support::TemporaryEnvironment environment;
    engine_test::ShortEngineTimings timings;
    test_support::RecordingLogTarget log;
    std::string assets;
    std::string metadata;
    std::string product;
};

TEST_F(DownloadManifestTest, BothAssetsInstallAndCleanUp) {
    if (cannotMount()) GTEST_SKIP() << "this user cannot mount images here";
    auto server = serverFor(product);
    auto manifest = manifestFor(*server);
    EXPECT_EQ(manifest->getProgressPercent(), -1.0f);
    std::vector<float> progress;
    bool unknownWhileManifest = true;
    ASSERT_TRUE(run(*manifest, [&] {
        const float percent = manifest->getProgressPercent();
        if (manifest->getState() == kManifestDownloading && percent != -1.0f) unknownWhileManifest = false;
        if (percent >= 0) progress.push_back(percent);
    }));
    EXPECT_TRUE(unknownWhileManifest) << "no total before the manifest is read";
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    ASSERT_FALSE(progress.empty());
    EXPECT_LE(progress.back(), 100.0f);
    EXPECT_EQ(manifest->getTotalBytes(), kImageSize + kNotesSize);
    EXPECT_EQ(manifest->getBytesDone(), kImageSize + kNotesSize);
    EXPECT_EQ(manifest->getAssetCount(), 2u);
    EXPECT_EQ(manifest->getManifestVersion(), "1.0");
    EXPECT_TRUE(manifest->continueDownload()) << "after the end a step does nothing";
    EXPECT_EQ(manifest->getState(), kAllAssetsDone);
    bool fatal = true;
    EXPECT_FALSE(manifest->isFatalError(fatal));

    const std::string installed = installedFolder();
    EXPECT_TRUE(fs::is_directory(installed + "/MSP"));
    EXPECT_TRUE(exists(installed + "/MSP/MorvaneStudioPackager.app/Contents/MacOS/MorvaneStudioPackager"));
    EXPECT_EQ(readFile(installed + "/installer-arguments"),
              expectedInstallerArguments({"--mode=silent", "two words \"quoted\" $HOME;$(id)"}));
    EXPECT_EQ(readFile(assets + "/notes.bin"), readFile(product + "/notes.bin"));
    const std::string image = assets + "/packager.sqfs";
    EXPECT_EQ(readFile(image), readFile(product + "/packager.sqfs"));
    EXPECT_NE(toolInfo().find(image), std::string::npos) << "mounted while the manifest lives";

    manifest.reset();
    EXPECT_EQ(toolInfo().find(image), std::string::npos);
    EXPECT_FALSE(exists(environment.mountRoot()));
    EXPECT_FALSE(loopDeviceBacks(image));
    EXPECT_FALSE(exists(image));
    EXPECT_TRUE(exists(assets + "/notes.bin")) << "a plain asset leaves its file";
    EXPECT_FALSE(log.contains(zezu::WARN, "mount folder"));
}

TEST_F(DownloadManifestTest, SegmentCorruptOnceIsFetchedAgain) {
    if (cannotMount()) GTEST_SKIP() << "this user cannot mount images here";
    auto server = serverFor(product);
    server->setScenario(R"({"path":"/product/packager.sqfs","body_file":")" + product +
                        R"(/packager.sqfs","etag":"\"v1\"","faults":[{"kind":"corrupt","offset":70000,"times":1}]})");
    auto manifest = manifestFor(*server);
    ASSERT_TRUE(run(*manifest));
    EXPECT_EQ(rangeRequests(server->requestLog(), "/product/packager.sqfs", 65536), 2);
    EXPECT_TRUE(log.contains(zezu::ERROR, "Segment 1 of size 65536 is Invalid"));
    EXPECT_TRUE(fs::is_directory(installedFolder() + "/MSP"));
}

TEST_F(DownloadManifestTest, SegmentCorruptForGoodFailsTheStep) {
    auto server = serverFor(product);
    server->setScenario(R"({"path":"/product/packager.sqfs","body_file":")" + product +
                        R"(/packager.sqfs","etag":"\"v1\"","faults":[{"kind":"corrupt","offset":70000,"times":-1}]})");
    auto manifest = manifestFor(*server);
    EXPECT_FALSE(run(*manifest));
    EXPECT_EQ(manifest->getState(), kAssetDownloading);
    EXPECT_EQ(manifest->getErrorType(), -60);
    bool fatal = false;
    EXPECT_TRUE(manifest->isFatalError(fatal));
    EXPECT_TRUE(fatal);
    EXPECT_TRUE(log.contains(zezu::WARN, "Asset file could not be downloaded"));

    ZORUtils utils;
    std::string text;
    int errorType = manifest->getErrorType();
    int code = manifest->getExtendedErrorCode();
    bool resolvedFatal = false;
    bool link = false;
    resolveDownloadError(text, errorType, code, utils.dictionaryHandle(), resolvedFatal, link);
    EXPECT_NE(text.find("A12E5"), std::string::npos) << text;
    EXPECT_TRUE(resolvedFatal);
    EXPECT_FALSE(exists(installedFolder() + "/MSP"));
    EXPECT_FALSE(exists(installedFolder() + "/installer-arguments"));
}

// A server that ignores ranges sends the image as one stream; its pieces are still checked
// segment by segment, and a rejected one restarts the stream.
TEST_F(DownloadManifestTest, ServerWithoutRangesStillChecksEverySegment) {
    const struct {
        const char* name;
        const char* keys;
        int rejected;
    } cases[] = {
        {"whole", R"("ranges":false)", 0},
        // The range probe, answered whole, lets the fault through first.
        {"corrupt once", R"("ranges":false,"faults":[{"kind":"corrupt","offset":70000,"times":1,"skip":1}])", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        test_support::removeTree(assets);
        test_support::removeTree(metadata);
        fs::create_directories(assets);
        fs::create_directories(metadata);
        auto server = serverFor(product);
        server->setScenario(R"({"path":"/product/packager.sqfs","body_file":")" + product +
                            R"(/packager.sqfs","etag":"\"v1\"",)" + c.keys + "}");
        auto manifest = manifestFor(*server);
        ASSERT_TRUE(stepUntil(*manifest, [&] { return manifest->getState() == kRunningActions; }));
        EXPECT_EQ(readFile(assets + "/packager.sqfs"), readFile(product + "/packager.sqfs"));
        EXPECT_EQ(manifest->getBytesDone(), kImageSize);
        EXPECT_EQ(log.countContaining(zezu::ERROR, "Segment 1 of size 65536 is Invalid"), c.rejected);
        EXPECT_EQ(rangeRequests(server->requestLog(), "/product/packager.sqfs", 65536), 0) << "one stream";
    }
}

// A server that ignores ranges and sends the image without a length, its body ending where it
// closes: a stream cut short, at a segment's end or inside one, is a dropped one and fetched again;
// cut for good it fails the step. Never is a short file the asset, whether the HEAD gave the
// length or not.
TEST_F(DownloadManifestTest, StreamCutShortIsNeverTheAsset) {
    const bool mountable = !cannotMount();
    const uint64_t boundary = 3 * 65536;
    const struct {
        const char* name;
        bool sizedHead;
        uint64_t cut;
        int times;  // -1: every stream is cut
    } cases[] = {
        {"at a segment's end once, sized HEAD", true, boundary, 1},
        {"inside a segment once, sized HEAD", true, boundary + 3000, 1},
        {"at a segment's end for good, sized HEAD", true, boundary, -1},
        {"at a segment's end once, no length anywhere", false, boundary, 1},
        {"inside a segment once, no length anywhere", false, boundary + 3000, 1},
        {"at a segment's end for good, no length anywhere", false, boundary, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        startAfresh();
        auto server = serverFor(product);
        // A sized HEAD brings the range probe, which the fault lets through.
        std::string faults = R"({"kind":"close_delimited","after_bytes":)" + std::to_string(c.cut) + R"(,"times":)" +
                             std::to_string(c.times) + (c.sizedHead ? R"(,"skip":1})" : "}");
        if (!c.sizedHead) faults += R"(,{"kind":"close_delimited","methods":["HEAD"],"times":-1})";
        server->setScenario(imageScenario(R"("etag":"\"v1\"","ranges":false,"faults":[)" + faults + "]"));
        auto manifest = manifestFor(*server);
        const bool downloaded = stepUntil(*manifest, [&] { return manifest->getState() >= kRunningActions; });
        const std::string image = assets + "/packager.sqfs";
        if (c.times == 1) {
            EXPECT_TRUE(downloaded);
            EXPECT_TRUE(readFile(image) == readFile(product + "/packager.sqfs")) << "the image arrives whole";
            EXPECT_EQ(manifest->getBytesDone(), kImageSize);
            EXPECT_EQ(jsonNumber(server->info("/product/packager.sqfs"), "pending"), 0) << "the stream was cut";
            if (downloaded && mountable) {
                EXPECT_TRUE(run(*manifest));
                EXPECT_TRUE(fs::is_directory(installedFolder() + "/MSP"));
            }
        } else {
            EXPECT_FALSE(downloaded);
            EXPECT_EQ(manifest->getState(), kAssetDownloading);
            bool fatal = true;
            EXPECT_TRUE(manifest->isFatalError(fatal));
            EXPECT_EQ(manifest->getBytesDone(), 0u);
            EXPECT_FALSE(exists(image)) << "no short file where the asset belongs";
            EXPECT_FALSE(manifest->continueDownload() && manifest->getState() > kAssetDownloading);
            EXPECT_FALSE(exists(installedFolder() + "/MSP"));
            EXPECT_FALSE(exists(installedFolder() + "/installer-arguments"));
        }
    }
}

// A stream that goes on past the asset's size is another file: the run fails at once, with
// no segment rejected and refetched first, and nothing is left where the asset belongs.
TEST_F(DownloadManifestTest, StreamLongerThanTheAssetIsNeverTheAsset) {
    auto server = serverFor(product);
    const std::string longer = environment.base() + "/longer.sqfs";
    ASSERT_TRUE(test_support::writeFile(longer, readFile(product + "/packager.sqfs") + std::string(100000, 'x')));
    server->setScenario(R"({"path":"/product/packager.sqfs","body_file":")" + longer +
                        R"(","etag":"\"v1\"","ranges":false,"faults":[)"
                        R"({"kind":"close_delimited","methods":["HEAD","GET"],"times":-1}]})");
    auto manifest = manifestFor(*server);
    EXPECT_FALSE(stepUntil(*manifest, [&] { return manifest->getState() >= kRunningActions; }));
    EXPECT_EQ(manifest->getState(), kAssetDownloading);
    bool fatal = false;
    EXPECT_TRUE(manifest->isFatalError(fatal));
    EXPECT_TRUE(fatal);
    // The size probe, the one stream and the ETag asked after the failure.
    EXPECT_LE(jsonNumber(server->info("/product/packager.sqfs"), "requests"), 3) << "the stream was fetched again";
    EXPECT_FALSE(exists(assets + "/packager.sqfs"));
    EXPECT_FALSE(exists(installedFolder() + "/MSP"));
}

TEST_F(DownloadManifestTest, InvalidManifestsAreRefused) {
    const std::string original = readFile(product + "/manifest.xml");
    const std::string binary = "<asset_type>BINARY</asset_type>\n      <sequence_no>2</sequence_no>";
    const size_t listStart = original.find("<asset_list>");
    const size_t listEnd = original.find("</asset_list>");
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"unparsable", original.substr(0, original.size() / 2)},
        {"no version", replaced(original, "<version>1.0</version>", "")},
        {"empty version", replaced(original, "<version>1.0</version>", "<version></version>")},
        {"no asset node", original.substr(0, listStart) + "<asset_list></asset_list>" + original.substr(listEnd + 13)},
        {"unknown asset type", replaced(original, "<asset_type>BINARY</asset_type>", "<asset_type>ZIP</asset_type>")},
        {"asset size 0", replaced(original, "<asset_size>150000</asset_size>", "<asset_size>0</asset_size>")},
        {"asset size not a number",
         replaced(original, "<asset_size>150000</asset_size>", "<asset_size>x</asset_size>")},
        {"sizes adding up beyond 64 bits",
         replaced(original, "<asset_size>150000</asset_size>", "<asset_size>18446744073709551615</asset_size>")},
        {"duplicate sequence numbers",
         replaced(original, binary, "<asset_type>BINARY</asset_type>\n      <sequence_no>1</sequence_no>")},
        {"duplicate action numbers", replaced(original, "<type>msp</type>\n          <sequence_no>2</sequence_no>",
                                              "<type>msp</type>\n          <sequence_no>1</sequence_no>")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        auto server = serverFor(product);
        const std::string body = environment.base() + "/bad-manifest.xml";
        std::ofstream(body, std::ios::binary) << c.text;
        server->setScenario(R"({"path":"/product/manifest.xml","body_file":")" + body + R"(","etag":"\"bad\""})");
        auto manifest = manifestFor(*server);
        EXPECT_FALSE(run(*manifest));
        EXPECT_EQ(manifest->getState(), kManifestDownloading);
        bool fatal = false;
        EXPECT_TRUE(manifest->isFatalError(fatal));
        EXPECT_TRUE(fatal);
        EXPECT_TRUE(log.contains(zezu::WARN, "Manifest file is invalid"));
        EXPECT_EQ(manifest->getAssetCount(), 0u);
        EXPECT_EQ(manifest->getTotalBytes(), 0u);
        EXPECT_EQ(jsonNumber(server->info("/product/packager.sqfs.xml"), "requests"), 0);
    }
}

TEST_F(DownloadManifestTest, SavedManifestReadsAsTheDownloadedOne) {
    DownloadManifest manifest;
    ASSERT_TRUE(manifest.readManifestFile(product + "/manifest.xml"));
    EXPECT_EQ(manifest.getManifestVersion(), "1.0");
    EXPECT_EQ(manifest.getAssetCount(), 2u);
    EXPECT_EQ(manifest.getTotalBytes(),
              fs::file_size(product + "/packager.sqfs") + fs::file_size(product + "/notes.bin"));
    EXPECT_EQ(manifest.getCurrentAsset(), nullptr);

    // A refused file leaves nothing of the one read before it.
    const std::string damaged = environment.base() + "/damaged-manifest.xml";
    std::ofstream(damaged, std::ios::binary)
        << replaced(readFile(product + "/manifest.xml"), "<asset_size>150000</asset_size>",
                    "<asset_size>18446744073709551615</asset_size>");
    EXPECT_FALSE(manifest.readManifestFile(damaged));
    EXPECT_EQ(manifest.getAssetCount(), 0u);
    EXPECT_EQ(manifest.getTotalBytes(), 0u);
    EXPECT_FALSE(manifest.readManifestFile(environment.base() + "/missing.xml"));
}

TEST_F(DownloadManifestTest, InvalidValidationFilesStopBeforeTheAsset) {
    ValidatorFactory factory;
    std::unique_ptr<ValidatorBase> real = factory.create(product + "/packager.sqfs.xml");
    ASSERT_TRUE(real);
    const auto& signatures = real->getSignatures();
    ASSERT_EQ(signatures.size(), 5u);
    // A validation file of the image: segment size, count, last size and (number, signature) pairs.
    struct Numbered {
        std::string number;
        std::string signature;
    };
    const auto text = [](const std::string& algorithm, const std::string& size, const std::string& count,
                         const std::string& last, const std::vector<Numbered>& segments) {
        std::ostringstream out;
        out << "<validationInfo><segmentSize>" << size << "</segmentSize><version>1.0</version><algorithm>" << algorithm
            << "</algorithm><segmentCount>" << count << "</segmentCount><lastSegmentSize>" << last
            << "</lastSegmentSize><segments>";
        for (const Numbered& s : segments) {
            out << "<segment";
            if (!s.number.empty()) out << " segmentNumber=\"" << s.number << "\"";
            out << (s.signature.empty() ? "/>" : ">" + s.signature + "</segment>");
        }
        out << "</segments></validationInfo>";
        return out.str();
    };
    const auto segments = [&](std::vector<std::string> numbers) {
        std::vector<Numbered> list;
        for (size_t i = 0; i < numbers.size(); ++i)
            list.push_back({numbers[i], signatures.at(static_cast<uint32_t>(i))});
        return list;
    };
    const std::vector<std::string> good = {"1", "2", "3", "4", "5"};
    std::vector<Numbered> emptyLast = segments(good);
    emptyLast.back().signature.clear();
    const struct {
        const char* name;
        std::string body;
        const char* warning;
    } cases[] = {
        {"unknown algorithm", text("TYPE2", "65536", "5", "40960", segments(good)),
         "Validation data for asset sequence number 1 could not be initialized"},
        {"segment size 65535", text("TYPE1", "65535", "5", "40964", segments(good)), "could not be initialized"},
        {"segment size 4194305", text("TYPE1", "4194305", "1", "303104", segments({"1"})), "could not be initialized"},
        {"count mismatch", text("TYPE1", "65536", "6", "40960", segments(good)), "could not be initialized"},
        {"duplicate number", text("TYPE1", "65536", "5", "40960", segments({"1", "1", "3", "4", "5"})),
         "could not be initialized"},
        {"missing number", text("TYPE1", "65536", "5", "40960", segments({"1", "2", "", "4", "5"})),
         "could not be initialized"},
        {"out of range number", text("TYPE1", "65536", "5", "40960", segments({"1", "2", "3", "4", "9"})),
         "could not be initialized"},
        {"number -1", text("TYPE1", "65536", "5", "40960", segments({"1", "2", "3", "-1", "5"})),
         "could not be initialized"},
        {"empty segment", text("TYPE1", "65536", "5", "40960", emptyLast), "could not be initialized"},
        {"total unlike the asset size", text("TYPE1", "65536", "5", "40959", segments(good)),
         "The size of asset does not match with the size in the validator"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        auto server = serverFor(product);
        const std::string body = environment.base() + "/bad-validation.xml";
        std::ofstream(body, std::ios::binary) << c.body;
        server->setScenario(R"({"path":"/product/packager.sqfs.xml","body_file":")" + body + R"(","etag":"\"bad\""})");
        auto manifest = manifestFor(*server);
        EXPECT_FALSE(run(*manifest));
        EXPECT_EQ(manifest->getState(), kValidationDownloading);
        bool fatal = false;
        EXPECT_TRUE(manifest->isFatalError(fatal));
        EXPECT_TRUE(fatal);
        EXPECT_TRUE(log.contains(zezu::WARN, c.warning) || log.contains(zezu::FATAL, c.warning));
        EXPECT_EQ(jsonNumber(server->info("/product/packager.sqfs"), "requests"), 0) << "no asset body served";
    }
}

TEST_F(DownloadManifestTest, AssetOfAnotherLengthIsRefused) {
    auto server = serverFor(product);
    server->setScenario(R"({"path":"/product/packager.sqfs","body":"far too short","etag":"\"short\""})");
    auto manifest = manifestFor(*server);
    EXPECT_FALSE(run(*manifest));
    bool fatal = false;
    EXPECT_TRUE(manifest->isFatalError(fatal));
    EXPECT_TRUE(fatal);
    EXPECT_TRUE(log.contains(zezu::WARN, "Remote file size is not same as the expected size of the file."));
    EXPECT_EQ(manifest->getDownloader().getStatus(), kDownloaderIdle) << "the client is closed";
    EXPECT_FALSE(manifest->getDownloader().isStarted());
    EXPECT_EQ(manifest->getErrorType(), 0) << "no engine error to show";
    EXPECT_FALSE(manifest->continueDownload() && manifest->getState() > kAssetDownloading);
}

TEST_F(DownloadManifestTest, InstallerOutcomes) {
    if (cannotMount()) GTEST_SKIP() << "this user cannot mount images here";
    const std::vector<std::string> ownArguments = {"--mode=silent", "two words \"quoted\" $HOME;$(id)"};
    const struct {
        const char* name;
        std::vector<std::string> options;
        int32_t result;  // 0: the install succeeds
        const char* textPart;
        bool ran;  // the installer wrote its arguments
    } cases[] = {
        {"exit 0", {}, 0, nullptr, true},
        {"exit 3", {"--installer-exit", "3"}, 3, "A12E1", true},
        {"exit 10", {"--installer-exit", "10"}, 10, "failed to install", true},
        {"killed", {"--installer-signal", "9"}, 128 + 9, "A12E1", true},
        {"missing", {"--executable", "/Installer/missing"}, 1, nullptr, false},
        {"parent component", {"--executable", "/Installer/../../x"}, 1, nullptr, false},
        {"link out of the image", {"--executable", "/Installer/escape"}, 1, nullptr, false},
        {"not executable", {"--executable", "/Installer/readme.txt"}, 2, nullptr, false},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        const std::string installed = installedFolder();
        test_support::removeTree(installed);
        test_support::removeTree(assets);
        test_support::removeTree(metadata);
        fs::create_directories(assets);
        fs::create_directories(metadata);
        const std::string folder = makeProduct("variant" + std::to_string(index++), c.options);
        auto server = serverFor(folder);
        auto manifest = manifestFor(*server);
        const bool ok = stepUntil(*manifest, [&] { return manifest->getState() >= kActionsDone; });
        int32_t type = -1;
        int32_t result = -1;
        manifest->getLastActionInfo(type, result);
        if (c.result == 0) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(manifest->getState(), kActionsDone);
            EXPECT_TRUE(fs::is_directory(installed + "/MSP"));
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(manifest->getState(), kRunningActions);
            bool fatal = false;
            EXPECT_TRUE(manifest->isFatalError(fatal));
            EXPECT_TRUE(fatal);
            EXPECT_EQ(type, static_cast<int32_t>(kInstallActionType));
            EXPECT_EQ(result, c.result);
            EXPECT_FALSE(exists(installed + "/MSP"));
            ZORUtils utils;
            std::string text;
            int actionType = type;
            int code = result;
            bool link = false;
            int supportCalls = 0;
            resolveInstallError(text, actionType, code, utils.dictionaryHandle(), link, [&] { ++supportCalls; });
            EXPECT_FALSE(text.empty());
            if (c.textPart != nullptr) {
                EXPECT_NE(text.find(c.textPart), std::string::npos) << text;
            }
        }
        if (c.ran) {
            EXPECT_EQ(readFile(installed + "/installer-arguments"), expectedInstallerArguments(ownArguments));
        } else {
            EXPECT_FALSE(exists(installed + "/installer-arguments"));
        }
        manifest.reset();
        EXPECT_FALSE(exists(environment.mountRoot()));
    }
}

TEST_F(DownloadManifestTest, ImageAttachedAlreadyIsUsedWhereItIs) {
    if (cannotMount()) GTEST_SKIP() << "this user cannot mount images here";
    const std::string image = assets + "/packager.sqfs";
    fs::copy_file(product + "/packager.sqfs", image);
    const std::string own = environment.base() + "/own mount";
    std::string output;
    int status = -1;
    ASSERT_TRUE(platform::runProcessCapturingOutput(kTool, {"attach", image, "-readonly", "-quiet", "-mountpoint", own},
                                                    output, status));
    ASSERT_EQ(status, 0) << output;

    const std::string assetText = imageAssetText();
    ASSERT_FALSE(assetText.empty());
    AssetFactory factory;
    factory.setInstallerArguments(kSessionArguments);
    std::unique_ptr<AssetBase> asset = factory.create(assetText);
    ASSERT_TRUE(asset);
    asset->setLocalPath(image);
    int32_t type = 0;
    int32_t result = 0;
    ASSERT_EQ(asset->runActions(type, result), kActionDone);
    auto* disk = dynamic_cast<DMGAsset*>(asset.get());
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(disk->getExtractedPath(), own);
    EXPECT_TRUE(fs::is_directory(installedFolder() + "/MSP"));
    EXPECT_FALSE(exists(environment.mountRoot()));

    asset.reset();
    EXPECT_EQ(toolInfo().find(image), std::string::npos) << "the mount is detached";
    EXPECT_TRUE(fs::is_directory(own)) << "a folder this asset did not make is left";
    EXPECT_TRUE(namesIn(own).empty());
    EXPECT_FALSE(exists(image));
}

// Copies of the image an earlier run left beside this run's (the one it left attached at the
// mount root included) go before the attach; what is attached elsewhere, or is no plain file
// of that name, stays.
TEST_F(DownloadManifestTest, EarlierCopiesOfTheImageGoBeforeItIsAttached) {
    if (cannotMount()) GTEST_SKIP() << "this user cannot mount images here";
    const std::string served = product + "/packager.sqfs";
    for (const char* name : {"packager.sqfs", "packager(1).sqfs", "packager(2).sqfs", "packager(3).sqfs",
                             "packager.sqfs.partial", "notes.bin"})
        fs::copy_file(served, assets + "/" + name);
    fs::create_symlink(served, assets + "/packager(4).sqfs");
    fs::create_directories(assets + "/packager(5).sqfs");
    const std::string elsewhere = environment.base() + "/elsewhere";
    // Whatever stays attached goes before the temporary folder does.
    struct Detach {
        std::vector<std::string> points;
        ~Detach() {
            for (const std::string& point : points) umount2(point.c_str(), MNT_DETACH);
        }
    } detach{{elsewhere, environment.mountRoot()}};
    for (const auto& [name, point] : {std::pair<std::string, std::string>{"packager.sqfs", environment.mountRoot()},
                                      {"packager(2).sqfs", elsewhere}}) {
        std::string output;
        int status = -1;
        ASSERT_TRUE(platform::runProcessCapturingOutput(
            kTool, {"attach", assets + "/" + name, "-readonly", "-quiet", "-mountpoint", point}, output, status));
        ASSERT_EQ(status, 0) << output;
    }

    const std::string assetText = imageAssetText();
    ASSERT_FALSE(assetText.empty());
    AssetFactory factory;
    std::unique_ptr<AssetBase> asset = factory.create(assetText);
    ASSERT_TRUE(asset);
    asset->setLocalPath(assets + "/packager(1).sqfs");
    int32_t type = 0;
    int32_t result = 0;
    ASSERT_EQ(asset->runActions(type, result), kActionDone);
    EXPECT_EQ(dynamic_cast<DMGAsset*>(asset.get())->getExtractedPath(), environment.mountRoot());
    EXPECT_EQ(namesIn(assets),
              (std::vector<std::string>{"notes.bin", "packager(1).sqfs", "packager(2).sqfs", "packager(4).sqfs",
                                        "packager(5).sqfs", "packager.sqfs.partial"}));
    EXPECT_EQ(log.countContaining(zezu::INFO, "left by an earlier run"), 2);
    EXPECT_NE(toolInfo().find(assets + "/packager(2).sqfs"), std::string::npos);
    asset.reset();
    EXPECT_EQ(toolInfo().find(assets + "/packager(1).sqfs"), std::string::npos) << "the mount is detached";
}

// Another user may plant the mount root in a shared folder: the tool refuses it, nothing is mounted there.
TEST_F(DownloadManifestTest, UnsafeMountRootFailsTheExtract) {
    ZEZUUtils::XMLParser parser;
    ASSERT_TRUE(parser.initWithXMLPath(product + "/manifest.xml"));
    void* list = parser.getNodeListForXQuery("//manifest/asset_list/asset", nullptr);
    std::string assetText;
    ASSERT_TRUE(parser.getXMLStringOfNode(parser.getNodeAtIndexFromNodeList(list, 0), assetText));
    const std::string target = environment.base() + "/target";
    const std::string root = environment.mountRoot();
    const struct {
        const char* name;
        std::function<bool()> plant;  // false: not possible for this user
    } cases[] = {
        {"a link to a folder", [&] { return symlink(target.c_str(), root.c_str()) == 0; }},
        {"a file", [&] { return static_cast<bool>(std::ofstream(root) << "planted"); }},
        {"another user's folder",
         [&] { return geteuid() == 0 && mkdir(root.c_str(), 0755) == 0 && chown(root.c_str(), 65534, 65534) == 0; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        fs::remove_all(root);
        fs::remove_all(target);
        fs::create_directories(target);
        const std::string image = assets + "/packager.sqfs";
        fs::copy_file(product + "/packager.sqfs", image, fs::copy_options::overwrite_existing);
        if (!c.plant()) continue;
        AssetFactory factory;
        std::unique_ptr<AssetBase> asset = factory.create(assetText);
        ASSERT_TRUE(asset);
        asset->setLocalPath(image);
        int32_t type = 0;
        int32_t result = 0;
        EXPECT_EQ(asset->runActions(type, result), kActionFailed);
        EXPECT_EQ(type, static_cast<int32_t>(kExtractActionType));
        auto* disk = dynamic_cast<DMGAsset*>(asset.get());
        ASSERT_NE(disk, nullptr);
        EXPECT_FALSE(disk->isMounted());
        EXPECT_TRUE(namesIn(target).empty()) << "nothing mounted through the link";
        EXPECT_EQ(toolInfo().find(image), std::string::npos);
        EXPECT_FALSE(exists(installedFolder() + "/installer-arguments")) << "the install never ran";

        ZORUtils utils;
        std::string text;
        int actionType = type;
        int code = result;
        bool link = false;
        resolveInstallError(text, actionType, code, utils.dictionaryHandle(), link);
        EXPECT_NE(text.find("A12E3"), std::string::npos) << text;
        EXPECT_TRUE(link);

        asset.reset();
        EXPECT_TRUE(exists(root)) << "what was planted is left";
        EXPECT_FALSE(exists(image));
    }
    fs::remove_all(root);
}

TEST_F(DownloadManifestTest, TakenNamesGetANumber) {
    const std::string stale = "not the served manifest";
    std::ofstream(metadata + "/manifest.xml", std::ios::binary) << stale;
    auto server = serverFor(product);
    auto manifest = manifestFor(*server);
    ASSERT_TRUE(stepUntil(*manifest, [&] { return manifest->getState() == kValidationDownloading; }));
    EXPECT_EQ(manifest->getManifestPath(), metadata + "/manifest(1).xml");
    EXPECT_EQ(readFile(metadata + "/manifest(1).xml"), readFile(product + "/manifest.xml"));
    EXPECT_EQ(readFile(metadata + "/manifest.xml"), stale) << "the file that was there is left alone";
    EXPECT_EQ(manifest->getAssetCount(), 2u) << "the numbered copy is the one parsed";
    EXPECT_EQ(manifest->getValidationPath(), metadata + "/packager.sqfs.xml");
}

TEST_F(DownloadManifestTest, FailedStartRetriesTheSameFile) {
    if (cannotMount()) GTEST_SKIP() << "this user cannot mount images here";
    const struct {
        const char* name;
        std::function<bool(DownloadManifest&)> when;
        std::string file;
        bool inAssetFolder;
        int32_t state;
    } cases[] = {
        {"manifest", [](DownloadManifest&) { return true; }, "manifest.xml", false, kManifestDownloading},
        {"first validation file",
         [](DownloadManifest& m) {
             return m.getState() == kManifestDownloading && m.getDownloader().getStatus() == kDownloaderComplete;
         },
         "packager.sqfs.xml", false, kValidationDownloading},
        {"first asset",
         [](DownloadManifest& m) {
             return m.getState() == kValidationDownloading && m.getDownloader().getStatus() == kDownloaderComplete;
         },
         "packager.sqfs", true, kAssetDownloading},
        {"second validation file", [](DownloadManifest& m) { return m.getState() == kActionsDone; }, "notes.bin.xml",
         false, kValidationDownloading},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        startAfresh();
        auto server = serverFor(product);
        auto manifest = manifestFor(*server);
        ASSERT_TRUE(stepUntil(*manifest, [&] { return c.when(*manifest); }));
        const uint64_t total = manifest->getTotalBytes();
        const std::string home = c.inAssetFolder ? assets : metadata;
        const std::string inTheWay = home + "/" + c.file + ".zamdownload";
        fs::create_directories(inTheWay + "/occupant");

        EXPECT_FALSE(manifest->continueDownload());
        EXPECT_EQ(manifest->getState(), c.state);
        bool fatal = true;
        EXPECT_TRUE(manifest->isFatalError(fatal));
        EXPECT_FALSE(manifest->getDownloader().isStarted());
        EXPECT_EQ(manifest->getDownloader().getStatus(), kDownloaderIdle) << "the client is released";
        EXPECT_NE(manifest->getErrorType(), 0);
        // Still blocked: the retry fails the same way, marked, and changes nothing.
        EXPECT_FALSE(manifest->continueDownload());
        EXPECT_EQ(manifest->getState(), c.state);
        EXPECT_TRUE(manifest->isFatalError(fatal)) << "a failed start is a marked failure";
        EXPECT_FALSE(manifest->getDownloader().isStarted());

        test_support::removeTree(inTheWay);
        EXPECT_TRUE(manifest->resume());
        ASSERT_TRUE(run(*manifest));
        EXPECT_EQ(manifest->getTotalBytes(), kImageSize + kNotesSize);
        if (total != 0) {
            EXPECT_EQ(manifest->getTotalBytes(), total);
        }
        EXPECT_EQ(manifest->getBytesDone(), kImageSize + kNotesSize) << "no asset skipped";
        for (const std::string& name : namesIn(metadata)) EXPECT_EQ(name.find("(1)"), std::string::npos) << name;
        for (const std::string& name : namesIn(assets)) EXPECT_EQ(name.find("(1)"), std::string::npos) << name;
        EXPECT_EQ(readFile(home + "/" + c.file), readFile(product + "/" + c.file));
        EXPECT_TRUE(fs::is_directory(installedFolder() + "/MSP"));
        manifest.reset();
        EXPECT_EQ(namesIn(assets), std::vector<std::string>{"notes.bin"});
    }
}

TEST_F(DownloadManifestTest, EngineFatalEndIsRetriedThroughResume) {
    if (cannotMount()) GTEST_SKIP() << "this user cannot mount images here";
    auto server = serverFor(product);
    // The range probe passes, then one segment's GET meets a 404; the HEAD keeps the ETag.
    server->setScenario(imageScenario(R"("etag":"\"v1\"","script_methods":["GET"],"statuses":["ok","ok",404])"));
    auto manifest = manifestFor(*server);
    EXPECT_FALSE(run(*manifest));
    EXPECT_EQ(manifest->getState(), kAssetDownloading);
    EXPECT_EQ(manifest->getErrorType(), -4);
    EXPECT_EQ(manifest->getDownloader().getStatus(), kDownloaderFatalError);
    EXPECT_FALSE(manifest->pause());

    EXPECT_TRUE(manifest->resume());
    EXPECT_FALSE(manifest->getDownloader().isStarted());
    ASSERT_TRUE(run(*manifest));
    expectOneWholeImageInstalled();
}

TEST_F(DownloadManifestTest, PauseResumeAndCloseTheTransferInFlight) {
    auto server = serverFor(product);
    server->setScenario(imageScenario(R"("etag":"\"v1\"","throttle":100000)"));
    auto manifest = manifestFor(*server);
    EXPECT_FALSE(manifest->pause()) << "nothing downloading yet";
    ASSERT_TRUE(stepIntoTheImage(*manifest));
    const float percent = manifest->getProgressPercent();
    EXPECT_GT(percent, 0.0f);
    EXPECT_LT(percent, 100.0f * kImageSize / (kImageSize + kNotesSize));
    ASSERT_TRUE(manifest->pause());
    EXPECT_EQ(manifest->getDownloader().getStatus(), kDownloaderPaused);
    EXPECT_TRUE(manifest->continueDownload()) << "a paused download is no failure";
    EXPECT_FALSE(manifest->pause());
    ASSERT_TRUE(manifest->resume());
    EXPECT_EQ(manifest->getDownloader().getStatus(), kDownloaderDownloading);
    EXPECT_FALSE(manifest->resume()) << "a running download has nothing to resume";

    // What the run's shutdown calls: the client's close and nothing else.
    EXPECT_TRUE(manifest->closeDownload());
    EXPECT_EQ(manifest->getDownloader().getStatus(), kDownloaderIdle);
    EXPECT_EQ(manifest->getState(), kAssetDownloading);
    EXPECT_EQ(manifest->getAssetCount(), 2u);
    EXPECT_FALSE(manifest->closeDownload());
}

TEST_F(DownloadManifestTest, FileChangedWhilePausedIsFetchedAfresh) {
    if (cannotMount()) GTEST_SKIP() << "this user cannot mount images here";
    auto server = serverFor(product);
    server->setScenario(imageScenario(R"("etag":"\"v1\"","throttle":100000)"));
    auto manifest = manifestFor(*server);
    ASSERT_TRUE(stepIntoTheImage(*manifest));
    ASSERT_TRUE(manifest->pause());
    // Republished under a new ETag: the paused download cannot go on, and a retry must not wait
    // on it for ever.
    server->setScenario(imageScenario(R"("etag":"\"v2\"")"));
    EXPECT_TRUE(manifest->resume());
    EXPECT_FALSE(manifest->getDownloader().isStarted());
    ASSERT_TRUE(run(*manifest));
    expectOneWholeImageInstalled();
}

TEST_F(DownloadManifestTest, VersionFileDownloadsSynchronously) {
    auto server = serverFor(product);
    FileDownloader downloader;
    downloader.setDownloadPreference(0x200000, "", "");
    ASSERT_TRUE(downloader.downloadFileSync(server->url("/product/version.xml"), metadata, "version.xml"));
    EXPECT_EQ(readFile(metadata + "/version.xml"), readFile(product + "/version.xml"));
    downloader.close();
    EXPECT_FALSE(downloader.downloadFileSync(server->url("/product/absent.xml"), metadata, "absent.xml"));
    EXPECT_EQ(downloader.getErrorType(), -4);
}

}  // namespace
