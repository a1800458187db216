// Attachments: squashfs mounts from the mount table, images of user-space mounts from records.
#include "tools/diskimage/Attachments.h"

#include "platform/FileDescriptor.h"
#include "platform/MountTable.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>

namespace diskimage {
namespace {

bool isSquashfsMount(const platform::MountEntry& entry) {
    return entry.fileSystemType == "squashfs" || entry.fileSystemType == "fuse.squashfuse" ||
           (entry.fileSystemType.compare(0, 4, "fuse") == 0 && entry.source == "squashfuse");
}

// The records folder, made private to us; refused when someone else owns it or it is a link.
bool openStateFolder(std::string& folder) {
    folder = stateFolder();
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st {};
    return lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

// Records: image, NUL, mount point, NUL; keyed by mount point.
std::map<std::string, std::string> readRecords(const std::string& file) {
    std::map<std::string, std::string> records;
    const platform::FileDescriptor guard = platform::FileDescriptor::open(file.c_str(), O_RDONLY | O_NOFOLLOW);
    if (!guard.valid()) return records;
    const int fd = guard.get();
    std::string data;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            return records;
        }
        data.append(buffer, static_cast<size_t>(n));
    }
    size_t at = 0;
    while (at < data.size()) {
        size_t imageEnd = data.find('\0', at);
        if (imageEnd == std::string::npos) break;
        size_t pointEnd = data.find('\0', imageEnd + 1);
        if (pointEnd == std::string::npos) break;
        records[data.substr(imageEnd + 1, pointEnd - imageEnd - 1)] = data.substr(at, imageEnd - at);
        at = pointEnd + 1;
    }
    return records;
}

bool writeRecords(const std::string& folder, const std::map<std::string, std::string>& records) {
    std::string data;
    for (const auto& [point, image] : records) {
        data += image;
        data += '\0';
        data += point;
        data += '\0';
    }
    const std::string temporary = folder + "/attachments.new";
    platform::FileDescriptor guard =
        platform::FileDescriptor::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
    if (!guard.valid()) return false;
    bool ok = true;
    {
        const int fd = guard.get();
        for (size_t done = 0; ok && done < data.size();) {
            ssize_t n = write(fd, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR) continue;
            ok = n > 0;
            if (ok) done += static_cast<size_t>(n);
        }
        ok = ok && fsync(fd) == 0;
        guard.reset();
    }
    ok = ok && rename(temporary.c_str(), (folder + "/attachments").c_str()) == 0;
    if (!ok) unlink(temporary.c_str());
    return ok;
}

// Runs change on the records under an exclusive lock and writes them back when it says so.
template <typename Change>
bool withRecords(Change change) {
    std::string folder;
    if (!openStateFolder(folder)) return false;
    const platform::FileDescriptor lock =
        platform::FileDescriptor::open((folder + "/lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
    if (!lock.valid()) return false;
    while (flock(lock.get(), LOCK_EX) != 0)
        if (errno != EINTR) return false;
    auto records = readRecords(folder + "/attachments");
    if (!change(records)) return true;
    return writeRecords(folder, records);
}

}  // namespace

std::string stateFolder() {
    const char* variable = std::getenv("BOOTSTRAP_DISK_IMAGE_STATE");
    if (variable && *variable) return variable;
    if (geteuid() == 0) return "/run/bootstrapper-diskimage";
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return std::string(runtime) + "/bootstrapper-diskimage";
    return "/tmp/bootstrapper-diskimage-" + std::to_string(geteuid());
}

std::vector<Attachment> listAttachments() {
    std::vector<Attachment> attachments;
    std::map<std::string, std::string> known;
    const auto mounts = platform::currentMounts();
    withRecords([&](std::map<std::string, std::string>& records) {
        bool changed = false;
        for (auto it = records.begin(); it != records.end();) {
            bool mounted = false;
            for (const auto& entry : mounts)
                mounted = mounted || (entry.mountPoint == it->first && isSquashfsMount(entry));
            if (mounted) {
                ++it;
            } else {
                it = records.erase(it);
                changed = true;
            }
        }
        known = records;
        return changed;
    });
    for (const auto& entry : mounts) {
        if (!isSquashfsMount(entry)) continue;
        Attachment attachment{"", entry.mountPoint, entry.source, entry.fileSystemType};
        if (auto record = known.find(entry.mountPoint); record != known.end()) {
            attachment.imagePath = record->second;
        } else if (auto backing = platform::loopBackingFile(entry.source)) {
            attachment.imagePath = *backing;
        } else {
            continue;
        }
        attachments.push_back(std::move(attachment));
    }
    return attachments;
}

bool recordAttachment(const std::string& imagePath, const std::string& mountPoint) {
    return withRecords([&](std::map<std::string, std::string>& records) {
        records[mountPoint] = imagePath;
        return true;
    });
}

bool forgetAttachment(const std::string& mountPoint) {
    return withRecords([&](std::map<std::string, std::string>& records) { return records.erase(mountPoint) > 0; });
}

}  // namespace diskimage
