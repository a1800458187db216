// ZORUtils: the localized dictionary and its fallback, texts, file names, the screen-resolution
// hook, opening URLs and attaching disk images.
#include "bootstrapper/support/ZORUtils.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <thread>

#include "foundation/utils/FileUtils.h"
#include "platform/Bundle.h"
#include "platform/DiskImageTool.h"
#include "platform/ProcessLauncher.h"
#include "platform/UserLanguages.h"
#include "tests/bootstrapper/support/UtilitiesTestSupport.h"
#include "tools/stringtable/StringTableWriter.h"

namespace {

namespace fs = std::filesystem;
using test_support::ScopedEnvironment;
using utilities_test::entry;

constexpr const char* kGreeting = "$$$/ZOR/Greeting=Default greeting";

std::string greeting(const ZORUtils& utils) {
    std::string text;
    utils.getLocalizedString(kGreeting, text);
    return text;
}

class FixedLanguages : public platform::UserLanguages {
public:
    FixedLanguages(std::string locale, std::vector<std::string> languages) {
        preferences_.locale = std::move(locale);
        preferences_.languages = std::move(languages);
    }
    platform::LanguagePreferences read() const override { return preferences_; }

private:
    platform::LanguagePreferences preferences_;
};

class ZORUtilsTest : public ::testing::Test {
protected:
    void SetUp() override {
        resources_ = env_.base() + "/Resources";
        fs::create_directories(resources_);
    }

    void writeTable(const std::string& locale, const std::vector<stringtable::Entry>& entries) {
        const std::string folder = resources_ + "/Dictionary/" + locale;
        fs::create_directories(folder);
        test_support::writeFile(folder + "/stringTable.zdct", stringtable::writeVersion2(entries));
    }
    std::vector<std::string> logged() const { return capture_.messagesOf("ZORUtils"); }

