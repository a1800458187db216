// Which images are attached where: the mount table plus the tool's own records.
#pragma once

#include <string>
#include <vector>

namespace diskimage {

struct Attachment {
    std::string imagePath;
    std::string mountPoint;
    std::string deviceEntry;     // the loop device, or the user-space file system's name
    std::string fileSystemType;  // "squashfs" or a fuse type
};

// The folder of the records: $BOOTSTRAP_DISK_IMAGE_STATE, else /run/bootstrapper-diskimage for
// root, else $XDG_RUNTIME_DIR/bootstrapper-diskimage, else /tmp/bootstrapper-diskimage-<uid>.
std::string stateFolder();

// The squashfs mounts of this machine whose image is known; records of mounts that are gone
// are dropped on the way.
std::vector<Attachment> listAttachments();

// Notes that image is mounted at mountPoint (a user-space mount does not say which file it
// serves), or forgets the record of mountPoint.
bool recordAttachment(const std::string& imagePath, const std::string& mountPoint);
bool forgetAttachment(const std::string& mountPoint);

}  // namespace diskimage
