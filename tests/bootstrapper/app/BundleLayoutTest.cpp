// The bundle the build lays out: its files where the program looks for them, and its XML files as the run reads them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "bootstrapper/app/ProductInfo.h"
#include "bootstrapper/support/SystemCheck.h"
#include "tests/support/TemporaryEnvironment.h"

namespace fs = std::filesystem;

namespace {

fs::path bundle() {
    const char* binary = std::getenv("PROJECT_BINARY_DIR");
    return fs::path(binary && *binary ? binary : ".") / "MSPInstaller.app";
}

fs::path resources() { return bundle() / "Contents/Resources"; }

bool executable(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

TEST(BundleLayoutTest, EveryFileWhereTheProgramLooks) {
    EXPECT_TRUE(executable(bundle() / "Contents/MacOS/bootstrapper"));
    // platform::diskImageToolPath takes the tool beside the running executable.
    EXPECT_TRUE(executable(bundle() / "Contents/MacOS/diskimage"));
    for (const char* name : {"systemCheck.xml", "productInfo.xml", "MainWindow.ui", "Warning16x16.png",
                             "Warning32x32.png", "Dictionary/en_US/stringTable.zdct",
                             "Dictionary/fr_FR/stringTable.zdct", "Dictionary/ja_JP/stringTable.zdct"}) {
        const fs::path path = resources() / name;
        EXPECT_TRUE(fs::is_regular_file(path) && fs::file_size(path) > 0) << path;
    }
}

TEST(BundleLayoutTest, SystemCheckRequiresTwelveAndThisSystemPasses) {
    test_support::TemporaryEnvironment environment;  // no SystemVersion.plist: the OS's own version counts
    SystemCheck check;
    ASSERT_TRUE(check.loadRequirements((resources() / "systemCheck.xml").string(), true));
    EXPECT_EQ(check.getRequiredVersionString(), "12.0.0");
    EXPECT_TRUE(check.checkOSVersion());

    // The same file against a system one below the requirement.
    fs::create_directories(environment.localRoot() + "/System/Library/CoreServices");
    {
        FILE* plist = std::fopen((environment.localRoot() + "/System/Library/CoreServices/SystemVersion.plist").c_str(), "w");
        ASSERT_NE(plist, nullptr);
        std::fputs("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                   "<key>ProductVersion</key><string>11.9.9</string></dict></plist>\n", plist);
        std::fclose(plist);
    }
    SystemCheck older;
    ASSERT_TRUE(older.loadRequirements((resources() / "systemCheck.xml").string(), true));
    EXPECT_FALSE(older.checkOSVersion());
}

TEST(BundleLayoutTest, ProductInfoNamesAPlaceholderManifest) {
    ProductInfo info;
    ASSERT_TRUE(info.initWithXMLPath((resources() / "productInfo.xml").string(), true));
    const std::string& url = info.getZameeURL();
    EXPECT_EQ(url.rfind("https://", 0), 0u) << url;
    const std::string host = url.substr(8, url.find('/', 8) - 8);
    const std::string domain = ".zarvo.example";
    EXPECT_TRUE(host.size() > domain.size() && host.compare(host.size() - domain.size(), domain.size(), domain) == 0)
        << url;
    EXPECT_EQ(info.getProductName(), "Morvane Studio Packager");
}