    test_support::TemporaryEnvironment env_;
    test_support::RecordingLogTarget capture_{"ZOR"};
    std::string resources_;
};

TEST_F(ZORUtilsTest, DictionaryForTheBestLocaleWithTheEnglishFallback) {
    const std::string warning =
        entry(zezu::WARN, "Error finding locale language dictionary file. Defaulting to english.");
    const std::string searching = entry(zezu::DEBUG, "Searching for en_US locale dictionary.");
    const std::string success = entry(zezu::DEBUG, "Dictionary reading successful.");
    const std::string noEnglish = entry(zezu::INFO, "Error finding english dictionary file.");
    const struct {
        const char* what;
        std::vector<const char*> tables;  // locales that have a file
        std::string locale;
        std::vector<std::string> languages;
        bool loaded;
        std::string greeting;
        std::vector<std::string> lines;
    } cases[] = {
        {"French (Canada) shipped but its file missing",
         {"en_US", "fr_FR"},
         "fr_CA",
         {"fr-CA"},
         true,
         "Hello",
         {warning, searching, success}},
        {"French (France)", {"en_US", "fr_FR"}, "fr_FR", {"fr-FR"}, true, "Bonjour", {success}},
        {"Japanese, the first of two",
         {"en_US", "ja_JP", "fr_FR"},
         "ja_JP",
         {"ja-JP", "fr-FR"},
         true,
         "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF",
         {success}},
        {"a language nothing matches", {"en_US", "fr_FR"}, "xx_YY", {"xx-YY"}, true, "Hello", {success}},
        {"no preferences", {"en_US"}, "", {}, true, "Hello", {success}},
        {"neither file", {"fr_FR"}, "de_DE", {"de-DE"}, false, "Default greeting", {warning, searching, noEnglish}},
        {"no English for an unmatched language",
         {"fr_FR"},
         "xx_YY",
         {"xx-YY"},
         false,
         "Default greeting",
         {warning, searching, noEnglish}},
    };
    for (const auto& c : cases) {
        fs::remove_all(resources_ + "/Dictionary");
        for (const char* table : c.tables) {
            const std::string locale = table;
            std::u16string text = locale == "fr_FR"   ? u"Bonjour"
                                  : locale == "ja_JP" ? u"\u3053\u3093\u306B\u3061\u306F"
                                                      : u"Hello";
            writeTable(locale, {{"/ZOR/Greeting", text}, {"/ZOR/Other", u"other"}});
        }
        ScopedEnvironment resources(platform::kResourcesFolderVariable, resources_);
        test_support::RecordingLogTarget capture("ZOR");
        ZORUtils utils;
        EXPECT_EQ(utils.loadDictionary(FixedLanguages(c.locale, c.languages)), c.loaded) << c.what;
        EXPECT_EQ(greeting(utils), c.greeting) << c.what;
        EXPECT_EQ(capture.messagesOf("ZORUtils"), c.lines) << c.what;
    }
}

TEST_F(ZORUtilsTest, NoResourcesFolderOrAFolderInPlaceOfTheFileFallsBack) {
    {
        // This test program lies in no bundle: without the variable there is no folder at all.
        ScopedEnvironment unset(platform::kResourcesFolderVariable, nullptr);
        ZORUtils utils;
        EXPECT_FALSE(utils.loadDictionary(FixedLanguages("en_US", {"en-US"})));
        EXPECT_EQ(greeting(utils), "Default greeting");
    }
    writeTable("en_US", {{"/ZOR/Greeting", u"Hello"}});
    fs::create_directories(resources_ + "/Dictionary/fr_FR/stringTable.zdct");
    ScopedEnvironment resources(platform::kResourcesFolderVariable, resources_);
    ZORUtils utils;
    EXPECT_TRUE(utils.loadDictionary(FixedLanguages("fr_FR", {"fr-FR"})));
    EXPECT_EQ(greeting(utils), "Hello");
}

TEST_F(ZORUtilsTest, DamagedTableLoadsNoTextAndLookupsKeepTheirDefaults) {
    const std::string valid = stringtable::writeVersion2({{"/ZOR/Greeting", u"Hello"}});
    for (const std::string& bytes :
         {std::string("ZString Binary Format garbage"), valid.substr(0, valid.size() / 2), std::string()}) {
        const std::string folder = resources_ + "/Dictionary/en_US";
        fs::create_directories(folder);
        test_support::writeFile(folder + "/stringTable.zdct", bytes);
        ScopedEnvironment resources(platform::kResourcesFolderVariable, resources_);
        ZORUtils utils;
        utils.loadDictionary(FixedLanguages("en_US", {"en-US"}));
        EXPECT_EQ(greeting(utils), "Default greeting") << bytes.size();
    }
}

TEST_F(ZORUtilsTest, LookupsGiveTheTableTextElseTheDefaultAfterTheFirstEquals) {
    writeTable("en_US", {{"/ZOR/Greeting", u"Caf\u00E9 \u00AB ouvert \u00BB"}, {"/ZOR/Empty", u""}});
    ScopedEnvironment resources(platform::kResourcesFolderVariable, resources_);
    ZORUtils utils;
    ASSERT_TRUE(utils.loadDictionary(FixedLanguages("en_US", {"en-US"})));
    const struct {
        const char* key;
        const char* text;
    } cases[] = {
        {kGreeting, "Caf\xC3\xA9 \xC2\xAB ouvert \xC2\xBB"},
        {"$$$/ZOR/Missing=a=b (Error code: @#<error number>@#)", "a=b (Error code: @#<error number>@#)"},
        {"$$$/ZOR/Missing", ""},
        {"$$$/ZOR/Empty=not empty", ""},
    };
    for (const auto& c : cases) {
        std::string text = "stale";
        utils.getLocalizedString(c.key, text);
        EXPECT_EQ(text, c.text) << c.key;
    }
}

TEST(ZORUtilsText, ReplacePlaceholder) {
    const struct {
        const char* text;
        const char* value;
        const char* name;
        const char* result;
    } cases[] = {
        {"code @#<error number>@#.", "A12E5", "", "code A12E5."},
        {"@#@# then @#x@#", "V", "", "V then @#x@#"},
        {"no marker here", "V", "", "no marker here"},
        {"only one @# marker", "V", "", "only one @# marker"},
        {"ends with @#", "V", "", "ends with @#"},
        {"@#", "V", "", "@#"},
        {"@#@", "V", "", "@#@"},
        {"@#@#", "V", "", "V"},
        {"", "V", "", ""},
        {"a @#name@# b @#other@# c", "1", "other", "a @#name@# b 1 c"},
        {"a @#name@# b", "1", "missing", "a @#name@# b"},
        {"size @#size of @#", "10", "size", "size 10"},
        {"x @#<n>@# y", "", "", "x  y"},
        {"x @#<n>@# y", "@#again@#", "", "x @#again@# y"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ZORUtils::replacePlaceholder(c.text, c.value, c.name), c.result) << c.text << " / " << c.name;
    }
}

TEST(ZORUtilsFiles, UniqueFileNameCountsPastEveryTakenName) {
    test_support::TemporaryEnvironment env;
    const std::string folder = env.base() + "/downloads";
    fs::create_directories(folder + "/dir(1).d");
    fs::create_directories(folder + "/dir.d");
    for (const char* name : {"a.txt", "a(1).txt", "noext", ".hidden", "archive.tar.gz", "b(1).txt"}) {
        test_support::writeFile(folder + "/" + name, "x");
    }
    fs::create_symlink(folder + "/nowhere", folder + "/link.bin");
    const struct {
        const char* given;
        const char* result;
    } cases[] = {
        {"a.txt", "a(2).txt"},
        {"b.txt", "b.txt"},
        {"noext", "noext(1)"},
        {".hidden", ".hidden(1)"},
        {"archive.tar.gz", "archive.tar(1).gz"},
        {"dir.d", "dir(2).d"},
        {"link.bin", "link(1).bin"},
        {"packager.sqfs.xml", "packager.sqfs.xml"},
        // The folder itself is taken: harmless, as the name is never empty in use.
        {"", "(1)"},
    };
    for (const auto& c : cases) {
        std::string name = c.given;
        EXPECT_TRUE(ZORUtils::uniqueFileName(folder, name)) << c.given;
        EXPECT_EQ(name, c.result) << c.given;
    }
    // Nothing is made: the caller creates the file.
    std::string name = "a.txt";
    ZORUtils::uniqueFileName(folder, name);
    EXPECT_FALSE(fs::exists(folder + "/a(2).txt"));
}

// The names uniqueFileName makes of a name are known as its own; nothing else is.
TEST(ZORUtilsFiles, UniqueFileNamesAreKnownAsTheNamesOwn) {
    test_support::TemporaryEnvironment env;
    const std::string folder = env.base() + "/names";
    fs::create_directories(folder);
    for (const std::string given : {"packager.sqfs", "noext", ".hidden", "archive.tar.gz"}) {
        for (int taken = 0; taken < 3; ++taken) {
            std::string name = given;
            ZORUtils::uniqueFileName(folder, name);
            EXPECT_TRUE(ZORUtils::isUniqueFileNameOf(given, name)) << name;
            test_support::writeFile(folder + "/" + name, "x");
        }
    }
    const struct {
        const char* name;
        const char* candidate;
        bool own;
    } cases[] = {
        {"packager.sqfs", "packager(12).sqfs", true},
        {"packager.sqfs", "packager(0).sqfs", false},
        {"packager.sqfs", "packager(01).sqfs", false},
        {"packager.sqfs", "packager().sqfs", false},
        {"packager.sqfs", "packager(-1).sqfs", false},
        {"packager.sqfs", "packager (1).sqfs", false},
        {"packager.sqfs", "packager(1)x.sqfs", false},
        {"packager.sqfs", "packager(1).sqfs.partial", false},
        {"packager.sqfs", "packager.sqfs.partial", false},
        {"packager.sqfs", "other(1).sqfs", false},
        {"packager.sqfs", "packager(1).bin", false},
        {"noext", "noext(1).sqfs", false},
        {".hidden", ".hidden(2)", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ZORUtils::isUniqueFileNameOf(c.name, c.candidate), c.own) << c.name << " / " << c.candidate;
    }
}

TEST(ZORUtilsScreen, ResolutionComesFromTheHookTruncated) {
    int x = -1;
    int y = -1;
    ZORUtils::setScreenResolutionHook({});
    EXPECT_FALSE(ZORUtils::getScreenResolution(x, y));
    EXPECT_EQ(x, -1);

    const double nan = std::nan("");
    const double huge = 1e300;
    const struct {
        bool answer;
        double horizontal;
        double vertical;
        bool result;
        int x;
        int y;
    } cases[] = {
        {true, 144.9, 96.2, true, 144, 96}, {true, 72, 72, true, 72, 72},    {false, 144, 144, false, -1, -1},
        {true, nan, 96, false, -1, -1},     {true, 96, huge, false, -1, -1},
    };
    for (const auto& c : cases) {
        int calls = 0;
        ZORUtils::setScreenResolutionHook([&](double& h, double& v) {
            ++calls;
            h = c.horizontal;
            v = c.vertical;
            return c.answer;
        });
        x = -1;
        y = -1;
        EXPECT_EQ(ZORUtils::getScreenResolution(x, y), c.result) << c.horizontal;
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(x, c.x) << c.horizontal;
        EXPECT_EQ(y, c.y) << c.horizontal;
    }
    ZORUtils::setScreenResolutionHook({});
    EXPECT_FALSE(ZORUtils::getScreenResolution(x, y));
}

// A recording xdg-open first on PATH: each run leaves its arguments in a file of its own.
class OpenURLTest : public ::testing::Test {
protected:
    void SetUp() override {
        bin_ = env_.base() + "/bin";
        records_ = env_.base() + "/records";
        fs::create_directories(bin_);
        fs::create_directories(records_);
        utilities_test::writeScript(
            bin_ + "/xdg-open", "out=\"" + records_ +
                                    "/$$\"\n"
                                    "printf '%s\\0' \"$@\" > \"$out.part\" && /bin/mv \"$out.part\" \"$out.done\"\n");
    }
    // The record of the next run that ends, waiting at most a bound.
    std::vector<std::vector<std::string>> waitForRecords(size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            std::vector<std::vector<std::string>> found;
            for (const auto& file : fs::directory_iterator(records_)) {
                if (file.path().extension() == ".done")
                    found.push_back(utilities_test::splitAt(test_support::readFile(file.path()), '\0'));
            }
            if (found.size() >= count || std::chrono::steady_clock::now() > deadline) return found;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    test_support::TemporaryEnvironment env_;
    std::string bin_;
    std::string records_;
};

TEST_F(OpenURLTest, TheURLReachesXdgOpenVerbatim) {
    ScopedEnvironment path("PATH", "relative/bin:" + bin_ + ":/usr/bin:/bin");
    const std::string url = "https://support.zarvo.example/studio-packager?q=a b&x=$(id);`id`";
    ZORUtils::openURL(url);
    EXPECT_EQ(waitForRecords(1), (std::vector<std::vector<std::string>>{{url}}));
}

TEST_F(OpenURLTest, EmptyOrOptionLikeURLsOpenNothing) {
    ScopedEnvironment path("PATH", bin_ + ":/usr/bin:/bin");
    ZORUtils::openURL("");
    ZORUtils::openURL("-");
    ZORUtils::openURL("--manual");
    // A URL that is opened afterwards: by its record the refused ones would have been started.
    ZORUtils::openURL("https://a.example/");
    const auto records = waitForRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records, (std::vector<std::vector<std::string>>{{"https://a.example/"}}));
}

TEST_F(OpenURLTest, NoXdgOpenOnThePathOpensNothing) {
    fs::create_directories(env_.base() + "/empty");
    // Neither an empty PATH nor a relative entry that holds one is searched.
    for (const std::string& value : {std::string(), env_.base() + "/empty", std::string("bin")}) {
        utilities_test::ScopedWorkingFolder here(env_.base());
        ScopedEnvironment path("PATH", value);
        ZORUtils::openURL("https://a.example/");
    }
    ScopedEnvironment path("PATH", bin_ + ":/usr/bin:/bin");
    ZORUtils::openURL("https://b.example/");
    EXPECT_EQ(waitForRecords(1), (std::vector<std::vector<std::string>>{{"https://b.example/"}}));
}

// mountDmg against scripted tools that record how they are called.
class MountDmgTest : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = env_.base() + "/images/packager.sqfs";
        fs::create_directories(env_.base() + "/images");
        test_support::writeFile(image_, "image");
        mountRoot_ = env_.base() + "/ZSU";
        tool_ = env_.base() + "/diskimage";
        calls_ = env_.base() + "/calls";
    }
    // A tool whose attach exits attachStatus and whose "info -plist" prints listing and exits infoStatus.
    void writeTool(int attachStatus, const std::string& listing, int infoStatus = 0) {
        test_support::writeFile(env_.base() + "/listing", listing);
        utilities_test::writeScript(tool_, "printf '%s\\0' \"$@\" >> \"" + calls_ + "\"\nprintf '\\n' >> \"" + calls_ +
                                               "\"\n"
                                               "case \"$1\" in\n"
                                               "  attach) exit " +
                                               std::to_string(attachStatus) +
                                               " ;;\n"
                                               "  info) cat \"" +
                                               env_.base() + "/listing\"; exit " + std::to_string(infoStatus) +
                                               " ;;\n"
                                               "esac\nexit 9\n");
    }
    std::vector<std::string> calls() const {
        std::vector<std::string> result;
        for (const std::string& line : utilities_test::splitAt(test_support::readFile(calls_), '\n')) {
            std::string shown = line;
            for (char& c : shown)
                if (c == '\0') c = ' ';
            result.push_back(shown);
        }
        return result;
    }
    std::string attachCall() const {
        return "attach " + image_ + " -noverify -noautoopen -nobrowse -noautofsck -readonly -quiet -mountpoint " +
               mountRoot_ + " ";
    }

    test_support::TemporaryEnvironment env_;
    std::string image_;
    std::string mountRoot_;
    std::string tool_;
    std::string calls_;
};

