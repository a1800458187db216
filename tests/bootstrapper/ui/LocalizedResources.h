// A temporary resources folder with one locale's string table, for tests that look texts up.
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include <stdlib.h>
#include <sys/stat.h>

#include "platform/UserLanguages.h"
#include "tests/support/TemporaryEnvironment.h"
#include "tools/stringtable/StringTableWriter.h"

namespace test_support {

// Writes <folder>/Dictionary/<locale>/stringTable.zdct and points BOOTSTRAP_RESOURCES_FOLDER at
// the folder while it lives.
class LocalizedResources {
public:
    LocalizedResources(const std::string& locale, const std::vector<stringtable::Entry>& entries)
        : folder_(makeTemporaryFolder("bootstrapper-ui-resources")) {
        const std::string dictionary = folder_ + "/Dictionary";
        ::mkdir(dictionary.c_str(), 0700);
        ::mkdir((dictionary + "/" + locale).c_str(), 0700);
        std::ofstream(dictionary + "/" + locale + "/stringTable.zdct", std::ios::binary)
            << stringtable::writeVersion2(entries);
        if (const char* old = ::getenv("BOOTSTRAP_RESOURCES_FOLDER")) {
            hadOld_ = true;
            old_ = old;
        }
        ::setenv("BOOTSTRAP_RESOURCES_FOLDER", folder_.c_str(), 1);
    }
    ~LocalizedResources() {
        if (hadOld_) {
            ::setenv("BOOTSTRAP_RESOURCES_FOLDER", old_.c_str(), 1);
        } else {
            ::unsetenv("BOOTSTRAP_RESOURCES_FOLDER");
        }
        removeTree(folder_);
    }
    LocalizedResources(const LocalizedResources&) = delete;
    LocalizedResources& operator=(const LocalizedResources&) = delete;

private:
    std::string folder_;
    bool hadOld_ = false;
    std::string old_;
};

// The user's languages as a test gives them.
class FixedUserLanguages : public platform::UserLanguages {
public:
    explicit FixedUserLanguages(std::string locale) : locale_(std::move(locale)) {}
    platform::LanguagePreferences read() const override { return {locale_, {locale_}}; }

private:
    std::string locale_;
};

}  // namespace test_support
