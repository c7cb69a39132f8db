// The reader's attach to a named shared-memory object: what it maps, what
// it refuses, and that a failure holds no descriptor.
#include <gtest/gtest.h>

#include "shm_attach.h"

#include <cstring>
#include <string>

namespace {

// A shared-memory object of `size` bytes under a name of this process,
// removed when the test ends.
class Segment {
public:
    explicit Segment(size_t size, const char* tag = "seg")
        : name_("/ravu_gtest_" + std::to_string(getpid()) + "_" + tag) {
        const int fd = shm_open(name_.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
        EXPECT_GE(fd, 0) << std::strerror(errno);
        if (fd >= 0) {
            EXPECT_EQ(ftruncate(fd, (off_t)size), 0);
            close(fd);
        }
    }
    ~Segment() { shm_unlink(name_.c_str()); }
    const char* name() const { return name_.c_str(); }

private:
    std::string name_;
};

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(ShmAttach, MapsTheWholeObjectSharedWithOtherMappings) {
    const size_t size = 3 * shm_attach::page_size() + 5;  // not a whole number of pages
    Segment seg(size);
    const int a = shm_attach::open_rw(seg.name());
    const int b = shm_attach::open_rw(seg.name());
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    const shm_attach::Mapping ma = shm_attach::map_whole(a);
    const shm_attach::Mapping mb = shm_attach::map_whole(b);
    ASSERT_TRUE(ma.ok());
    ASSERT_TRUE(mb.ok());
    EXPECT_EQ(ma.size, size);
    EXPECT_TRUE(is_open(a));  // kept on success: the caller owns it
    auto* pa = static_cast<unsigned char*>(ma.addr);
    const auto* pb = static_cast<const unsigned char*>(mb.addr);
    EXPECT_EQ(pb[size - 1], 0);  // a new object reads as zeros
    pa[0] = 7;
    pa[size - 1] = 9;
    EXPECT_EQ(pb[0], 7);
    EXPECT_EQ(pb[size - 1], 9);
    munmap(ma.addr, ma.size);
    munmap(mb.addr, mb.size);
    close(a);
    close(b);
}

TEST(ShmAttach, OpenNeverCreates) {
    const std::string name = "/ravu_gtest_" + std::to_string(getpid()) + "_missing";
    errno = 0;
    EXPECT_EQ(shm_attach::open_rw(name.c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(shm_open(name.c_str(), O_RDWR, 0600), -1);  // still not there
}

TEST(ShmAttach, EmptyObjectIsRefusedAndItsDescriptorClosed) {
    Segment seg(0, "empty");
    const int fd = shm_attach::open_rw(seg.name());
    ASSERT_GE(fd, 0);
    const shm_attach::Mapping m = shm_attach::map_whole(fd);
    EXPECT_EQ(m.stage, shm_attach::Stage::empty);
    EXPECT_EQ(m.addr, nullptr);
    EXPECT_FALSE(is_open(fd));
}

TEST(ShmAttach, FailedStatusQueryIsReportedWithItsErrno) {
    const shm_attach::Mapping m = shm_attach::map_whole(-1);
    EXPECT_EQ(m.stage, shm_attach::Stage::stat);
    EXPECT_EQ(m.err, EBADF);
}

TEST(ShmAttach, ObjectOpenedWithoutWriteAccessIsRefusedAtTheMapping) {
    Segment seg(64, "ro");
    const int fd = shm_open(seg.name(), O_RDONLY, 0600);
    ASSERT_GE(fd, 0);
    const shm_attach::Mapping m = shm_attach::map_whole(fd);
    EXPECT_EQ(m.stage, shm_attach::Stage::map);
    EXPECT_EQ(m.err, EACCES);
    EXPECT_FALSE(is_open(fd));
}

TEST(ShmAttach, PopulateHintLeavesTheContentsAlone) {
    Segment seg(4 * shm_attach::page_size() + 1, "populate");
    const int fd = shm_attach::open_rw(seg.name());
    ASSERT_GE(fd, 0);
    const shm_attach::Mapping m = shm_attach::map_whole(fd);
    ASSERT_TRUE(m.ok());
    close(fd);
    char* p = static_cast<char*>(m.addr);
    p[0] = 1;
    shm_attach::populate_for_write(p + 3, m.size - 3);  // unaligned start and end
    shm_attach::populate_for_write(p, 0);
    EXPECT_EQ(p[0], 1);
    EXPECT_EQ(p[m.size - 1], 0);
    munmap(m.addr, m.size);
}

}  // namespace