std::string infoListing(const std::string& images) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n<key>images</key>\n" + images +
           "\n</dict>\n</plist>\n";
}

std::string imageEntry(const std::string& path, const std::string& entities) {
    return "<dict><key>image-path</key><string>" + path + "</string><key>system-entities</key>" + entities + "</dict>";
}

TEST_F(MountDmgTest, NoUsableToolFails) {
    fs::create_directories(env_.base() + "/a folder");
    for (const std::string& tool : {env_.base() + "/missing", env_.base() + "/a folder"}) {
        ScopedEnvironment variable(platform::kDiskImageToolVariable, tool);
        std::string mountPoint = "unchanged";
        EXPECT_FALSE(ZORUtils::mountDmg(image_, mountRoot_, mountPoint)) << tool;
        EXPECT_EQ(mountPoint, "unchanged") << tool;
    }
}

TEST_F(MountDmgTest, ASuccessfulAttachMountsAtTheMountRoot) {
    writeTool(0, "not used");
    ScopedEnvironment variable(platform::kDiskImageToolVariable, tool_);
    std::string mountPoint;
    ASSERT_TRUE(ZORUtils::mountDmg(image_, mountRoot_, mountPoint));
    EXPECT_EQ(mountPoint, mountRoot_);
    EXPECT_EQ(calls(), std::vector<std::string>{attachCall()});
}

