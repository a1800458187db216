// Writes "info -plist" listings with the disk-image tool's own writer, as fuzzing seeds: none, one and two images.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tests/bootstrapper/support/fuzz/DiskImageListing.h"
#include "tools/diskimage/Plist.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: disk_image_listing_seeds FOLDER\n";
        return 2;
    }
    diskimage::Attachment packager;
    packager.imagePath = disk_image_listing::kImagePath;
    packager.mountPoint = "/var/tmp/fuzz-mnt/one";
    packager.deviceEntry = "/dev/loop7";
    packager.fileSystemType = "squashfs";
    packager.imagePresent = true;
    packager.identity = {disk_image_listing::kImageDevice, disk_image_listing::kImageInode};
    diskimage::Attachment notes;
    notes.imagePath = disk_image_listing::kOtherImagePath;
    notes.mountPoint = "/var/tmp/fuzz-mnt/two";
    notes.deviceEntry = "squashfuse";
    notes.fileSystemType = "fuse.squashfuse";
    const std::vector<std::vector<diskimage::Attachment>> listings = {{}, {packager}, {notes, packager}};
    for (size_t i = 0; i < listings.size(); ++i) {
        std::ofstream out(std::string(argv[1]) + "/info-" + std::to_string(i) + ".plist");
        diskimage::writeInfoPlist(out, listings[i]);
        if (!out) return 1;
    }
    std::ofstream attach(std::string(argv[1]) + "/attach.plist");
    diskimage::writeAttachPlist(attach, packager);
    return attach ? 0 : 1;
}
