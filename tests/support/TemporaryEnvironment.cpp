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
    std::filesystem::create_directories(home_);
    std::filesystem::create_directories(localRoot_);
    if (const char* v = std::getenv("HOME")) { hadHome_ = true; oldHome_ = v; }
    if (const char* v = std::getenv("BOOTSTRAP_LOCAL_ROOT")) { hadRoot_ = true; oldRoot_ = v; }
    setenv("HOME", home_.c_str(), 1);
    setenv("BOOTSTRAP_LOCAL_ROOT", localRoot_.c_str(), 1);
}

TemporaryEnvironment::~TemporaryEnvironment() {
    if (hadHome_) setenv("HOME", oldHome_.c_str(), 1); else unsetenv("HOME");
    if (hadRoot_) setenv("BOOTSTRAP_LOCAL_ROOT", oldRoot_.c_str(), 1); else unsetenv("BOOTSTRAP_LOCAL_ROOT");
    removeTree(base_);
}

}  // namespace test_support
