// A temporary HOME and local root for one test, removed and restored when it goes.
#pragma once

#include <string>

namespace test_support {

// Makes a fresh folder under $TMPDIR (or /tmp) with "home" and "root" inside, points
// HOME and BOOTSTRAP_LOCAL_ROOT at them, and puts the old values back on destruction.
class TemporaryEnvironment {
public:
    TemporaryEnvironment();
    ~TemporaryEnvironment();
    TemporaryEnvironment(const TemporaryEnvironment&) = delete;
    TemporaryEnvironment& operator=(const TemporaryEnvironment&) = delete;

    const std::string& base() const { return base_; }
    const std::string& home() const { return home_; }
    const std::string& localRoot() const { return localRoot_; }

private:
    std::string base_;
    std::string home_;
    std::string localRoot_;
    bool hadHome_ = false;
    std::string oldHome_;
    bool hadRoot_ = false;
    std::string oldRoot_;
};

// A fresh empty folder under $TMPDIR (or /tmp), removed by the caller.
std::string makeTemporaryFolder(const std::string& prefix);

// Removes a folder tree without following symbolic links.
void removeTree(const std::string& path);

}  // namespace test_support
