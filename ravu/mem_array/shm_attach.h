// The system calls behind a reader's attach to a named POSIX shared-memory
// object, without Python: open read-write, map the whole object, and a
// page-populate hint for a new segment.  Every function gives back what it
// took when it fails, so a failed attach holds nothing.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace shm_attach {

// shm_open(path, O_RDWR, 0600): never creates, truncates or resizes.  The
// descriptor, or -1 with errno set (EINTR included: the caller decides
// whether to try again).
inline int open_rw(const char* path) { return shm_open(path, O_RDWR, 0600); }

// Where map_whole stopped.
enum class Stage { ok, stat, empty, map };

struct Mapping {
    void* addr = nullptr;  // from byte 0 of the object
    size_t size = 0;       // the object's size when it was mapped
    Stage stage = Stage::ok;
    int err = 0;           // errno of the failed step (none for `empty`)
    bool ok() const { return stage == Stage::ok; }
};

// The whole object behind `fd`, mapped shared, readable and writable.  On
// any failure `fd` is closed.  An object of 0 bytes cannot be mapped and
// is reported as `empty`.  Blocking calls: run it without the GIL.
inline Mapping map_whole(int fd) {
    Mapping m;
    struct stat st;
    if (fstat(fd, &st) < 0) {
        m.stage = Stage::stat;
        m.err = errno;
    } else if (st.st_size == 0) {
        m.stage = Stage::empty;
    } else {
        void* addr = mmap(nullptr, (size_t)st.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (addr == MAP_FAILED) {
            m.stage = Stage::map;
            m.err = errno;
        } else {
            m.addr = addr;
            m.size = (size_t)st.st_size;
        }
    }
    if (!m.ok()) close(fd);
    return m;
}

inline size_t page_size() { return (size_t)sysconf(_SC_PAGESIZE); }

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14
#endif

// Asks the kernel for every page of [addr, addr + len) writable at once: a
// new segment has no pages yet, and one call costs far less than one fault
// per page during a copy.  Only a hint; older kernels say EINVAL and the
// pages are faulted in as they are touched.
inline void populate_for_write(void* addr, size_t len) {
    if (len == 0) return;
    const uintptr_t page = page_size();
    const uintptr_t lo = (uintptr_t)addr & ~(page - 1);
    const uintptr_t hi = ((uintptr_t)addr + len + page - 1) & ~(page - 1);
    madvise((void*)lo, hi - lo, MADV_POPULATE_WRITE);
}

}  // namespace shm_attach
