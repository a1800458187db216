// Assets and actions: the factories' rules, running actions in order, and the install action's launch.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "bootstrapper/manifest/ActionFactory.h"
#include "bootstrapper/manifest/AssetFactory.h"
#include "bootstrapper/manifest/BinaryAsset.h"
#include "bootstrapper/manifest/CompressedAssetBase.h"
#include "bootstrapper/manifest/ExtractAction.h"
#include "bootstrapper/manifest/ZamInstallAction.h"
#include "tests/support/LogFacadeHome.h"
#include "tests/support/RecordingLogTarget.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

std::string actionXml(const std::string& name, const std::string& type, const std::string& sequence,
                      const std::vector<std::pair<std::string, std::string>>& data = {}) {
    std::ostringstream out;
    out << "<action>";
    if (name != "(none)") out << "<name>" << name << "</name>";
    if (!type.empty()) out << "<type>" << type << "</type>";
    if (sequence != "(none)") out << "<sequence_no>" << sequence << "</sequence_no>";
    out << "<action_data>";
    for (const auto& [key, value] : data) {
        out << "<data>";
        if (key != "(none)") out << "<key>" << key << "</key>";
        if (value != "(none)") out << "<value>" << value << "</value>";
        out << "</data>";
    }
    out << "</action_data></action>";
    return out.str();
}

struct AssetFields {
    std::string type = "BINARY";
    std::string validation = "<validation_data>/notes.bin.xml</validation_data>";
    std::string path = "<asset_path>/notes.bin</asset_path>";
    std::string sequence = "<sequence_no>2</sequence_no>";
    std::string size = "<asset_size>150000</asset_size>";
    std::vector<std::string> actions;
};

std::string assetXml(const AssetFields& f) {
    std::ostringstream out;
    out << "<asset>";
    if (!f.type.empty()) out << "<asset_type>" << f.type << "</asset_type>";
    out << f.validation << f.path << f.sequence << f.size << "<actions>";
    for (const std::string& action : f.actions) out << action;
    out << "</actions></asset>";
    return out.str();
}

// A compressed asset whose content is a folder of the test's; counts its extractions.
class FolderAsset : public CompressedAssetBase {
public:
    explicit FolderAsset(std::string folder, int answer = 0)
        : CompressedAssetBase(kDiskImageAssetType, "Asset"), folder_(std::move(folder)), answer_(answer) {}
    int extract() override {
        ++extractions;
        if (answer_ == 0) extractedPath_ = folder_;
        return answer_;
    }
    int extractions = 0;

private:
    std::string folder_;
    int answer_;
};

std::vector<std::string> readArguments(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> arguments;
    size_t start = 0;
    for (size_t end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1)
        arguments.push_back(bytes.substr(start, end - start));
    return arguments;
}

class AssetActionTest : public testing::Test {
protected:
    void SetUp() override {
        content = environment.base() + "/content";
        mkdir(content.c_str(), 0755);
        mkdir((content + "/bin").c_str(), 0755);
        recorded = environment.base() + "/recorded";
        script("/bin/record", "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" + recorded + "'\npwd > '" +
                                  recorded + ".pwd'\nexit 0\n");
        script("/bin/fail", "exit 3\n");
        script("/bin/killed", "kill -9 $$\n");
        // Fails until the marker goes, for restart cases.
        script("/bin/once", "[ -e '" + environment.base() + "/marker' ] && exit 5\nexit 0\n");
        std::ofstream(content + "/bin/readme.txt") << "not a program\n";
        symlink("/bin/true", (content + "/bin/escape").c_str());
        // An installer that is a link to a program elsewhere in the content; the program says
        // where it runs and as what.
        mkdir((content + "/Installer").c_str(), 0755);
        mkdir((content + "/Tools").c_str(), 0755);
        script("/Tools/real-install",
               "pwd > '" + recorded + ".pwd'\nprintf '%s' \"$0\" > '" + recorded + ".zero'\nexit 0\n");
        symlink("../Tools/real-install", (content + "/Installer/install").c_str());
        // A folder link out of the content whose installer links back in.
        const std::string outside = environment.base() + "/outside";
        mkdir(outside.c_str(), 0755);
        symlink("../content/Tools/real-install", (outside + "/install").c_str());
        symlink(outside.c_str(), (content + "/Elsewhere").c_str());
    }
    void script(const std::string& name, const std::string& body) {
        const std::string path = content + name;
        std::ofstream(path) << "#!/bin/sh\n" << body;
        chmod(path.c_str(), 0755);
    }
    std::unique_ptr<ActionBase> install(const std::vector<std::pair<std::string, std::string>>& data,
                                        const std::vector<std::string>& installerArguments = {}) {
        ActionFactory factory;
        factory.setInstallerArguments(installerArguments);
        return factory.create(actionXml("install", "msp", "2", data));
    }

