// diskimage: attach, list and detach squashfs disk images.
//   diskimage attach <image> [-mountpoint <folder>] [-plist] [-quiet] [-readonly] [-noverify]
//                    [-noautoopen] [-nobrowse] [-noautofsck]
//   diskimage info [-plist]
//   diskimage detach <mount point or device> [-quiet] [-force]
// Root mounts with a loop device; anyone else (or root without loop devices) with squashfuse.
// BOOTSTRAP_DISK_IMAGE_MOUNT=fuse makes root use squashfuse too, so that a suite run as root
// takes the path of every other user.
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
constexpr const char* kMountKindVariable = "BOOTSTRAP_DISK_IMAGE_MOUNT";

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

// The folders one attach made, removed again (each only when empty) unless it succeeds.
class MadeFolders {
public:
    MadeFolders() = default;
    MadeFolders(const MadeFolders&) = delete;
    MadeFolders& operator=(const MadeFolders&) = delete;
    ~MadeFolders() {
        for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) rmdir(it->c_str());
    }
    void add(const std::string& folder) { folders_.push_back(folder); }
    void keep() { folders_.clear(); }

private:
    std::vector<std::string> folders_;
};

bool makeFolders(const std::string& path, MadeFolders& made) {
    std::string current;
    size_t at = 0;
    while (at != std::string::npos) {
        size_t slash = path.find('/', at + 1);
        current = path.substr(0, slash);
        at = slash;
        if (current.empty()) continue;
        if (mkdir(current.c_str(), 0755) == 0) {
            made.add(current);
        } else if (errno != EEXIST) {
            return false;
        }
    }
    struct stat st {};
    // A mount point whose squashfuse died answers ENOTCONN; the attach detaches what is there.
    if (stat(path.c_str(), &st) != 0) return errno == ENOTCONN;
    return S_ISDIR(st.st_mode);
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

// A helper's messages on one line, so that they read as part of ours.
std::string oneLine(const std::string& text) {
    constexpr size_t kLongest = 400;
    std::string line;
    bool pendingBreak = false;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            pendingBreak = !line.empty();
        } else if (byte < 0x20 || byte == 0x7f) {
            if (!line.empty() && line.back() != ' ') line += ' ';
        } else if (c == ' ' && (line.empty() || line.back() == ' ' || pendingBreak)) {
        } else {
            if (pendingBreak) line += "; ";
            pendingBreak = false;
            line += c;
        }
        if (line.size() > kLongest) return line.substr(0, kLongest) + "...";
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

// Runs a helper (mount, squashfuse, fusermount) with what it says kept from our streams; on
// failure why gets its reason.
bool runHelper(const std::string& program, const std::vector<std::string>& arguments, std::string& why) {
    std::string errors;
    int status = -1;
    if (!platform::runProcessCapturingErrors(program, arguments, errors, status)) {
        why = program + " could not be started";
        return false;
    }
    if (status == 0) return true;
    const std::string name = program.substr(program.find_last_of('/') + 1);
    why = oneLine(errors);
    if (why.empty()) why = "ended with status " + std::to_string(status);
    if (why.compare(0, name.size() + 1, name + ":") != 0) why = name + ": " + why;
    return false;
}

std::optional<platform::MountEntry> mountAt(const std::string& point) {
    for (const auto& entry : platform::currentMounts())
        if (entry.mountPoint == point) return entry;
    return std::nullopt;
}

// Unmounts the attachment; why gets the reason when it stays. Root unmounts a user-space mount
// itself, and its squashfuse process ends as the file system goes; anyone else asks fusermount.
bool detachAttachment(const diskimage::Attachment& attachment, bool force, std::string& why) {
    // Nothing can work in a mount whose server died; whoever is still inside only gets errors.
    force = force || !attachment.answering;
    bool detached = false;
    if (attachment.userSpace && geteuid() != 0) {
        for (const char* helper : {"fusermount3", "fusermount"}) {
            if (auto program = findProgram(helper)) {
                std::vector<std::string> options = {"-u"};
                if (force) options.push_back("-z");
                options.push_back(attachment.mountPoint);
                detached = runHelper(*program, options, why);
                break;
            }
        }
    }
    // A loop device set up by mount(8) frees itself when its file system goes.
    if (!detached) {
        detached = umount2(attachment.mountPoint.c_str(), force ? MNT_DETACH : 0) == 0;
        if (!detached && why.empty()) why = std::strerror(errno);
    }
    if (!detached) return false;
    diskimage::forgetAttachment(attachment.mountPoint);
    return true;
}

int attach(const std::vector<std::string>& arguments) {
    static const std::set<std::string> ignored = {"-readonly", "-noverify", "-noautoopen", "-nobrowse", "-noautofsck"};
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
    bool userSpace = geteuid() != 0;
    if (const char* kind = std::getenv(kMountKindVariable); kind && *kind) {
        if (std::strcmp(kind, "fuse") != 0)
            return fail("attach",
                        std::string(kMountKindVariable) + " is \"" + oneLine(kind) + "\"; only \"fuse\" is known");
        userSpace = true;
    }
    auto resolvedImage = realPath(image);
    struct stat st {};
    if (!resolvedImage || stat(resolvedImage->c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return fail("attach", "no image at " + image);
    // The file itself, not its path: another file put at the same path is not attached.
    const diskimage::ImageIdentity identity{st.st_dev, st.st_ino};
    auto attachments = diskimage::listAttachments();
    for (const auto& attachment : attachments)
        if (attachment.imagePresent && attachment.identity == identity)
            return fail("attach", "image already attached at " + attachment.mountPoint);

    MadeFolders made;
    if (mountPoint.empty()) {
        char pattern[] = "/tmp/diskimage-XXXXXX";
        if (!mkdtemp(pattern)) return fail("attach", std::strerror(errno));
        mountPoint = pattern;
        made.add(mountPoint);
    } else if (!makeFolders(mountPoint, made)) {
        return fail("attach", "cannot make mount point " + mountPoint);
    }
    auto resolvedPoint = realPath(mountPoint);
    if (!resolvedPoint) return fail("attach", "cannot resolve mount point " + mountPoint);
    if (mountAt(*resolvedPoint)) {
        // Ours, and its image deleted or another file at its path now, or a user-space mount of
        // this user no record explains or whose server died: left by an attach never detached
        // (a busy detach, a killed caller). It goes first; what it served is never taken for
        // this image.
        const diskimage::Attachment* stale = nullptr;
        for (auto& attachment : attachments) {
            if (attachment.mountPoint != *resolvedPoint) continue;
            if (attachment.userSpace) attachment.answering = diskimage::answers(attachment.mountPoint);
            if (diskimage::isStale(attachment)) stale = &attachment;
        }
        if (!stale) return fail("attach", "something is mounted at " + *resolvedPoint);
        std::string why;
        if (!detachAttachment(*stale, false, why)) {
            const std::string earlier =
                stale->imagePath.empty() ? std::string("the earlier mount") : "the earlier image " + stale->imagePath;
            return fail("attach", earlier + " at " + *resolvedPoint + " could not be detached: " + why);
        }
        if (mountAt(*resolvedPoint)) return fail("attach", "something is mounted at " + *resolvedPoint);
    }
    // Checked last, so that a link put in place of the folder meanwhile is still refused.
    if (auto refusal = unsafeMountPoint(mountPoint)) return fail("attach", *refusal);

    bool mounted = false;
    std::string why;
    if (!userSpace) {
        if (auto mount = findProgram("mount"))
            mounted = runHelper(*mount,
                                {"-t", "squashfs", "-o", "loop,ro,nodev,nosuid", *resolvedImage, *resolvedPoint}, why);
    }
    if (!mounted) {
        if (auto squashfuse = findProgram("squashfuse")) {
            std::string fuseWhy;
            mounted = runHelper(*squashfuse, {"-o", "ro", *resolvedImage, *resolvedPoint}, fuseWhy);
            why += (why.empty() || fuseWhy.empty() ? "" : "; ") + fuseWhy;
        }
    }
    auto entry = mountAt(*resolvedPoint);
    if (!mounted || !entry)
        return fail("attach", "the image could not be mounted" + (why.empty() ? std::string() : " (" + why + ")"));
    diskimage::Attachment attached;
    attached.imagePath = *resolvedImage;
    attached.mountPoint = *resolvedPoint;
    attached.deviceEntry = entry->source;
    attached.fileSystemType = entry->fileSystemType;
    attached.imagePresent = true;
    attached.identity = identity;
    attached.recorded = true;
    attached.userSpace = entry->fileSystemType != "squashfs";
    // Without its record a user-space mount would be known to no one, so an attach that cannot
    // write one undoes itself: lazily, as nothing works in it yet and a passing look must not
    // keep it.
    std::string recordWhy;
    if (!diskimage::recordAttachment(*resolvedImage, identity, *resolvedPoint, recordWhy)) {
        std::string detachWhy;
        if (!detachAttachment(attached, true, detachWhy))
            return fail("attach", recordWhy + "; the image stays mounted at " + *resolvedPoint + ": " + detachWhy);
        return fail("attach", recordWhy + "; the image was detached again");
    }
    made.keep();
    if (plist) diskimage::writeAttachPlist(std::cout, attached);
    return 0;
}

int info(const std::vector<std::string>& arguments) {
    bool plist = false;
    for (const auto& argument : arguments) {
        if (argument != "-plist") return usage();
        plist = true;
    }
    std::vector<diskimage::Attachment> attachments;
    // A user-space mount no record names serves no image anyone could ask for.
    for (auto& attachment : diskimage::listAttachments())
        if (!attachment.imagePath.empty()) attachments.push_back(std::move(attachment));
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
    for (const auto& attachment : diskimage::listAttachments()) {
        // A user-space mount no record names is detached only for its own user.
        if (attachment.userSpace && !attachment.recorded && attachment.userId != geteuid()) continue;
        if (attachment.mountPoint == resolved || attachment.deviceEntry == resolved) found = attachment;
    }
    if (!found) return fail("detach", "no disk image attached at " + target);
    if (found->userSpace) found->answering = diskimage::answers(found->mountPoint);

    std::string why;
    if (!detachAttachment(*found, force, why)) return fail("detach", why);
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
