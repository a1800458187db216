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
#include <cstring>
#include <map>
#include <optional>
#include <string_view>

namespace diskimage {
namespace {

bool isSquashfsMount(const platform::MountEntry& entry) {
    return entry.fileSystemType == "squashfs" || entry.fileSystemType == "fuse.squashfuse" ||
           (entry.fileSystemType.compare(0, 4, "fuse") == 0 && entry.source == "squashfuse");
}

// The records folder, made private to us; refused when someone else owns it or it is a link.
bool openStateFolder(std::string& folder, std::string& why) {
    folder = stateFolder();
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        why = "cannot make the records folder " + folder + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid()) return true;
    why = "the records folder " + folder + " is not a folder of this user";
    return false;
}

struct Record {
    std::string image;
    ImageIdentity identity;
};
using Records = std::map<std::string, Record>;

constexpr const char* kRecordsName = "/images";

// Records: image, NUL, mount point, NUL, device, NUL, inode, NUL (decimal); keyed by mount point.
Records readRecords(const std::string& file) {
    Records records;
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
    std::vector<std::string> fields;
    for (size_t at = 0, end; at < data.size() && (end = data.find('\0', at)) != std::string::npos; at = end + 1)
        fields.push_back(data.substr(at, end - at));
    for (size_t i = 0; i + 3 < fields.size(); i += 4) {
        Record record{fields[i], {}};
        record.identity.device = static_cast<dev_t>(std::strtoull(fields[i + 2].c_str(), nullptr, 10));
        record.identity.inode = static_cast<ino_t>(std::strtoull(fields[i + 3].c_str(), nullptr, 10));
        records[fields[i + 1]] = std::move(record);
    }
    return records;
}

bool writeRecords(const std::string& folder, const Records& records, std::string& why) {
    std::string data;
    for (const auto& [point, record] : records) {
        for (const std::string& field :
             {record.image, point, std::to_string(record.identity.device), std::to_string(record.identity.inode)}) {
            data += field;
            data += '\0';
        }
    }
    const std::string temporary = folder + kRecordsName + ".new";
    platform::FileDescriptor guard =
        platform::FileDescriptor::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
    if (!guard.valid()) {
        why = "cannot write the records in " + folder + ": " + std::strerror(errno);
        return false;
    }
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
    ok = ok && rename(temporary.c_str(), (folder + kRecordsName).c_str()) == 0;
    if (!ok) {
        why = "cannot write the records in " + folder + ": " + std::strerror(errno);
        unlink(temporary.c_str());
    }
    return ok;
}

// The identity of the file at path now, or nothing.
std::optional<ImageIdentity> identityAt(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return ImageIdentity{st.st_dev, st.st_ino};
}

// Runs change on the records under an exclusive lock and writes them back when it says so;
// false with why when they could not be read under the lock or written.
template <typename Change>
bool withRecords(Change change, std::string& why) {
    std::string folder;
    if (!openStateFolder(folder, why)) return false;
    const std::string lockPath = folder + "/lock";
    const platform::FileDescriptor lock =
        platform::FileDescriptor::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
    if (!lock.valid()) {
        why = "cannot open " + lockPath + ": " + std::strerror(errno);
        return false;
    }
    while (flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            why = "cannot lock " + lockPath + ": " + std::strerror(errno);
            return false;
        }
    }
    auto records = readRecords(folder + kRecordsName);
    if (!change(records)) return true;
    return writeRecords(folder, records, why);
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
    static constexpr std::string_view kDeleted = " (deleted)";
    static constexpr std::string_view kNotConnected = " (not connected)";
    std::vector<Attachment> attachments;
    Records known;
    const auto mounts = platform::currentMounts();
    std::string ignored;  // without records, only the kernel's word is left
    withRecords(
        [&](Records& records) {
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
        },
        ignored);
    for (const auto& entry : mounts) {
        if (!isSquashfsMount(entry)) continue;
        Attachment attachment;
        attachment.mountPoint = entry.mountPoint;
        attachment.deviceEntry = entry.source;
        attachment.fileSystemType = entry.fileSystemType;
        const auto record = known.find(entry.mountPoint);
        // The kernel follows the loop device's file through renames and says when it was deleted;
        // a user-space mount has only the record, checked against the file at its path.
        if (auto backing = platform::loopBackingFile(entry.source)) {
            attachment.imagePath = *backing;
            const bool deleted = backing->size() >= kDeleted.size() &&
                                 backing->compare(backing->size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0;
            const std::string path = deleted ? backing->substr(0, backing->size() - kDeleted.size()) : *backing;
            if (auto identity = deleted ? std::nullopt : identityAt(path)) {
                attachment.identity = *identity;
                attachment.imagePresent = true;
            }
            attachment.recorded = record != known.end() && record->second.image == path;
        } else {
            attachment.userSpace = entry.fileSystemType != "squashfs";
            attachment.userId = entry.userId;
            if (record != known.end()) {
                // A dead server's file may be gone and its inode number given to a new file at
                // the same path: a mount that does not answer serves no image. Only our own
                // records are asked: a look into someone else's mount would keep it busy.
                if (attachment.userSpace) attachment.answering = answers(entry.mountPoint);
                auto identity = identityAt(record->second.image);
                attachment.imagePresent = attachment.answering && identity && *identity == record->second.identity;
                attachment.identity = record->second.identity;
                attachment.imagePath = record->second.image;
                if (!attachment.answering) {
                    attachment.imagePath += kNotConnected;
                } else if (!attachment.imagePresent) {
                    attachment.imagePath += kDeleted;
                }
                attachment.recorded = true;
            } else if (!attachment.userSpace) {
                continue;
            }
        }
        attachments.push_back(std::move(attachment));
    }
    return attachments;
}

bool answers(const std::string& mountPoint) {
    struct stat st {};
    return stat(mountPoint.c_str(), &st) == 0 || errno != ENOTCONN;
}

bool isStale(const Attachment& attachment) {
    if (attachment.recorded && !attachment.imagePresent) return true;
    // No record explains it (the tool before kept none, the records folder went at logout, or a
    // record could not be written), or its server died: a user-space mount of this user.
    return attachment.userSpace && attachment.userId == geteuid() && (!attachment.recorded || !attachment.answering);
}

bool recordAttachment(const std::string& imagePath, const ImageIdentity& identity, const std::string& mountPoint,
                      std::string& why) {
    return withRecords(
        [&](Records& records) {
            records[mountPoint] = Record{imagePath, identity};
            return true;
        },
        why);
}

bool forgetAttachment(const std::string& mountPoint) {
    std::string ignored;
    return withRecords([&](Records& records) { return records.erase(mountPoint) > 0; }, ignored);
}

}  // namespace diskimage
