// A temporary HOME and local root for one test, removed and restored when it goes.
#pragma once

#include <string>
#include <vector>

namespace test_support {

// Makes a fresh folder under $TMPDIR (or /tmp) with "home" and "root" inside and points HOME
// and BOOTSTRAP_LOCAL_ROOT at them; points BOOTSTRAP_MOUNT_ROOT at "mnt" and
// BOOTSTRAP_DISK_IMAGE_STATE at "diskimage-state" there (neither made: the disk-image tool
// makes them as it wants them), so that parallel tests never share a mount point or the
// tool's records. The old values come back on destruction.
class TemporaryEnvironment {
public:
    TemporaryEnvironment();
    ~TemporaryEnvironment();
    TemporaryEnvironment(const TemporaryEnvironment&) = delete;
    TemporaryEnvironment& operator=(const TemporaryEnvironment&) = delete;

    const std::string& base() const { return base_; }
    const std::string& home() const { return home_; }
    const std::string& localRoot() const { return localRoot_; }
    const std::string& mountRoot() const { return mountRoot_; }
    const std::string& diskImageState() const { return diskImageState_; }

private:
    // One variable set for the object's life; the old value (or its absence) comes back.
    struct SavedVariable {
        std::string name;
        bool had = false;
        std::string value;
    };
    void set(const std::string& name, const std::string& value);

    std::string base_;
    std::string home_;
    std::string localRoot_;
    std::string mountRoot_;
    std::string diskImageState_;
    std::vector<SavedVariable> saved_;
};

// A fresh empty folder under $TMPDIR (or /tmp), removed by the caller.
std::string makeTemporaryFolder(const std::string& prefix);

// Removes a folder tree without following symbolic links.
void removeTree(const std::string& path);

}  // namespace test_support
