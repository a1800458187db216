// The image paths (and one image's device and inode) the disk-image listing seeds name and the fuzzer asks for.
#pragma once

namespace disk_image_listing {

inline constexpr const char* kImagePath = "/var/tmp/fuzz-downloads/packager.sqfs";
inline constexpr unsigned kImageDevice = 2049;
inline constexpr unsigned kImageInode = 131;
inline constexpr const char* kOtherImagePath = "/var/tmp/fuzz-downloads/../fuzz-downloads/notes.sqfs";

}  // namespace disk_image_listing