TEST_F(MountDmgTest, AFailedAttachLooksTheImageUpInTheInfoListing) {
    const std::string other = env_.base() + "/images/other.sqfs";
    test_support::writeFile(other, "other");
    fs::create_symlink(env_.base() + "/images", env_.base() + "/linked");
    const std::string entity = "<dict><key>dev-entry</key><string>/dev/loop7</string></dict>";
    const std::string mounted = "<dict><key>dev-entry</key><string>/dev/loop3</string>"
                                "<key>mount-point</key><string>/mnt/first</string></dict>";
    const struct {
        const char* what;
        std::string listing;
        std::string imagePath;  // as the caller names it
        int infoStatus;
        bool result;
        std::string mountPoint;
    } cases[] = {
        {"found after another image",
         infoListing("<array>" + imageEntry(other, "<array>" + mounted + "</array>") +
                     imageEntry(image_, "<array>" + entity + mounted + "</array>") + "</array>"),
         image_, 0, true, "/mnt/first"},
        {"named through a link and dots",
         infoListing("<array>" + imageEntry(image_, "<array>" + mounted + "</array>") + "</array>"),
         env_.base() + "/linked/./packager.sqfs", 0, true, "/mnt/first"},
        {"listed through dots, missing now",
         infoListing("<array>" + imageEntry(env_.base() + "/gone/../gone/x.sqfs", "<array>" + mounted + "</array>") +
                     "</array>"),
         env_.base() + "/gone//x.sqfs", 0, true, "/mnt/first"},
        {"only the first match counts",
         infoListing("<array>" + imageEntry(image_, "<array>" + entity + "</array>") +
                     imageEntry(image_, "<array>" + mounted + "</array>") + "</array>"),
         image_, 0, false, ""},
        {"not listed", infoListing("<array>" + imageEntry(other, "<array>" + mounted + "</array>") + "</array>"),
         image_, 0, false, ""},
        {"no images", infoListing("<array/>"), image_, 0, false, ""},
        {"images not an array", infoListing("<dict/>"), image_, 0, false, ""},
        {"entities not an array", infoListing("<array>" + imageEntry(image_, "<string>x</string>") + "</array>"),
         image_, 0, false, ""},
        {"a key's value is not a key",
         infoListing("<array><dict><key>image-path</key><key>image-path</key>"
                     "<string>" +
                     image_ + "</string><key>system-entities</key><array>" + mounted + "</array></dict></array>"),
         image_, 0, false, ""},
        {"root not a dictionary", "<?xml version=\"1.0\"?><plist><array/></plist>", image_, 0, false, ""},
        {"not a property list", "image-path  : " + image_ + "\n/dev/loop3\t/mnt/first\n", image_, 0, false, ""},
        {"empty output", "", image_, 0, false, ""},
        {"info fails", infoListing("<array>" + imageEntry(image_, "<array>" + mounted + "</array>") + "</array>"),
         image_, 1, false, ""},
    };
    for (const auto& c : cases) {
        fs::remove(calls_);
        writeTool(1, c.listing, c.infoStatus);
        ScopedEnvironment variable(platform::kDiskImageToolVariable, tool_);
        std::string mountPoint = "stale";
        EXPECT_EQ(ZORUtils::mountDmg(c.imagePath, mountRoot_, mountPoint), c.result) << c.what;
        EXPECT_EQ(mountPoint, c.mountPoint) << c.what;
        const auto made = calls();
        ASSERT_EQ(made.size(), 2u) << c.what;
        EXPECT_EQ(made[1], "info -plist ") << c.what;
    }
}

