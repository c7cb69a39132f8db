// The helper thread of the log collection server that drains its UDP
// socket: it receives datagrams in batches, decodes each with the reader of
// plain pickled data (safe_pickle.h), stamps it with the time of receipt
// and hands the batch over through an Inbox to the receive loop, which
// turns the records into Python objects.  Nothing here touches Python: the
// thread runs without the GIL and without a Python thread state.
#pragma once

#include "safe_pickle.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace journal_hub {

namespace pk = rn::pickle;

// Whole datagrams: UDP over IPv4 carries at most 65,507 bytes of payload.
constexpr size_t kDatagram = 65536;
constexpr unsigned kBatch = 32;
// A short pause after a partial batch lets a steady stream gather into
// batches, so that it costs one wake-up per batch rather than per datagram
// (the kernel's buffer holds far more than arrives meanwhile).
constexpr long kGatherNs = 100 * 1000;
constexpr int kSignalCheckMs = 50;  // how late the receive loop may see an interrupt
// The backlog between the socket and the writer (decoded batches not yet
// queued, and the records on the writer's queue) is bounded: with this many
// records, or this many bytes of decoded batches, waiting, further
// datagrams are dropped and counted, and a line on standard error (one a
// second at most) tells how many.  A writer that cannot keep up then costs
// records, never the machine's memory.
constexpr size_t kMaxWaitingRecords = 100000;
constexpr size_t kMaxWaitingBytes = size_t(64) << 20;
// The pause after a receive call that failed for want of memory or for the
// socket's own error: a condition that lasts must not make the thread spin.
constexpr long kFailurePauseNs = 10 * 1000 * 1000;

// ---------------------------------------------------------------- received batches

enum class Outcome { Record, Short, Cut, Undecodable, SocketError };

// One datagram of a batch: the root node of its record, or what went
// wrong; when it came (local time, 26 characters) and from where.
struct Received {
    Outcome outcome = Outcome::Record;
    int error_number = 0;
    uint32_t root = pk::kNoNode;
    std::string error;
    char when[27];
    sockaddr_in from;
};

// The datagrams of one receive call, decoded: the nodes of all records in
// one arena, their text in `text` (the datagrams' bytes) and `extra`.
// Batches are recycled, so their buffers are allocated once.
struct Batch {
    std::vector<pk::Node> nodes;
    std::string text, extra;
    std::vector<Received> records;
    void clear() {
        nodes.clear();
        text.clear();
        extra.clear();
        records.clear();
    }
    size_t footprint() const {
        return text.capacity() + extra.capacity() + nodes.capacity() * sizeof(pk::Node) +
               records.capacity() * sizeof(Received);
    }
    size_t counted_bytes = 0;  // footprint() when it was handed over
};

// Local time "%Y-%m-%d %H:%M:%S.%f" (26 characters); the date and time to
// the second are made once per second.
class ReceiveClock {
public:
    void stamp(char out[27]) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        if (ts.tv_sec != sec_) {
            struct tm tm;
            time_t s = ts.tv_sec;
            localtime_r(&s, &tm);
            std::snprintf(head_, sizeof head_, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                          tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
            sec_ = ts.tv_sec;
        }
        std::memcpy(out, head_, 19);
        out[19] = '.';
        long us = ts.tv_nsec / 1000L;
        for (int i = 25; i >= 20; --i, us /= 10) out[i] = (char)('0' + us % 10);
        out[26] = 0;
    }

private:
    time_t sec_ = -1;
    char head_[40] = {0};
};

// One datagram decoded without the GIL: its 4-byte big-endian length N,
// then the record from at most N of the bytes after it.
inline void decode_datagram(pk::Decoder& decoder, const uint8_t* buf, size_t len, int flags, Batch& b,
                     Received& r) {
    if (len < 4) {
        r.outcome = Outcome::Short;
        return;
    }
    if (flags & MSG_TRUNC) {
        r.outcome = Outcome::Cut;
        return;
    }
    const uint32_t n = ((uint32_t)buf[0] << 24) | ((uint32_t)buf[1] << 16) |
                       ((uint32_t)buf[2] << 8) | (uint32_t)buf[3];
    // At most N bytes after the prefix; fewer when the datagram is shorter.
    const size_t avail = len - 4 < n ? len - 4 : n;
    const uint32_t base = (uint32_t)b.text.size();
    if (decoder.decode(buf + 4, avail, b.nodes, b.extra, r.root, base)) {
        r.outcome = Outcome::Record;
        b.text.append((const char*)buf + 4, avail);
    } else {
        r.outcome = Outcome::Undecodable;
        r.error = decoder.error();
    }
}