    test_support::TemporaryEnvironment environment;
    test_support::RecordingLogTarget log;
    std::string content;
    std::string recorded;
};

TEST_F(AssetActionTest, ActionFactoryTable) {
    const struct {
        const char* name;
        std::string xml;
        bool made;
        uint32_t type;
        const char* warning;
    } cases[] = {
        {"extract", actionXml("extract", "", "1"), true, kExtractActionType, nullptr},
        {"extract with a type", actionXml("extract", "whatever", "1"), true, kExtractActionType, nullptr},
        {"install msp", actionXml("install", "msp", "2"), true, kInstallActionType, nullptr},
        {"Install", actionXml("Install", "msp", "2"), false, 0, "The action name Install does not correspond"},
        {"install pkg", actionXml("install", "pkg", "2"), false, 0,
         "The action type pkg does not correspond to any install action type"},
        {"install MSP", actionXml("install", "MSP", "2"), false, 0, "The action type MSP does not correspond"},
        {"install without a type", actionXml("install", "", "2"), false, 0, "does not correspond to any install"},
        {"no name", actionXml("(none)", "", "1"), false, 0, nullptr},
        {"sequence 0", actionXml("extract", "", "0"), false, 0, "Invalid sequence number specified for action"},
        {"sequence -3", actionXml("extract", "", "-3"), false, 0, "Invalid sequence number specified for action"},
        {"no sequence", actionXml("extract", "", "(none)"), false, 0, "Sequence number could not be determined"},
        {"unparsable", "<action>", false, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        ActionFactory factory;
        std::unique_ptr<ActionBase> action = factory.create(c.xml);
        ASSERT_EQ(static_cast<bool>(action), c.made);
        if (action) {
            EXPECT_EQ(action->getType(), c.type);
            EXPECT_EQ(action->getResult(), 0);
        }
        if (c.warning != nullptr) {
            EXPECT_TRUE(log.contains(zezu::WARN, c.warning));
        }
        if (!c.made && c.warning != nullptr && std::string(c.warning).find("sequence") != std::string::npos) {
            EXPECT_TRUE(log.contains(zezu::WARN, "The action initialization failed"));
        }
    }
}

TEST_F(AssetActionTest, ActionDataKeepsEqualKeysInDocumentOrder) {
    ActionFactory factory;
    std::unique_ptr<ActionBase> action = factory.create(actionXml(
        "install", "msp", "7",
        {{"argument", "b"}, {"executable", "/x"}, {"(none)", "skipped"}, {"argument", "a"}, {"argument", "(none)"}}));
    ASSERT_TRUE(action);
    EXPECT_EQ(action->getSequenceNo(), 7u);
    std::vector<std::pair<std::string, std::string>> data(action->getActionData().begin(),
                                                          action->getActionData().end());
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"argument", "b"}, {"argument", "a"}, {"argument", ""}, {"executable", "/x"}};
    EXPECT_EQ(data, expected);
}

