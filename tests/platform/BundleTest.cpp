// The running executable's path and the launched item outside a bundle.
#include "platform/Bundle.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

TEST(Bundle, ExecutableOutsideABundleIsItsOwnLaunchedItem) {
    auto executable = platform::executablePath();
    ASSERT_TRUE(executable);
    EXPECT_EQ(std::filesystem::path(*executable).filename(), "platform_folders_test");
    EXPECT_TRUE(std::filesystem::is_regular_file(*executable));
    EXPECT_EQ(platform::launchedItemPath(), executable);
    EXPECT_FALSE(platform::bundleResourcesFolder());
    EXPECT_FALSE(platform::bundleResourcePath("Dictionary", ""));
}

}  // namespace
