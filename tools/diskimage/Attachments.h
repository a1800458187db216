// Which images are attached where: the mount table plus the tool's own records.
#pragma once

#include <sys/types.h>

#include <optional>
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
    // With " (deleted)" when the attached file is no longer at that path, " (not connected)" when
    // the mount's squashfuse process is gone; empty for a user-space mount no record names.
    std::string imagePath;
    std::string mountPoint;
    std::string deviceEntry;     // the loop device, or the user-space file system's name
    std::string fileSystemType;  // "squashfs" or a fuse type
    bool imagePresent = false;   // imagePath names the attached file itself; identity is its
    ImageIdentity identity;
    bool recorded = false;        // attached by this tool, by its records
    bool userSpace = false;       // served by a squashfuse process, not a loop device
    std::optional<uid_t> userId;  // a user-space mount's user
    // False when the mount point answers ENOTCONN (its squashfuse died); asked of recorded mounts.
    bool answering = true;
};

// The folder of the records: $BOOTSTRAP_DISK_IMAGE_STATE, else /run/bootstrapper-diskimage for
// root, else $XDG_RUNTIME_DIR/bootstrapper-diskimage, else /tmp/bootstrapper-diskimage-<uid>.
std::string stateFolder();

// The squashfs mounts of this machine: every loop mount, and every user-space one, its image
// known only from a record (whether it answers, too); records of mounts that are gone are
// dropped on the way.
std::vector<Attachment> listAttachments();

// False only when the mount point answers ENOTCONN: the user-space server behind it is gone.
bool answers(const std::string& mountPoint);

// Whether the attachment is one left by an attach of this user's never detached (a busy detach,
// a killed caller, records lost meanwhile), which an attach at its mount point detaches first.
bool isStale(const Attachment& attachment);

// Notes that the image (path and identity) is mounted at mountPoint (a user-space mount does not
// say which file it serves), or forgets the record of mountPoint; false with why when the
// records cannot be written.
bool recordAttachment(const std::string& imagePath, const ImageIdentity& identity, const std::string& mountPoint,
                      std::string& why);
bool forgetAttachment(const std::string& mountPoint);

}  // namespace diskimage