// ---------------------------------------------------------------- hand-over and drain

using BatchPtr = std::unique_ptr<Batch>;

// Decoded batches waiting for the GIL.  The socket is drained by a thread of
// its own that never touches Python, so a writer that holds the GIL for a
// while delays records but never lets the kernel's receive buffer overflow;
// the backlog is held here, in memory.
class Inbox {
public:
    // Room for every spare batch up front: give_back runs without the GIL
    // and must not fail on an allocation.
    Inbox() : wake_fd_(eventfd(0, EFD_CLOEXEC)) { spare_.reserve(kSpare); }
    ~Inbox() {
        if (wake_fd_ >= 0) close(wake_fd_);
    }
    bool ok() const { return wake_fd_ >= 0; }

    // Drain thread: whether the backlog has room for another batch.
    bool full() {
        std::lock_guard<std::mutex> hold(mutex_);
        return waiting_records_ >= kMaxWaitingRecords || waiting_bytes_ >= kMaxWaitingBytes;
    }

    // Drain thread: `n` datagrams received and thrown away.
    void dropped(uint64_t n) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            dropped_ += n;
        }
        report_drops();
    }

    // Either thread, without the GIL: one line on standard error for the
    // drops not yet told, at most one line a second.
    void report_drops() {
        uint64_t now_dropped, total;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (dropped_ == 0) return;
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            const long long since = (long long)(now.tv_sec - last_report_.tv_sec) * 1000000000LL +
                                    (now.tv_nsec - last_report_.tv_nsec);
            if (reported_ && since < 1000000000LL) return;
            reported_ = true;
            last_report_ = now;
            now_dropped = dropped_;
            total = dropped_total_ += dropped_;
            dropped_ = 0;
        }
        char line[200];
        const int n = std::snprintf(line, sizeof line,
                                    "journal_hub: the writer's backlog is full: %llu datagrams "
                                    "dropped (%llu in all)\n",
                                    (unsigned long long)now_dropped, (unsigned long long)total);
        ssize_t w = write(2, line, (size_t)n);
        (void)w;  // nowhere left to report a failed report
    }

    // Drain thread: hands over `b` and gets an empty batch back.
    void push(BatchPtr& b) {
        bool was_empty;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            was_empty = pending_.empty();
            b->counted_bytes = b->footprint();
            waiting_records_ += b->records.size();
            waiting_bytes_ += b->counted_bytes;
            pending_.push_back(std::move(b));
            if (!spare_.empty()) {
                b = std::move(spare_.back());
                spare_.pop_back();
            }
        }
        if (!b) b.reset(new Batch);
        if (was_empty) {
            const uint64_t one = 1;
            ssize_t w = write(wake_fd_, &one, sizeof one);
            (void)w;  // the counter only saturates, and then a wake-up is pending anyway
        }
    }

    // Receive loop, GIL released: waits for batches; 0, or an errno (EINTR).
    int take(std::deque<BatchPtr>& out) {
        struct pollfd p = {wake_fd_, POLLIN, 0};
        // The kernel may hand a signal to another thread (the writer), which
        // leaves this wait undisturbed: wake now and then to look for it.
        const int ready = poll(&p, 1, kSignalCheckMs);
        if (ready < 0) return errno;
        if (ready == 0) {
            report_drops();  // the last drops of a burst are told too
            return EINTR;
        }
        uint64_t count;
        ssize_t r = read(wake_fd_, &count, sizeof count);
        (void)r;
        std::lock_guard<std::mutex> hold(mutex_);
        out.swap(pending_);
        return 0;
    }

    // Receive loop, GIL released: a batch it is done with (its records
    // queued or failed).
    void give_back(BatchPtr& used) {
        const size_t records = used->records.size(), bytes = used->counted_bytes;
        used->clear();
        std::lock_guard<std::mutex> hold(mutex_);
        waiting_records_ -= records;
        waiting_bytes_ -= bytes;
        if (spare_.size() < kSpare && used->footprint() < kSpareBytes)
            spare_.push_back(std::move(used));
        used.reset();  // the rest (after a burst) is freed
    }

