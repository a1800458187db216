// The disk-image asset's clean-up of earlier copies: what this run attached, and a copy mounted
// elsewhere too, are never taken for an earlier run's leftovers; with either mount kind.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bootstrapper/manifest/AssetFactory.h"
#include "bootstrapper/manifest/DMGAsset.h"
#include "bootstrapper/support/ZORUtils.h"
#include "foundation/utils/XMLParser.h"
#include "platform/DiskImageTool.h"
#include "platform/ProcessLauncher.h"
#include "tests/support/FileContents.h"
#include "tests/support/LogFacadeHome.h"
#include "tests/support/RecordingLogTarget.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TemporaryEnvironment.h"
#include "tests/support/UserSpaceMounts.h"

namespace {

namespace fs = std::filesystem;

const std::string kTool = DISK_IMAGE_TOOL;
const std::string kGenerator = SAMPLE_PRODUCT_TOOL;

using test_support::namesIn;

int runTool(const std::vector<std::string>& arguments, std::string& output) {
    int status = -1;
    if (!platform::runProcessCapturingErrors(kTool, arguments, output, status)) return -1;
    return status;
}

std::string listing() {
    std::string output;
    int status = -1;
    platform::runProcessCapturingOutput(kTool, {"info", "-plist"}, output, status);
    return output;
}

enum class MountKind { Loop, UserSpace };

class DiskImageAssetTest : public testing::TestWithParam<MountKind> {
protected:
    void SetUp() override {
        if (!fs::exists("/usr/bin/mksquashfs")) GTEST_SKIP() << "mksquashfs is not installed";
        if (GetParam() == MountKind::Loop && geteuid() != 0) GTEST_SKIP() << "only root mounts with a loop device";
        const std::string missing = test_support::missingUserSpaceMounts();
        if (GetParam() == MountKind::UserSpace && !missing.empty()) GTEST_SKIP() << missing;
        variables_.set(platform::kDiskImageToolVariable, kTool);
        variables_.set("BOOTSTRAP_DISK_IMAGE_MOUNT", GetParam() == MountKind::UserSpace ? "fuse" : "");
        assets_ = environment_.base() + "/assets";
        fs::create_directories(assets_);
        product_ = environment_.base() + "/product";
        std::string output;
        int status = -1;
        ASSERT_TRUE(platform::runProcessCapturingOutput("/usr/bin/python3", {kGenerator, product_}, output, status));
        ASSERT_EQ(status, 0) << output;
        ZEZUUtils::XMLParser parser;
        ASSERT_TRUE(parser.initWithXMLPath(product_ + "/manifest.xml"));
        void* list = parser.getNodeListForXQuery("//manifest/asset_list/asset", nullptr);
        ASSERT_NE(list, nullptr);
        ASSERT_TRUE(parser.getXMLStringOfNode(parser.getNodeAtIndexFromNodeList(list, 0), assetText_));
    }
    void copyImage(const std::vector<std::string>& names) {
        for (const std::string& name : names) fs::copy_file(product_ + "/packager.sqfs", assets_ + "/" + name);
    }
    // Attaches with the tool, as an earlier run would have.
    void attach(const std::string& image, const std::string& point) {
        std::string output;
        ASSERT_EQ(runTool({"attach", image, "-readonly", "-quiet", "-mountpoint", point}, output), 0) << output;
    }
    std::unique_ptr<AssetBase> imageAsset(const std::string& localPath) {
        AssetFactory factory;
        std::unique_ptr<AssetBase> asset = factory.create(assetText_);
        EXPECT_TRUE(asset);
        if (asset) asset->setLocalPath(localPath);
        return asset;
    }

    test_support::TemporaryEnvironment environment_;
    // Declared after the environment: its mounts go before its folder does.
    test_support::UserSpaceMountCleanup cleanup_{environment_.base()};
    test_support::ScopedEnvironment variables_;
    test_support::RecordingLogTarget log_;
    std::string assets_;
    std::string product_;
    std::string assetText_;
};

// A manifest's earlier image asset of the same name is attached at the mount root by this run:
// a later asset's step never deletes its file, and so never has its mount detached as stale.
TEST_P(DiskImageAssetTest, AFileThisRunAttachedIsNeverDeletedByALaterAsset) {
    copyImage({"packager.sqfs"});
    auto first = imageAsset(assets_ + "/packager.sqfs");
    ASSERT_TRUE(first);
    int32_t type = 0;
    int32_t result = 0;
    ASSERT_EQ(first->runActions(type, result), kActionDone);
    ASSERT_EQ(dynamic_cast<DMGAsset*>(first.get())->getExtractedPath(), environment_.mountRoot());

    copyImage({"packager(1).sqfs", "packager(2).sqfs"});
    auto second = imageAsset(assets_ + "/packager(1).sqfs");
    ASSERT_TRUE(second);
    second->runActions(type, result);
    EXPECT_TRUE(fs::exists(assets_ + "/packager.sqfs"));
    EXPECT_EQ(log_.countContaining(zezu::INFO, "left by an earlier run"), 1) << "only packager(2).sqfs";
    std::string attachedAt;
    const std::string info = listing();
    ASSERT_TRUE(ZORUtils::mountPointFromInfo(info, assets_ + "/packager.sqfs", attachedAt)) << info;
    EXPECT_EQ(attachedAt, environment_.mountRoot()) << "the first asset's mount is still there";

    second.reset();
    first.reset();
    EXPECT_EQ(listing().find(assets_), std::string::npos) << "the first asset detached its image";
}

// Copies an earlier run left: one attached at the mount root and also elsewhere, and another
// name (a hard link) of a file attached elsewhere, are kept; one attached nowhere goes.
TEST_P(DiskImageAssetTest, ACopyAttachedElsewhereTooIsKept) {
    if (geteuid() != 0) GTEST_SKIP() << "a second mount of one file needs mount(8) as root";
    const std::string elsewhere = environment_.base() + "/elsewhere";
    const std::string linked = environment_.base() + "/linked";
    fs::create_directories(elsewhere);
    copyImage({"packager.sqfs", "packager(1).sqfs", "packager(2).sqfs", "packager(4).sqfs"});
    attach(assets_ + "/packager.sqfs", environment_.mountRoot());
    // The tool attaches a file once; the kernel lists a loop mount made beside it all the same.
    std::string output;
    int status = -1;
    ASSERT_TRUE(platform::runProcessCapturingErrors(
        "/bin/mount", {"-t", "squashfs", "-o", "loop,ro", assets_ + "/packager.sqfs", elsewhere}, output, status));
    ASSERT_EQ(status, 0) << output;
    attach(assets_ + "/packager(2).sqfs", linked);
    // packager(4).sqfs is attached nowhere: it goes.
    fs::create_hard_link(assets_ + "/packager(2).sqfs", assets_ + "/packager(3).sqfs");

    auto asset = imageAsset(assets_ + "/packager(1).sqfs");
    ASSERT_TRUE(asset);
    int32_t type = 0;
    int32_t result = 0;
    asset->runActions(type, result);
    EXPECT_EQ(namesIn(assets_),
              (std::vector<std::string>{"packager(1).sqfs", "packager(2).sqfs", "packager(3).sqfs", "packager.sqfs"}));
    EXPECT_EQ(log_.countContaining(zezu::INFO, "left by an earlier run"), 1);
}

INSTANTIATE_TEST_SUITE_P(MountKinds, DiskImageAssetTest, testing::Values(MountKind::Loop, MountKind::UserSpace),
                         [](const testing::TestParamInfo<MountKind>& info) {
                             return info.param == MountKind::Loop ? "Loop" : "UserSpace";
                         });

}  // namespace
