// Which images are attached where: the mount table plus the tool's own records.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace diskimage {

// An image file as it was when it was attached: a file put at the same path later is another one.
struct ImageIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const ImageIdentity&) const = default;
};

struct Attachment {
    std::string imagePath;  // with " (deleted)" when the attached file is no longer at that path
    std::string mountPoint;
    std::string deviceEntry;     // the loop device, or the user-space file system's name
    std::string fileSystemType;  // "squashfs" or a fuse type
    bool imagePresent = false;   // imagePath names the attached file itself; identity is its
    ImageIdentity identity;
    bool recorded = false;  // attached by this tool, by its records
};

// The folder of the records: $BOOTSTRAP_DISK_IMAGE_STATE, else /run/bootstrapper-diskimage for
// root, else $XDG_RUNTIME_DIR/bootstrapper-diskimage, else /tmp/bootstrapper-diskimage-<uid>.
std::string stateFolder();

// The squashfs mounts of this machine whose image is known; records of mounts that are gone
// are dropped on the way.
std::vector<Attachment> listAttachments();

// Notes that the image (path and identity) is mounted at mountPoint (a user-space mount does not
// say which file it serves), or forgets the record of mountPoint.
bool recordAttachment(const std::string& imagePath, const ImageIdentity& identity, const std::string& mountPoint);
bool forgetAttachment(const std::string& mountPoint);

}  // namespace diskimage