private:
    static constexpr size_t kSpare = 64;
    static constexpr size_t kSpareBytes = 256 << 10;
    int wake_fd_;
    std::mutex mutex_;
    std::deque<BatchPtr> pending_;
    std::vector<BatchPtr> spare_;
    // Records and bytes handed over and not yet given back.
    size_t waiting_records_ = 0, waiting_bytes_ = 0;
    uint64_t dropped_ = 0, dropped_total_ = 0;
    bool reported_ = false;
    struct timespec last_report_ = {0, 0};
};

// One receive call of the helper thread: up to kBatch datagrams, decoded
// and handed to the receive loop.
inline void drain_once(int fd, Inbox* inbox, uint8_t* storage, mmsghdr* msgs, iovec* iov,
                sockaddr_in* from, BatchPtr& batch, pk::Decoder& decoder,
                ReceiveClock& clock) {
    if (!batch) batch.reset(new Batch);
    std::memset(msgs, 0, kBatch * sizeof *msgs);
    for (unsigned i = 0; i < kBatch; ++i) {
        iov[i].iov_base = storage + i * kDatagram;
        iov[i].iov_len = kDatagram;
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &from[i];
        msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
    const int got = recvmmsg(fd, msgs, kBatch, MSG_WAITFORONE, nullptr);
    if (got < 0) {
        if (errno == EINTR) return;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A socket made with a default time-out is non-blocking: wait
            // here rather than report an empty socket again and again.
            struct pollfd p = {fd, POLLIN, 0};
            poll(&p, 1, -1);
            return;
        }
        batch->records.emplace_back();
        batch->records.back().outcome = Outcome::SocketError;
        batch->records.back().error_number = errno;
        inbox->push(batch);
        struct timespec pause = {0, kFailurePauseNs};
        nanosleep(&pause, nullptr);
        return;
    }
    if (inbox->full()) {
        inbox->dropped((uint64_t)got);
        return;
    }
    // Room for what came, at once: ordinary records take a few dozen nodes.
    size_t bytes = 0;
    for (int i = 0; i < got; ++i) bytes += msgs[i].msg_len;
    batch->nodes.reserve(batch->nodes.size() + (size_t)got * 48);
    batch->text.reserve(batch->text.size() + bytes);
    batch->records.reserve(batch->records.size() + (size_t)got);
    for (int i = 0; i < got; ++i) {
        batch->records.emplace_back();
        Received& r = batch->records.back();
        decode_datagram(decoder, (const uint8_t*)iov[i].iov_base, msgs[i].msg_len,
                        msgs[i].msg_hdr.msg_flags, *batch, r);
        clock.stamp(r.when);
        r.from = from[i];
    }
    inbox->push(batch);
    if ((unsigned)got < kBatch) {
        struct timespec gather = {0, kGatherNs};
        nanosleep(&gather, nullptr);
    }
}

// The helper thread's loop.  `storage` (kBatch * kDatagram bytes) is its
// own from now on.  Memory that runs out costs the datagrams of one
// receive call, never the thread.
inline void drain_socket(int fd, Inbox* inbox, uint8_t* raw_storage) {
    std::unique_ptr<uint8_t[]> storage(raw_storage);
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    sockaddr_in from[kBatch];
    BatchPtr batch;
    pk::Decoder decoder;
    ReceiveClock clock;
    for (;;) {
        try {
            drain_once(fd, inbox, storage.get(), msgs, iov, from, batch, decoder, clock);
        } catch (const std::bad_alloc&) {
            if (batch) batch->clear();
            struct timespec pause = {0, kFailurePauseNs};
            nanosleep(&pause, nullptr);
        }
    }
}

}  // namespace journal_hub
