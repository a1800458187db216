// A temporary HOME and local root for one test.
#include "tests/support/TemporaryEnvironment.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace test_support {

std::string makeTemporaryFolder(const std::string& prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    return std::filesystem::canonical(buffer.data()).string();
}

void removeTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

TemporaryEnvironment::TemporaryEnvironment() {
    base_ = makeTemporaryFolder("bootstrap-test");
    home_ = base_ + "/home";
    localRoot_ = base_ + "/root";
    mountRoot_ = base_ + "/mnt";
    diskImageState_ = base_ + "/diskimage-state";
    std::filesystem::create_directories(home_);
    std::filesystem::create_directories(localRoot_);
    set("HOME", home_);
    set("BOOTSTRAP_LOCAL_ROOT", localRoot_);
    set("BOOTSTRAP_MOUNT_ROOT", mountRoot_);
    set("BOOTSTRAP_DISK_IMAGE_STATE", diskImageState_);
}

void TemporaryEnvironment::set(const std::string& name, const std::string& value) {
    SavedVariable saved{name, false, {}};
    if (const char* v = std::getenv(name.c_str())) {
        saved.had = true;
        saved.value = v;
    }
    saved_.push_back(saved);
    setenv(name.c_str(), value.c_str(), 1);
}

TemporaryEnvironment::~TemporaryEnvironment() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (it->had) setenv(it->name.c_str(), it->value.c_str(), 1); else unsetenv(it->name.c_str());
    }
    removeTree(base_);
}

}  // namespace test_support
