// The owning descriptor: close-on-exec on open, one close however ownership moves.
#include "platform/FileDescriptor.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <utility>

namespace {

using platform::FileDescriptor;

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

FileDescriptor openNull() { return FileDescriptor::open("/dev/null", O_RDONLY); }

TEST(FileDescriptorTest, OpenAddsCloseOnExecAndReportsFailure) {
    const FileDescriptor null = openNull();
    ASSERT_TRUE(null.valid());
    EXPECT_NE(::fcntl(null.get(), F_GETFD) & FD_CLOEXEC, 0) << "a launched process would inherit it";

    errno = 0;
    const FileDescriptor missing = FileDescriptor::open("/nonexistent/folder/file", O_RDONLY);
    EXPECT_FALSE(missing.valid());
    EXPECT_EQ(errno, ENOENT);
}

TEST(FileDescriptorTest, OwnershipMovesAndTheDescriptorClosesOnce) {
    int fd = -1;
    {
        FileDescriptor first = openNull();
        fd = first.get();
        FileDescriptor second(std::move(first));
        EXPECT_FALSE(first.valid());
        EXPECT_EQ(second.get(), fd);
        { const FileDescriptor gone(std::move(second)); }
        EXPECT_FALSE(isOpen(fd)) << "the last owner closes";
        // A moved-from owner going later must not close a descriptor the number was given to.
        FileDescriptor reused = openNull();
        ASSERT_EQ(reused.get(), fd);
        first = FileDescriptor();
        second = FileDescriptor();
        EXPECT_TRUE(isOpen(fd));
        fd = reused.get();
    }
    EXPECT_FALSE(isOpen(fd));
}

TEST(FileDescriptorTest, AssignmentAndResetCloseWhatWasHeld) {
    FileDescriptor held = openNull();
    const int old = held.get();
    FileDescriptor other = openNull();
    const int kept = other.get();
    held = std::move(other);
    EXPECT_FALSE(isOpen(old));
    EXPECT_EQ(held.get(), kept);

    FileDescriptor replacement = openNull();
    const int next = replacement.release();
    errno = EACCES;
    held.reset(next);
    EXPECT_EQ(errno, EACCES) << "a failure path's errno must survive the clean-up";
    EXPECT_FALSE(isOpen(kept));
    EXPECT_EQ(held.get(), next);
    held.reset();
    EXPECT_FALSE(held.valid());
    EXPECT_FALSE(isOpen(next));
}

TEST(FileDescriptorTest, ReleaseHandsOverAndCloseReports) {
    int fd = -1;
    {
        FileDescriptor owner = openNull();
        fd = owner.release();
        EXPECT_FALSE(owner.valid());
    }
    EXPECT_TRUE(isOpen(fd)) << "released means the caller closes";

    FileDescriptor owner(fd);
    EXPECT_TRUE(owner.close());
    EXPECT_FALSE(owner.valid());
    EXPECT_FALSE(isOpen(fd));
    EXPECT_TRUE(owner.close()) << "nothing held is nothing to fail";
}

}  // namespace
