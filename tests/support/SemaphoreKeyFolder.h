// A System V key file of the test's own, its sets removed before the test and after it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "foundation/locks/SystemVSemaphoreSet.h"
#include "tests/support/FileContents.h"
#include "tests/support/TemporaryEnvironment.h"

namespace test_support {

// The key file lives in a fresh temporary folder, so no test can meet another's set or a real
// run's; the sets of the given project ids are removed at both ends, so none is left behind.
class SemaphoreKeyFolder {
public:
    SemaphoreKeyFolder(const std::string& prefix, std::vector<int> projectIds)
        : folder_(makeTemporaryFolder(prefix)), keyPath_(folder_ + "/key"), projectIds_(std::move(projectIds)) {
        EXPECT_TRUE(writeFile(keyPath_, "")) << keyPath_;
        removeSets();
    }
    ~SemaphoreKeyFolder() {
        removeSets();
        removeTree(folder_);
    }
    SemaphoreKeyFolder(const SemaphoreKeyFolder&) = delete;
    SemaphoreKeyFolder& operator=(const SemaphoreKeyFolder&) = delete;

    const std::string& folder() const { return folder_; }
    const std::string& keyPath() const { return keyPath_; }

    void removeSets() const {
        for (const int id : projectIds_) EXPECT_TRUE(foundation::SystemVSemaphoreSet::removeKey(keyPath_, id)) << id;
    }

private:
    std::string folder_;
    std::string keyPath_;
    std::vector<int> projectIds_;
};

}  // namespace test_support