// The image asset's question: every mount of one file, known by its device and inode under
// any name, or by its path where the listing gives no identity.
TEST_F(MountDmgTest, EveryMountOfAFileIsFoundByItsIdentity) {
    const std::string other = env_.base() + "/images/other.sqfs";
    const auto identity = [](const std::string& device, const std::string& inode) {
        return "<key>image-device</key><integer>" + device + "</integer><key>image-inode</key><integer>" + inode +
               "</integer>";
    };
    const auto entryWith = [](const std::string& path, const std::string& keys, const std::string& points) {
        std::string entities;
        for (const char point : points)
            entities += std::string("<dict><key>dev-entry</key><string>/dev/loop3</string><key>mount-point</key>") +
                        "<string>/mnt/" + point + "</string></dict>";
        return "<dict><key>image-path</key><string>" + path + "</string>" + keys + "<key>system-entities</key><array>" +
               entities + "</array></dict>";
    };
    const struct {
        const char* what;
        std::string images;
        bool usable;
        std::vector<std::string> mountPoints;
    } cases[] = {
        {"every mount of every entry",
         entryWith(image_, identity("7", "42"), "a") + entryWith(other, identity("7", "43"), "b") +
             entryWith(image_, identity("7", "42"), "cd"),
         true,
         {"/mnt/a", "/mnt/c", "/mnt/d"}},
        {"the same file under another name", entryWith(other, identity("7", "42"), "a"), true, {"/mnt/a"}},
        {"another file at the path", entryWith(image_, identity("7", "41"), "a"), true, {}},
        {"another device", entryWith(image_, identity("8", "42"), "a"), true, {}},
        {"no identity: by the path",
         entryWith(env_.base() + "/images/./packager.sqfs", "", "ab"),
         true,
         {"/mnt/a", "/mnt/b"}},
        {"no identity, deleted", entryWith(image_ + " (deleted)", "", "a"), true, {}},
        {"not listed", entryWith(other, "", "a"), true, {}},
        {"a device but no inode", entryWith(image_, "<key>image-device</key><integer>7</integer>", "a"), false, {}},
        {"an inode that is no number", entryWith(other, identity("7", "4x2"), "a"), false, {}},
        {"a negative device", entryWith(other, identity("-7", "42"), "a"), false, {}},
        {"an identity as a string",
         entryWith(image_, "<key>image-device</key><string>7</string><key>image-inode</key><integer>42</integer>", "a"),
         false,
         {}},
        {"entities not an array of the file",
         "<dict><key>image-path</key><string>" + image_ + "</string>" + identity("7", "42") +
             "<key>system-entities</key><string>x</string></dict>",
         false,
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> mountPoints = {"unchanged"};
        EXPECT_EQ(
            ZORUtils::mountPointsFromInfo(infoListing("<array>" + c.images + "</array>"), image_, 7, 42, mountPoints),
            c.usable);
        EXPECT_EQ(mountPoints, c.usable ? c.mountPoints : std::vector<std::string>{"unchanged"});
    }
    std::vector<std::string> mountPoints;
    EXPECT_FALSE(ZORUtils::mountPointsFromInfo("not a listing", image_, 7, 42, mountPoints));
    EXPECT_FALSE(ZORUtils::mountPointsFromInfo(infoListing("<dict/>"), image_, 7, 42, mountPoints));
}

TEST_F(MountDmgTest, AnImageAttachedAlreadyIsFoundWhereItIsMounted) {
    if (!fs::exists("/usr/bin/mksquashfs")) GTEST_SKIP() << "mksquashfs is not installed";
    const std::string source = env_.base() + "/source";
    fs::create_directories(source);
    test_support::writeFile(source + "/hello.txt", "hello");
    const std::string image = env_.base() + "/images/real.sqfs";
    int status = -1;
    std::string ignored;
    ASSERT_TRUE(platform::runProcessCapturingOutput(
        "/usr/bin/mksquashfs", {source, image, "-quiet", "-noappend", "-no-progress"}, ignored, status));
    ASSERT_EQ(status, 0);
    ScopedEnvironment tool(platform::kDiskImageToolVariable, DISK_IMAGE_TOOL);
    ScopedEnvironment state("BOOTSTRAP_DISK_IMAGE_STATE", env_.base() + "/state");

    const std::string first = env_.base() + "/first root";
    // Detached whatever happens, before the temporary folder goes.
    struct Detach {
        std::string point;
        ~Detach() {
            ZEZUUtils::FileUtils::UnmountDmgAtPath(point);
            umount2(point.c_str(), MNT_DETACH);
        }
    } detach{first};
    std::string mountPoint;
    const bool attached = ZORUtils::mountDmg(image, first, mountPoint);
    if (!attached && geteuid() != 0) GTEST_SKIP() << "this user cannot mount images here";
    ASSERT_TRUE(attached);
    EXPECT_EQ(mountPoint, first);
    EXPECT_EQ(test_support::readFile(first + "/hello.txt"), "hello");

    std::string again;
    EXPECT_TRUE(ZORUtils::mountDmg(env_.base() + "/images/../images/real.sqfs", env_.base() + "/second root", again));
    EXPECT_EQ(fs::canonical(again), fs::canonical(first));

    EXPECT_TRUE(ZEZUUtils::FileUtils::UnmountDmgAtPath(first));
    EXPECT_FALSE(ZORUtils::mountDmg(env_.base() + "/images/missing.sqfs", first, mountPoint));
    EXPECT_EQ(mountPoint, "");
}

}  // namespace