TEST_F(AssetActionTest, AssetFactoryTable) {
    const std::string extract = actionXml("extract", "", "1");
    const std::string installAction = actionXml("install", "msp", "2", {{"executable", "/Installer/install"}});
    const auto with = [](auto change) {
        AssetFields fields;
        change(fields);
        return assetXml(fields);
    };
    const struct {
        const char* name;
        std::string xml;
        bool made;
        const char* warning;
    } cases[] = {
        {"binary without actions", with([](AssetFields&) {}), true, nullptr},
        {"disk image with two actions", with([&](AssetFields& f) {
             f.type = "DMG";
             f.actions = {installAction, extract};
         }),
         true, nullptr},
        {"dmg", with([](AssetFields& f) { f.type = "dmg"; }), false,
         "The type dmg does not correspond to any asset type"},
        {"no type", with([](AssetFields& f) { f.type = ""; }), false, nullptr},
        {"no validation data", with([](AssetFields& f) { f.validation = ""; }), false,
         "Validation data not found for asset."},
        {"no asset path", with([](AssetFields& f) { f.path = ""; }), false, "Asset path not found for asset."},
        {"no sequence", with([](AssetFields& f) { f.sequence = ""; }), false,
         "Sequence number is not found or is invalid"},
        {"sequence 0", with([](AssetFields& f) { f.sequence = "<sequence_no>0</sequence_no>"; }), false,
         "Sequence number (0) is invalid"},
        {"no size", with([](AssetFields& f) { f.size = ""; }), false, "Asset size not specified for asset"},
        {"size 0", with([](AssetFields& f) { f.size = "<asset_size>0</asset_size>"; }), false,
         "Specified asset size (0) is invalid"},
        {"size not a number", with([](AssetFields& f) { f.size = "<asset_size>big</asset_size>"; }), false,
         "Specified asset size (big) is invalid"},
        {"negative size", with([](AssetFields& f) { f.size = "<asset_size>-1</asset_size>"; }), false,
         "Specified asset size (-1) is invalid"},
        {"unknown action", with([](AssetFields& f) { f.actions = {actionXml("Install", "msp", "1")}; }), false,
         "Actions specified for asset are invalid"},
        {"install of another type", with([](AssetFields& f) { f.actions = {actionXml("install", "pkg", "1")}; }), false,
         "Actions specified for asset are invalid"},
        {"duplicate action numbers", with([&](AssetFields& f) {
             f.actions = {extract, actionXml("install", "msp", "1")};
         }),
         false, "Actions specified for asset are invalid"},
        {"unparsable", "<asset><asset_type>DMG</asset_type>", false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        AssetFactory factory;
        std::unique_ptr<AssetBase> asset = factory.create(c.xml);
        ASSERT_EQ(static_cast<bool>(asset), c.made);
        if (c.warning != nullptr) {
            EXPECT_TRUE(log.contains(zezu::WARN, c.warning));
        }
        if (!c.made && c.warning != nullptr && std::string(c.warning).find("type dmg") == std::string::npos) {
            EXPECT_TRUE(log.contains(zezu::WARN, "The asset initialization failed"));
        }
    }

    AssetFactory factory;
    std::unique_ptr<AssetBase> asset = factory.create(with([&](AssetFields& f) {
        f.type = "DMG";
        f.size = "<asset_size>5000000000</asset_size>";
        f.actions = {installAction, extract};
    }));
    ASSERT_TRUE(asset);
    EXPECT_EQ(asset->getAssetType(), kDiskImageAssetType);
    EXPECT_NE(dynamic_cast<CompressedAssetBase*>(asset.get()), nullptr);
    EXPECT_EQ(asset->getSequenceNo(), 2u);
    EXPECT_EQ(asset->getAssetSize(), 5000000000u);
    EXPECT_EQ(asset->getAssetPath(), "/notes.bin");
    EXPECT_EQ(asset->getValidationDataPath(), "/notes.bin.xml");
    EXPECT_EQ(asset->getActionCount(), 2u);
}

TEST_F(AssetActionTest, AssetWithoutActionsIsDoneAtOnce) {
    AssetFactory factory;
    std::unique_ptr<AssetBase> asset = factory.create(assetXml(AssetFields{}));
    ASSERT_TRUE(asset);
    int32_t type = -7;
    int32_t result = -7;
    EXPECT_EQ(asset->runActions(type, result), kActionDone);
    EXPECT_EQ(type, -7);
    EXPECT_EQ(result, -7);
}

TEST_F(AssetActionTest, ExtractOnAPlainAssetFails) {
    AssetFactory factory;
    AssetFields fields;
    fields.actions = {actionXml("extract", "", "1")};
    std::unique_ptr<AssetBase> asset = factory.create(assetXml(fields));
    ASSERT_TRUE(asset);
    int32_t type = 0;
    int32_t result = -7;
    EXPECT_EQ(asset->runActions(type, result), kActionFailed);
    EXPECT_EQ(type, static_cast<int32_t>(kExtractActionType));
    EXPECT_EQ(result, 0);
    ExtractAction extract;
    EXPECT_EQ(extract.execute(nullptr), kActionFailed);
}

TEST_F(AssetActionTest, InstallArgumentsComeInOrder) {
    FolderAsset asset(content);
    ASSERT_EQ(asset.extract(), 0);
    std::unique_ptr<ActionBase> action = install({{"argument", "--mode=silent"},
                                                  {"executable", "/bin/record"},
                                                  {"argument", "two words \"q\" $HOME;$(id)"},
                                                  {"argument", ""}},
                                                 {"--sessionId=S", "--userId=U"});
    ASSERT_TRUE(action);
    EXPECT_EQ(action->execute(&asset), kActionDone);
    EXPECT_EQ(action->getResult(), 0);
    const std::vector<std::string> expected = {"--mode=silent", "two words \"q\" $HOME;$(id)", "", "--sessionId=S",
                                               "--userId=U"};
    EXPECT_EQ(readArguments(recorded), expected);
    std::ifstream pwd(recorded + ".pwd");
    std::string folder;
    std::getline(pwd, folder);
    EXPECT_EQ(folder, content + "/bin") << "the installer runs in its own folder";
}

TEST_F(AssetActionTest, InstallerPathAndOutcomeTable) {
    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> data;
        int32_t result;
        const char* warning;
        // A case without a warning is done, and its installer ran as this path in its folder.
        const char* named = nullptr;
    } cases[] = {
        {"leading slash", {{"executable", "/bin/fail"}}, 3, "Launch of ZSU failed with return code (3)"},
        {"no leading slash", {{"executable", "bin/fail"}}, 3, "Launch of ZSU failed with return code (3)"},
        {"killed", {{"executable", "/bin/killed"}}, 128 + 9, "Launch of ZSU failed with return code (137)"},
        {"empty", {{"executable", ""}}, 1, "Launch of ZSU failed! (1)"},
        {"missing", {{"executable", "/bin/missing"}}, 1, "Launch of ZSU failed! (1)"},
        {"parent component", {{"executable", "/bin/../bin/fail"}}, 1, "Launch of ZSU failed! (1)"},
        {"out of the content", {{"executable", "/../../x"}}, 1, "Launch of ZSU failed! (1)"},
        {"link out of the content", {{"executable", "/bin/escape"}}, 1, "Launch of ZSU failed! (1)"},
        {"folder link out of the content and back",
         {{"executable", "Elsewhere/install"}},
         1,
         "Launch of ZSU failed! (1)"},
        {"not executable", {{"executable", "/bin/readme.txt"}}, 2, "Launch of ZSU failed! (2)"},
        {"the content folder itself", {}, 2, "Launch of ZSU failed! (2)"},
        {"link to a program inside the content",
         {{"executable", "Installer/install"}},
         0,
         nullptr,
         "/Installer/install"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        unlink((recorded + ".pwd").c_str());
        unlink((recorded + ".zero").c_str());
        FolderAsset asset(content);
        ASSERT_EQ(asset.extract(), 0);
        std::unique_ptr<ActionBase> action = install(c.data);
        ASSERT_TRUE(action);
        EXPECT_EQ(action->execute(&asset), c.warning != nullptr ? kActionFailed : kActionDone);
        EXPECT_EQ(action->getResult(), c.result);
        if (c.warning != nullptr) {
            EXPECT_TRUE(log.contains(zezu::WARN, c.warning));
            continue;
        }
        std::string folder;
        std::getline(std::ifstream(recorded + ".pwd"), folder);
        std::string zero;
        std::getline(std::ifstream(recorded + ".zero"), zero);
        const std::string named = content + c.named;
        EXPECT_EQ(folder, named.substr(0, named.rfind('/'))) << "the installer runs in its named folder";
        EXPECT_EQ(zero, named) << "the installer runs as named";
    }

    // Not extracted: no content to launch from.
    FolderAsset notExtracted(content, 2);
    std::unique_ptr<ActionBase> action = install({{"executable", "/bin/record"}});
    EXPECT_EQ(action->execute(&notExtracted), kActionFailed);
    EXPECT_EQ(action->getResult(), 1);
}

TEST_F(AssetActionTest, BinaryAssetLaunchesItsFileAndKeepsIt) {
    const std::string file = content + "/bin/record";
    {
        BinaryAsset asset;
        asset.setLocalPath(file);
        std::unique_ptr<ActionBase> action = install({{"argument", "x"}}, {"--sessionId=S"});
        EXPECT_EQ(action->execute(&asset), kActionDone);
        EXPECT_EQ(readArguments(recorded), (std::vector<std::string>{"x", "--sessionId=S"}));

        chmod(file.c_str(), 0644);
        EXPECT_EQ(action->execute(&asset), kActionFailed) << "no mode is added to a downloaded file";
        EXPECT_EQ(action->getResult(), 2);

        chmod(file.c_str(), 0755);
        EXPECT_EQ(action->execute(&asset), kActionDone);
        EXPECT_EQ(action->getResult(), 2) << "the result is the last failed run's";
    }
    struct stat info {};
    EXPECT_EQ(stat(file.c_str(), &info), 0) << "a binary asset leaves its file";
}

TEST_F(AssetActionTest, RunActionsRestartsFromTheFirstAfterAFailure) {
    const std::string marker = environment.base() + "/marker";
    std::ofstream(marker) << "fail";
    FolderAsset asset(content);
    asset.setInstallerArguments({"--sessionId=S"});
    ASSERT_TRUE(asset.initWithXML(assetXml([&] {
        AssetFields f;
        f.type = "DMG";
        f.actions = {actionXml("install", "msp", "5", {{"executable", "/bin/once"}}), actionXml("extract", "", "1"),
                     actionXml("install", "msp", "9", {{"executable", "/bin/record"}})};
        return f;
    }())));
    int32_t type = 0;
    int32_t result = 0;
    EXPECT_EQ(asset.runActions(type, result), kActionFailed);
    EXPECT_EQ(type, static_cast<int32_t>(kInstallActionType));
    EXPECT_EQ(result, 5);
    EXPECT_EQ(asset.extractions, 1);

    unlink(marker.c_str());
    EXPECT_EQ(asset.runActions(type, result), kActionDone);
    EXPECT_EQ(asset.extractions, 2) << "the restart begins with the first action";
    EXPECT_EQ(result, 0);
    EXPECT_EQ(readArguments(recorded), std::vector<std::string>{"--sessionId=S"});
    EXPECT_EQ(asset.runActions(type, result), kActionDone) << "the actions are done";
    EXPECT_EQ(asset.extractions, 2);
}

TEST_F(AssetActionTest, ActionInProgressRunsAgainOnTheNextCall) {
    FolderAsset asset(content, 1);
    ASSERT_TRUE(asset.initWithXML(assetXml([&] {
        AssetFields f;
        f.actions = {actionXml("extract", "", "1")};
        return f;
    }())));
    int32_t type = 0;
    int32_t result = 0;
    EXPECT_EQ(asset.runActions(type, result), kActionInProgress);
    EXPECT_EQ(asset.runActions(type, result), kActionInProgress);
    EXPECT_EQ(asset.extractions, 2);
}

}  // namespace
