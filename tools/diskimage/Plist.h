// Property-list output of the disk-image tool.
#pragma once

#include <ostream>
#include <vector>

#include "tools/diskimage/Attachments.h"

namespace diskimage {

// { "system-entities": [ { "dev-entry", "mount-point" } ] } for one attach.
void writeAttachPlist(std::ostream& out, const Attachment& attachment);

// { "images": [ { "image-path", "image-device", "image-inode", "system-entities": [ ... ] } ] }
// for info; the device and inode of the file (st_dev, st_ino) only while it is at image-path.
void writeInfoPlist(std::ostream& out, const std::vector<Attachment>& attachments);

}  // namespace diskimage
