// diskimage: attach, list and detach squashfs disk images.
//   diskimage attach <image> [-mountpoint <folder>] [-plist] [-quiet] [-readonly] [-noverify]
//                    [-noautoopen] [-nobrowse] [-noautofsck]
//   diskimage info [-plist]
//   diskimage detach <mount point or device> [-quiet] [-force]
// Root mounts with a loop device; anyone else (or root without loop devices) with squashfuse.
#include "platform/MountTable.h"
#include "platform/ProcessLauncher.h"
#include "tools/diskimage/Attachments.h"
#include "tools/diskimage/Plist.h"

#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>
#include <set>

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

int usage() {
    std::cerr << "usage: diskimage attach <image> [-mountpoint <folder>] [-plist] [-quiet] [options]\n"
                 "       diskimage info [-plist]\n"
                 "       diskimage detach <mount point> [-quiet] [-force]\n";
    return kUsage;
}

int fail(const std::string& verb, const std::string& why) {
    std::cerr << "diskimage: " << verb << " failed - " << why << "\n";
    return kFailed;
}

std::optional<std::string> realPath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return std::nullopt;
    std::string result(resolved);
    free(resolved);
    return result;
}

std::optional<std::string> findProgram(const char* name) {
    for (const char* folder : {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/", "/usr/local/bin/"}) {
        std::string path = std::string(folder) + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return std::nullopt;
}

bool makeFolders(const std::string& path) {
    std::string current;
    size_t at = 0;
    while (at != std::string::npos) {
        size_t slash = path.find('/', at + 1);
        current = path.substr(0, slash);
        at = slash;
        if (current.empty()) continue;
        if (mkdir(current.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Why a mount point must not be used, or nothing: a symbolic link (a mount there would land
// wherever it points), anything but a folder, or a folder of another user.
std::optional<std::string> unsafeMountPoint(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();  // "link/" would follow the link
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return "cannot inspect mount point " + path + ": " + std::strerror(errno);
    if (S_ISLNK(st.st_mode)) return "mount point " + path + " is a symbolic link";
    if (!S_ISDIR(st.st_mode)) return "mount point " + path + " is not a folder";
    if (st.st_uid != geteuid()) return "mount point " + path + " belongs to another user";
    return std::nullopt;
}

bool runQuietly(const std::string& program, const std::vector<std::string>& arguments) {
    int status = -1;
    return platform::runProcess(program, arguments, status) && status == 0;
}

std::optional<platform::MountEntry> mountAt(const std::string& point) {
    for (const auto& entry : platform::currentMounts())
        if (entry.mountPoint == point) return entry;
    return std::nullopt;
}

int attach(const std::vector<std::string>& arguments) {
    static const std::set<std::string> ignored = {"-readonly", "-noverify", "-noautoopen", "-nobrowse",
                                                  "-noautofsck"};
    std::string image, mountPoint;
    bool plist = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "-mountpoint" && i + 1 < arguments.size()) {
            mountPoint = arguments[++i];
        } else if (argument == "-plist") {
            plist = true;
        } else if (argument == "-quiet" || ignored.count(argument)) {
        } else if (!argument.empty() && argument[0] != '-' && image.empty()) {
            image = argument;
        } else {
            return usage();
        }
    }
    if (image.empty()) return usage();
    auto resolvedImage = realPath(image);
    struct stat st {};
    if (!resolvedImage || stat(resolvedImage->c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return fail("attach", "no image at " + image);
    for (const auto& attachment : diskimage::listAttachments())
        if (attachment.imagePath == *resolvedImage)
            return fail("attach", "image already attached at " + attachment.mountPoint);

    if (mountPoint.empty()) {
        char pattern[] = "/tmp/diskimage-XXXXXX";
        if (!mkdtemp(pattern)) return fail("attach", std::strerror(errno));
        mountPoint = pattern;
    } else if (!makeFolders(mountPoint)) {
        return fail("attach", "cannot make mount point " + mountPoint);
    }
    auto resolvedPoint = realPath(mountPoint);
    if (!resolvedPoint) return fail("attach", "cannot resolve mount point " + mountPoint);
    if (mountAt(*resolvedPoint)) return fail("attach", "something is mounted at " + *resolvedPoint);
    // Checked last, so that a link put in place of the folder meanwhile is still refused.
    if (auto refusal = unsafeMountPoint(mountPoint)) return fail("attach", *refusal);

    bool mounted = false;
    if (geteuid() == 0) {
        if (auto mount = findProgram("mount"))
            mounted = runQuietly(*mount, {"-t", "squashfs", "-o", "loop,ro,nodev,nosuid", *resolvedImage,
                                          *resolvedPoint});
    }
    if (!mounted) {
        if (auto squashfuse = findProgram("squashfuse"))
            mounted = runQuietly(*squashfuse, {"-o", "ro", *resolvedImage, *resolvedPoint});
    }
    auto entry = mountAt(*resolvedPoint);
    if (!mounted || !entry) return fail("attach", "the image could not be mounted");
    diskimage::recordAttachment(*resolvedImage, *resolvedPoint);
    if (plist) diskimage::writeAttachPlist(std::cout, {*resolvedImage, *resolvedPoint, entry->source, entry->fileSystemType});
    return 0;
}

int info(const std::vector<std::string>& arguments) {
    bool plist = false;
    for (const auto& argument : arguments) {
        if (argument != "-plist") return usage();
        plist = true;
    }
    const auto attachments = diskimage::listAttachments();
    if (plist) {
        diskimage::writeInfoPlist(std::cout, attachments);
        return 0;
    }
    for (const auto& attachment : attachments)
        std::cout << "image-path  : " << attachment.imagePath << "\n"
                  << attachment.deviceEntry << "\t" << attachment.mountPoint << "\n";
    return 0;
}

int detach(const std::vector<std::string>& arguments) {
    std::string target;
    bool force = false;
    for (const auto& argument : arguments) {
        if (argument == "-quiet") {
        } else if (argument == "-force") {
            force = true;
        } else if (!argument.empty() && argument[0] != '-' && target.empty()) {
            target = argument;
        } else {
            return usage();
        }
    }
    if (target.empty()) return usage();
    const std::string resolved = realPath(target).value_or(target);
    std::optional<diskimage::Attachment> found;
    for (const auto& attachment : diskimage::listAttachments())
        if (attachment.mountPoint == resolved || attachment.deviceEntry == resolved) found = attachment;
    if (!found) return fail("detach", "no disk image attached at " + target);

    bool detached = false;
    if (found->fileSystemType != "squashfs" && geteuid() != 0) {
        for (const char* helper : {"fusermount3", "fusermount"}) {
            if (auto program = findProgram(helper)) {
                std::vector<std::string> options = {"-u"};
                if (force) options.push_back("-z");
                options.push_back(found->mountPoint);
                detached = runQuietly(*program, options);
                break;
            }
        }
    }
    // A loop device set up by mount(8) frees itself when its file system goes.
    if (!detached) detached = umount2(found->mountPoint.c_str(), force ? MNT_DETACH : 0) == 0;
    if (!detached) return fail("detach", std::strerror(errno));
    diskimage::forgetAttachment(found->mountPoint);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string verb = argv[1];
    const std::vector<std::string> arguments(argv + 2, argv + argc);
    if (verb == "attach") return attach(arguments);
    if (verb == "info") return info(arguments);
    if (verb == "detach") return detach(arguments);
    return usage();
}