namespace {

// Standard error of this process, read back after a call: a helper's words must not land on it.
class StandardErrorCapture {
public:
    explicit StandardErrorCapture(const std::string& file) : file_(file) {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StandardErrorCapture() { restore(); }
    StandardErrorCapture(const StandardErrorCapture&) = delete;
    StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;
    std::string text() {
        restore();
        return test_support::readFile(file_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    std::string file_;
    int saved_ = -1;
};

// What the tool says when it fails is the caller's reason, and never reaches our standard error.
TEST_F(MountDmgTest, TheToolsReasonIsGivenAndKeptFromOurStandardError) {
    const struct {
        const char* what;
        std::string script;
        bool attached;
        std::string reason;
    } cases[] = {
        {"reason on two lines",
         "echo 'diskimage: attach failed - the image could not be mounted (mount: bad superblock)' >&2\n"
         "echo 'second line' >&2\nexit 1\n",
         false, "diskimage: attach failed - the image could not be mounted (mount: bad superblock) second line"},
        {"silent failure", "exit 3\n", false, "the disk-image tool ended with status 3"},
        {"attached", "echo 'nothing to report' >&2\nexit 0\n", true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        utilities_test::writeScript(
            tool_, "case \"$1\" in\n  info) cat \"" + env_.base() + "/listing\"; exit 0 ;;\nesac\n" + c.script);
        test_support::writeFile(env_.base() + "/listing", infoListing("<array/>"));
        ScopedEnvironment variable(platform::kDiskImageToolVariable, tool_);
        StandardErrorCapture capture(env_.base() + "/stderr");
        std::string mountPoint;
        std::string reason;
        EXPECT_EQ(ZORUtils::mountDmg(image_, mountRoot_, mountPoint, &reason), c.attached);
        std::string detachReason;
        EXPECT_EQ(ZORUtils::detachDmg(mountRoot_, detachReason), c.attached);
        EXPECT_EQ(capture.text(), "");
        EXPECT_EQ(reason, c.reason);
        EXPECT_EQ(detachReason, c.reason);
    }
    std::string reason;
    EXPECT_FALSE(ZORUtils::detachDmg("", reason));
    EXPECT_FALSE(reason.empty());
}

}  // namespace
