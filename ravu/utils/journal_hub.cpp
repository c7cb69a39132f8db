// ravu.utils.journal_hub: the log collection server.  The receive loop runs
// in the caller's thread: a helper thread without Python state drains the
// socket and decodes each datagram, then the loop stamps each record and
// puts it on `_log_queue`.  One writer thread takes the records off the
// queue and appends one line per record to the central file of its
// application and day of receipt.
//
// Records come from the network, so they are decoded by a pickle reader that
// knows plain data only (safe_pickle.h) and never imports or calls anything.
#include "rn.h"
#include "safe_pickle.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace {

namespace pk = rn::pickle;

struct Template;

// The module's state, made once at import.
struct State {
    PyObject* module;            // this module: the loops read its globals at each use
    PyObject* print_exception;   // traceback.print_exception
    PyObject* struct_error;      // struct.error: no room for the length prefix
    PyObject* unpickling_error;  // pickle.UnpicklingError: a record that does not decode
    PyObject* makedirs;          // os.makedirs
    PyObject* open;              // io.open
    PyObject* thread_cls;        // threading.Thread
    PyObject* socket_cls;        // socket.socket, and its arguments
    PyObject* af_inet;
    PyObject* sock_dgram;
    PyObject* stop;              // a private queue item that tells the writer to end
    PyObject* exist_ok_kw;       // ("exist_ok",)
    PyObject* open_kw;           // ("encoding", "errors")
    PyObject* thread_kw;         // ("target", "args")
    bool serving;                // start_journal_hub runs in this process
    // The parsed line template, replaced (never changed in place) when
    // `_format` is another object: a writer whose line is being filled
    // keeps its own reference while another writer thread switches.  Never
    // freed, so nothing is released after the interpreter has gone.
    std::shared_ptr<Template>* line_template;
};
State st;

constexpr const char* kFormatHead = "{log_time}|HN:{hostname}|AD:{ip}:{port}|LID:{log_id}|";
constexpr const char* kFormatTail =
    "PID:{process}|ATIME:{asctime}|LEV:{levelname}|({pathname}|{lineno}):{msg}\n";

// Whole datagrams: UDP over IPv4 carries at most 65,507 bytes of payload.
constexpr size_t kDatagram = 65536;
constexpr unsigned kBatch = 32;
// Short pauses that let a steady stream gather into batches, so that it
// costs one wake-up per batch rather than per datagram: the drain thread
// pauses after a partial batch (the kernel's buffer holds far more than
// arrives meanwhile), and the receive loop after handing batches to the
// queue, which makes one GIL hand-over per batch.  A line reaches its file
// at most about a millisecond later.
constexpr long kGatherNs = 100 * 1000;
constexpr long kSettleNs = 1000 * 1000;
constexpr int kSignalCheckMs = 50;  // how late an interrupt may be seen
// While the writer has more than kBacklog records waiting, the receive
// loop lets it have the GIL (kYieldNs at a time) before it queues the next
// batch, so that _log_queue never holds much more than kBacklog records.
constexpr Py_ssize_t kBacklog = 256;
constexpr long kYieldNs = 300 * 1000;
// The backlog between the socket and the writer (decoded batches not yet
// queued, and the queue's kBacklog) is bounded: with this many records, or
// this many bytes of decoded batches, waiting, further datagrams are
// dropped and counted, and a line on standard error (one a second at most)
// tells how many.  A writer that cannot keep up then costs records, never
// the machine's memory.
constexpr size_t kMaxWaitingRecords = 100000;
constexpr size_t kMaxWaitingBytes = size_t(64) << 20;
// The pause after a receive call that failed for want of memory or for the
// socket's own error: a condition that lasts must not make the helper
// thread spin.
constexpr long kFailurePauseNs = 10 * 1000 * 1000;
// The receive buffer asked of the kernel: a burst waits there while the
// helper thread is not scheduled.  The kernel's default (about 208 KB)
// holds only a few milliseconds of a busy stream.
constexpr int kReceiveBuffer = 8 << 20;

// Prints the pending exception with its traceback on standard error, as
// traceback.print_exc() does inside an `except`, and clears it.
void report_failure() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    if (value) {
        PyObject* r = PyObject_CallOneArg(st.print_exception, value);
        if (r) Py_DECREF(r);
        else PyErr_Clear();  // nowhere left to report it
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
}

// ---------------------------------------------------------------- received batches

enum class Outcome { Record, Short, Cut, Undecodable, SocketError };

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

PyObject* to_python(const Batch& b, uint32_t idx);

PyObject* node_text(const Batch& b, const pk::Node& n, bool bytes) {
    const char* s = (n.extra ? b.extra : b.text).data() + n.off;
    if (bytes) return PyBytes_FromStringAndSize(s, (Py_ssize_t)n.len);
    return PyUnicode_DecodeUTF8(s, (Py_ssize_t)n.len, "surrogatepass");
}

// Short text keys are interned: the writer and the template look them up.
PyObject* dict_key(const Batch& b, uint32_t idx) {
    const pk::Node& n = b.nodes[idx];
    if (n.kind != pk::Kind::Str || n.len > 32) return to_python(b, idx);
    PyObject* s = node_text(b, n, false);
    if (s) PyUnicode_InternInPlace(&s);
    return s;
}

PyObject* to_python(const Batch& b, uint32_t idx) {
    const pk::Node& n = b.nodes[idx];
    switch (n.kind) {
    case pk::Kind::None: Py_RETURN_NONE;
    case pk::Kind::Bool: return PyBool_FromLong((long)n.i);
    case pk::Kind::Int: return PyLong_FromLongLong(n.i);
    case pk::Kind::BigText: {
        std::string digits(b.text.data() + n.off, n.len);
        return PyLong_FromString(digits.c_str(), nullptr, 10);
    }
    case pk::Kind::BigBytes:
        return _PyLong_FromByteArray((const unsigned char*)b.text.data() + n.off, n.len, 1, 1);
    case pk::Kind::Float: return PyFloat_FromDouble(n.f);
    case pk::Kind::Str: return node_text(b, n, false);
    case pk::Kind::Bytes: return node_text(b, n, true);
    case pk::Kind::List:
    case pk::Kind::Tuple: {
        const bool tuple = n.kind == pk::Kind::Tuple;
        rn::ptr seq(tuple ? PyTuple_New(n.count) : PyList_New(n.count));
        if (!seq) return nullptr;
        Py_ssize_t k = 0;
        for (uint32_t c = n.first; c != pk::kNoNode; c = b.nodes[c].next) {
            PyObject* item = to_python(b, c);
            if (!item) return nullptr;
            if (tuple) PyTuple_SET_ITEM(seq.get(), k++, item);
            else PyList_SET_ITEM(seq.get(), k++, item);
        }
        return seq.release();
    }
    case pk::Kind::Dict: {
        rn::ptr dict(PyDict_New());
        if (!dict) return nullptr;
        for (uint32_t c = n.first; c != pk::kNoNode; c = b.nodes[b.nodes[c].next].next) {
            rn::ptr key(dict_key(b, c));
            if (!key) return nullptr;
            rn::ptr value(to_python(b, b.nodes[c].next));
            if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
        }
        return dict.release();
    }
    case pk::Kind::Set:
    case pk::Kind::FrozenSet: {
        rn::ptr set(n.kind == pk::Kind::Set ? PySet_New(nullptr) : PyFrozenSet_New(nullptr));
        if (!set) return nullptr;
        for (uint32_t c = n.first; c != pk::kNoNode; c = b.nodes[c].next) {
            rn::ptr x(to_python(b, c));
            if (!x || PySet_Add(set.get(), x.get()) < 0) return nullptr;
        }
        return set.release();
    }
    }
    return rn::raise(st.unpickling_error, "unknown decoded value");
}

// ---------------------------------------------------------------- receive loop

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
void decode_datagram(pk::Decoder& decoder, const uint8_t* buf, size_t len, int flags, Batch& b,
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

int set_item(PyObject* obj, PyObject* key, PyObject* value) {
    return PyDict_CheckExact(obj) ? PyDict_SetItem(obj, key, value)
                                  : PyObject_SetItem(obj, key, value);
}

// One received datagram, with the GIL: its record stamped with the sender's
// ip and port and the time of receipt (log_time) and put on _log_queue as
// (log_time, record); or the failure it met, raised.
int deliver(const Batch& b, const Received& r) {
    switch (r.outcome) {
    case Outcome::Short:
        PyErr_SetString(st.struct_error, "unpack requires a buffer of 4 bytes");
        return -1;
    case Outcome::Cut:
        PyErr_Format(st.unpickling_error, "datagram longer than %zu bytes", kDatagram);
        return -1;
    case Outcome::Undecodable:
        PyErr_SetString(st.unpickling_error, r.error.c_str());
        return -1;
    case Outcome::SocketError:
        errno = r.error_number;
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    case Outcome::Record: break;
    }
    rn::ptr data(to_python(b, r.root));
    if (!data) return -1;
    char ip[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &r.from.sin_addr, ip, sizeof ip)) ip[0] = 0;
    rn::ptr ip_text(PyUnicode_FromString(ip));
    rn::ptr port(PyLong_FromLong(ntohs(r.from.sin_port)));
    rn::ptr now(PyUnicode_FromStringAndSize(r.when, 26));
    if (!ip_text || !port || !now) return -1;
    if (set_item(data.get(), RN_ID(ip), ip_text.get()) < 0 ||
        set_item(data.get(), RN_ID(port), port.get()) < 0 ||
        set_item(data.get(), RN_ID(log_time), now.get()) < 0)
        return -1;
    rn::ptr pair(PyTuple_Pack(2, now.get(), data.get()));
    if (!pair) return -1;
    rn::ptr queue(rn::global(st.module, RN_ID(_log_queue)));
    if (!queue) return -1;
    rn::ptr res(PyObject_CallMethodOneArg(queue.get(), RN_ID(put_nowait), pair.get()));
    return res ? 0 : -1;
}

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
void drain_once(int fd, Inbox* inbox, uint8_t* storage, mmsghdr* msgs, iovec* iov,
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
void drain_socket(int fd, Inbox* inbox, uint8_t* raw_storage) {
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

// Items on _log_queue (its qsize()), 0 when that cannot be told.
Py_ssize_t writer_backlog() {
    rn::ptr queue(rn::global(st.module, RN_ID(_log_queue)));
    rn::ptr size(queue ? PyObject_CallMethodNoArgs(queue.get(), RN_ID(qsize)) : nullptr);
    const Py_ssize_t n = size ? PyLong_AsSsize_t(size.get()) : -1;
    if (n < 0) PyErr_Clear();
    return n < 0 ? 0 : n;
}

// Lets the writer have the GIL while _log_queue holds more than kBacklog
// records; an interrupt meanwhile is one failed pass, as everywhere here.
void wait_for_writer(Inbox& inbox) {
    while (writer_backlog() > kBacklog) {
        Py_BEGIN_ALLOW_THREADS
        struct timespec yield = {0, kYieldNs};
        nanosleep(&yield, nullptr);
        inbox.report_drops();
        Py_END_ALLOW_THREADS
        if (PyErr_CheckSignals() < 0) report_failure();
    }
}

// Never returns.  Runs in the thread that called start_journal_hub, fed by
// the helper thread.
[[noreturn]] void receive_loop(Inbox& inbox) {
    std::deque<BatchPtr> batches;
    for (;;) {
        int err;
        Py_BEGIN_ALLOW_THREADS
        err = inbox.take(batches);
        Py_END_ALLOW_THREADS
        if (err) {
            // An interrupt (KeyboardInterrupt included) is one failed pass.
            if (err == EINTR) {
                if (PyErr_CheckSignals() < 0) report_failure();
            } else {
                errno = err;
                PyErr_SetFromErrno(PyExc_OSError);
                report_failure();
            }
            continue;
        }
        const bool any = !batches.empty();
        while (!batches.empty()) {
            // A batch waits here, in decoded form and counted against the
            // backlog's bound, until the writer's queue has room; the
            // socket is drained all the same.
            wait_for_writer(inbox);
            BatchPtr b = std::move(batches.front());
            batches.pop_front();
            for (const Received& r : b->records)
                if (deliver(*b, r) < 0) report_failure();
            Py_BEGIN_ALLOW_THREADS
            inbox.give_back(b);
            Py_END_ALLOW_THREADS
        }
        if (any) {
            Py_BEGIN_ALLOW_THREADS
            struct timespec settle = {0, kSettleNs};
            nanosleep(&settle, nullptr);
            Py_END_ALLOW_THREADS
        }
        // An interrupt that came during the pause is not left for the next pass.
        if (PyErr_CheckSignals() < 0) report_failure();
    }
}

// ---------------------------------------------------------------- writer

// An application name becomes a directory below the logs root: it must be
// one plain path component, or it could reach anywhere on the disk.
int check_appname(PyObject* name) {
    if (!PyUnicode_Check(name)) return 0;  // the path join refuses it itself
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    bool bad = n == 0 || PyUnicode_FindChar(name, '/', 0, n, 1) >= 0 ||
               PyUnicode_FindChar(name, 0, 0, n, 1) >= 0;
    if (!bad && n <= 2) bad = PyUnicode_CompareWithASCIIString(name, ".") == 0 ||
                              PyUnicode_CompareWithASCIIString(name, "..") == 0;
    if (bad) {
        PyErr_Format(PyExc_ValueError, "application name %R is not one plain path component",
                     name);
        return -1;
    }
    return 0;
}

PyObject* get_item(PyObject* obj, PyObject* key) {
    if (PyDict_CheckExact(obj)) {
        PyObject* v = PyDict_GetItemWithError(obj, key);
        if (v) return Py_NewRef(v);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
        return nullptr;
    }
    return PyObject_GetItem(obj, key);
}

constexpr Py_ssize_t kOpenEnd = -1;

// text[start:stop] for bounds >= 0; kOpenEnd leaves a bound out, as
// `text[start:]` and `text[:stop]` do.
PyObject* cut(PyObject* text, Py_ssize_t start, Py_ssize_t stop) {
    if (PyUnicode_CheckExact(text)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        const Py_ssize_t end = stop == kOpenEnd || stop > n ? n : stop;
        return PyUnicode_Substring(text, start < end ? start : end, end);
    }
    rn::ptr from(start == kOpenEnd ? nullptr : PyLong_FromSsize_t(start));
    rn::ptr to(stop == kOpenEnd ? nullptr : PyLong_FromSsize_t(stop));
    if ((start != kOpenEnd && !from) || (stop != kOpenEnd && !to)) return nullptr;
    rn::ptr slice(PySlice_New(from.get(), to.get(), nullptr));
    if (!slice) return nullptr;
    return PyObject_GetItem(text, slice.get());
}

// Makes the application's directory and opens its file of `day`, stored in
// _app_dict as (file, day).
int open_day_file(PyObject* apps, PyObject* appname, PyObject* day) {
    rn::ptr logs_path(rn::global(st.module, RN_ID(relative_logs_path)));
    if (!logs_path) return -1;
    rn::ptr dir(PyObject_CallOneArg(logs_path.get(), appname));
    if (!dir) return -1;
    PyObject* mk[2] = {dir.get(), Py_True};
    rn::ptr made(PyObject_Vectorcall(st.makedirs, mk, 1, st.exist_ok_kw));
    if (!made) return -1;
    rn::ptr name(PyNumber_Add(day, RN_STR(".log")));
    if (!name) return -1;
    PyObject* pa[2] = {appname, name.get()};
    rn::ptr path(PyObject_Vectorcall(logs_path.get(), pa, 2, nullptr));
    if (!path) return -1;
    // UTF-8 whatever the locale, and no record lost to a lone surrogate.
    PyObject* oa[4] = {path.get(), RN_STR("a"), RN_STR("utf-8"), RN_STR("backslashreplace")};
    rn::ptr file(PyObject_Vectorcall(st.open, oa, 2, st.open_kw));
    if (!file) return -1;
    rn::ptr entry(PyTuple_Pack(2, file.get(), day));
    if (!entry) return -1;
    return set_item(apps, appname, entry.get());
}

// The most central files kept open at once: kMostOpenFiles, or half the
// process's descriptor limit when that is lower (but never fewer than
// kFewestOpenFiles).  A sender that invents application names must not
// exhaust the descriptors every other application needs.
constexpr size_t kMostOpenFiles = 256;
constexpr size_t kFewestOpenFiles = 8;

size_t open_file_limit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY ||
        rl.rlim_cur / 2 >= kMostOpenFiles)
        return kMostOpenFiles;
    return rl.rlim_cur / 2 > kFewestOpenFiles ? (size_t)(rl.rlim_cur / 2) : kFewestOpenFiles;
}

// _app_dict is kept in order of last write, least recent first: a used
// entry moves to the end.
int mark_recent(PyObject* apps, PyObject* appname, PyObject* entry) {
    if (!PyDict_CheckExact(apps)) return 0;
    rn::ptr keep_entry(entry, true), keep_name(appname, true);
    if (PyDict_DelItem(apps, appname) < 0) return -1;
    return PyDict_SetItem(apps, appname, entry);
}

// Before a new application's file is opened: the least recently written
// files are closed and their entries dropped until there is room.  Such an
// application's next record opens its file of the day again, for appending.
// A failed close is reported and costs no record.
int make_room(PyObject* apps) {
    if (!PyDict_CheckExact(apps)) return 0;
    const size_t limit = open_file_limit();
    while ((size_t)PyDict_GET_SIZE(apps) >= limit) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        if (!PyDict_Next(apps, &pos, &key, &value)) break;
        rn::ptr name(key, true), entry(value, true);
        if (PyDict_DelItem(apps, name.get()) < 0) return -1;
        rn::ptr file(PySequence_GetItem(entry.get(), 0));
        rn::ptr closed(file ? PyObject_CallMethodNoArgs(file.get(), RN_ID(close)) : nullptr);
        if (!closed) report_failure();
    }
    return 0;
}

// The line template parsed once per template object: literal texts and
// plain `{name}` fields.  Anything else (conversions, format specs,
// attribute or index access, positional fields) goes to str.format itself.
struct Template {
    PyObject* source = nullptr;  // strong; the object this was parsed from
    bool plain = false;
    std::vector<std::pair<bool, PyObject*>> pieces;  // (is field, text or name), strong

    Template() = default;
    Template(const Template&) = delete;
    Template& operator=(const Template&) = delete;
    ~Template() {  // runs with the GIL: only fill_line lets go of one
        Py_XDECREF(source);
        for (auto& p : pieces) Py_DECREF(p.second);
    }

    int parse(PyObject* fmt) {
        source = Py_NewRef(fmt);
        Py_ssize_t n;
        const char* s = PyUnicode_AsUTF8AndSize(fmt, &n);
        if (!s) return -1;
        std::string lit;
        auto flush_lit = [&]() -> bool {
            if (lit.empty()) return true;
            PyObject* t = PyUnicode_DecodeUTF8(lit.data(), (Py_ssize_t)lit.size(), "surrogatepass");
            if (!t) return false;
            pieces.emplace_back(false, t);
            lit.clear();
            return true;
        };
        for (Py_ssize_t i = 0; i < n; ++i) {
            const char c = s[i];
            if (c == '}') {
                if (i + 1 < n && s[i + 1] == '}') {
                    lit += '}';
                    ++i;
                    continue;
                }
                return 0;  // a lone '}': let str.format raise
            }
            if (c != '{') {
                lit += c;
                continue;
            }
            if (i + 1 < n && s[i + 1] == '{') {
                lit += '{';
                ++i;
                continue;
            }
            Py_ssize_t j = i + 1;
            while (j < n && s[j] != '}') {
                if (std::strchr("{!:.[]", s[j])) return 0;
                ++j;
            }
            if (j == n || j == i + 1 || (s[i + 1] >= '0' && s[i + 1] <= '9')) return 0;
            if (!flush_lit()) return -1;
            PyObject* name = PyUnicode_DecodeUTF8(s + i + 1, j - i - 1, "surrogatepass");
            if (!name) return -1;
            PyUnicode_InternInPlace(&name);
            pieces.emplace_back(true, name);
            i = j;
        }
        if (!flush_lit()) return -1;
        plain = true;
        return 0;
    }
};

// The parsed form of `fmt`, new or cached; NULL with an exception set.
std::shared_ptr<Template> template_for(PyObject* fmt) {
    std::shared_ptr<Template> t = *st.line_template;
    if (t && t->source == fmt) return t;
    try {
        t = std::make_shared<Template>();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    // A template this cannot read is left to str.format.
    if (t->parse(fmt) < 0) {
        PyErr_Clear();
        t->plain = false;
    }
    *st.line_template = t;
    return t;
}

// _format.format(**data)
PyObject* fill_line(PyObject* data) {
    rn::ptr fmt(rn::global(st.module, RN_ID(_format)));
    if (!fmt) return nullptr;
    if (PyUnicode_CheckExact(fmt.get()) && PyDict_CheckExact(data)) {
        const std::shared_ptr<Template> tpl = template_for(fmt.get());
        if (!tpl) return nullptr;
        if (tpl->plain) {
            rn::ptr parts(PyList_New((Py_ssize_t)tpl->pieces.size()));
            if (!parts) return nullptr;
            Py_ssize_t k = 0;
            for (auto& piece : tpl->pieces) {
                PyObject* text;
                if (!piece.first) {
                    text = Py_NewRef(piece.second);
                } else {
                    PyObject* v = PyDict_GetItemWithError(data, piece.second);
                    if (!v) {
                        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, piece.second);
                        return nullptr;
                    }
                    text = PyObject_Format(v, nullptr);
                    if (!text) return nullptr;
                }
                PyList_SET_ITEM(parts.get(), k++, text);
            }
            return PyUnicode_Join(RN_STR(""), parts.get());
        }
    }
    rn::ptr format(PyObject_GetAttr(fmt.get(), RN_ID(format)));
    if (!format) return nullptr;
    rn::ptr kwargs(PyDict_New());
    if (!kwargs || PyDict_Update(kwargs.get(), data) < 0) return nullptr;
    rn::ptr empty(PyTuple_New(0));
    if (!empty) return nullptr;
    return PyObject_Call(format.get(), empty.get(), kwargs.get());
}

// The receive time's first characters name the day ("YYYY-MM-DD"); the
// sender's asctime ("YYYY-MM-DD HH:MM:SS,mmm") loses its date and blank; a
// source path keeps what follows its first kSourceMark.
constexpr Py_ssize_t kDayLength = 10;
constexpr Py_ssize_t kAsctimeDateLength = 11;
constexpr char kSourceMark[] = "/src/";
constexpr Py_ssize_t kSourceMarkLength = sizeof kSourceMark - 1;

// now, data = item, with Python's errors for anything but a pair.  The
// borrowed `now` and `data` live as long as `pair`.
bool unpack_pair(PyObject* item, rn::ptr& pair, PyObject** now, PyObject** data) {
    pair = PySequence_Fast(item, "cannot unpack non-iterable object");
    if (!pair) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(pair.get());
    if (n < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        return false;
    }
    if (n > 2) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    *now = PySequence_Fast_GET_ITEM(pair.get(), 0);
    *data = PySequence_Fast_GET_ITEM(pair.get(), 1);
    return true;
}

// _app_dict.get(appname): new reference, None when there is no entry.
PyObject* app_entry(PyObject* apps, PyObject* appname) {
    if (!PyDict_CheckExact(apps)) return PyObject_CallMethodOneArg(apps, RN_ID(get), appname);
    PyObject* e = PyDict_GetItemWithError(apps, appname);
    if (!e && PyErr_Occurred()) return nullptr;
    return Py_NewRef(e ? e : Py_None);
}

// Makes _app_dict hold the application's open file of `day`: opened at its
// first record, reopened at its first record of another day (the old file
// closed first), used as it is otherwise.
int use_day_file(PyObject* apps, PyObject* appname, PyObject* day) {
    rn::ptr entry(app_entry(apps, appname));
    if (!entry) return -1;
    if (entry.get() == Py_None)
        return make_room(apps) < 0 ? -1 : open_day_file(apps, appname, day);
    if (mark_recent(apps, appname, entry.get()) < 0) return -1;
    rn::ptr old_day(PySequence_GetItem(entry.get(), 1));
    if (!old_day) return -1;
    const int changed = PyObject_RichCompareBool(old_day.get(), day, Py_NE);
    if (changed <= 0) return changed;
    rn::ptr old_file(PySequence_GetItem(entry.get(), 0));
    if (!old_file) return -1;
    rn::ptr closed(PyObject_CallMethodNoArgs(old_file.get(), RN_ID(close)));
    return closed ? open_day_file(apps, appname, day) : -1;
}

// data["asctime"] = data["asctime"][11:]: the sender's time of day.
int trim_asctime(PyObject* data) {
    rn::ptr asctime(get_item(data, RN_ID(asctime)));
    if (!asctime) return -1;
    rn::ptr clock(cut(asctime.get(), kAsctimeDateLength, kOpenEnd));
    return clock ? set_item(data, RN_ID(asctime), clock.get()) : -1;
}

// data["pathname"] becomes what follows its first "/src/", or
// data["filename"] when it holds none.
int trim_pathname(PyObject* data) {
    rn::ptr pathname(get_item(data, RN_ID(pathname)));
    if (!pathname) return -1;
    Py_ssize_t at;
    if (PyUnicode_CheckExact(pathname.get())) {
        at = PyUnicode_Find(pathname.get(), RN_STR(kSourceMark), 0, PY_SSIZE_T_MAX, 1);
        if (at == -2) return -1;
    } else {
        rn::ptr found(PyObject_CallMethodOneArg(pathname.get(), RN_ID(find), RN_STR(kSourceMark)));
        if (!found) return -1;
        at = PyLong_AsSsize_t(found.get());
        if (at == -1 && PyErr_Occurred()) return -1;
    }
    rn::ptr source(at >= 0 ? cut(pathname.get(), at + kSourceMarkLength, kOpenEnd)
                           : get_item(data, RN_ID(filename)));
    return source ? set_item(data, RN_ID(pathname), source.get()) : -1;
}

// Appends `line` to the file now stored for the application, and flushes it.
int write_line(PyObject* apps, PyObject* appname, PyObject* line) {
    rn::ptr entry(get_item(apps, appname));
    if (!entry) return -1;
    rn::ptr file(PySequence_GetItem(entry.get(), 0));
    if (!file) return -1;
    rn::ptr written(PyObject_CallMethodOneArg(file.get(), RN_ID(write), line));
    if (!written) return -1;
    rn::ptr flushed(PyObject_CallMethodNoArgs(file.get(), RN_ID(flush)));
    return flushed ? 0 : -1;
}

// One pass of the writer, one queue item: 1 when told to stop, 0 done,
// -1 failed.  What a failed pass did before failing stays done.
int writer_pass() {
    rn::ptr queue(rn::global(st.module, RN_ID(_log_queue)));
    if (!queue) return -1;
    rn::ptr item(PyObject_CallMethodNoArgs(queue.get(), RN_ID(get)));
    if (!item) return -1;
    if (item.get() == st.stop) return 1;
    rn::ptr pair;
    PyObject *now, *data;
    if (!unpack_pair(item.get(), pair, &now, &data)) return -1;

    // The name first: a record without one touches no directory or file.
    rn::ptr appname(get_item(data, RN_ID(name)));
    if (!appname || check_appname(appname.get()) < 0) return -1;
    rn::ptr day(cut(now, 0, kDayLength));
    if (!day) return -1;
    rn::ptr apps(rn::global(st.module, RN_ID(_app_dict)));
    if (!apps || use_day_file(apps.get(), appname.get(), day.get()) < 0) return -1;

    if (trim_asctime(data) < 0 || trim_pathname(data) < 0) return -1;
    // Formatted whole before anything is written: a failure leaves no part.
    rn::ptr line(fill_line(data));
    if (!line) return -1;
    return write_line(apps.get(), appname.get(), line.get());
}

const rn::Signature log_thread_sig(
    "_log_thread", "",
    "The writer loop: one line of _format per queued record, appended to the\n"
    "application's file of the receive day.  Runs in the writer thread.");

PyObject* log_thread(PyObject*) {
    for (;;) {
        const int r = writer_pass();
        if (r > 0) Py_RETURN_NONE;  // only a failed start-up sends this
        if (r < 0) report_failure();
    }
}

// ---------------------------------------------------------------- start-up

// After a failed bind: the writer is told to end and joined, so that the
// caller's exception can end the process.
void stop_writer(PyObject* thread) {
    rn::SavedError saved;
    rn::ptr queue(rn::global(st.module, RN_ID(_log_queue)));
    rn::ptr put(queue ? PyObject_CallMethodOneArg(queue.get(), RN_ID(put_nowait), st.stop)
                      : nullptr);
    if (!put) {
        PyErr_Clear();
        return;
    }
    rn::ptr joined(PyObject_CallMethodNoArgs(thread, RN_ID(join)));
    if (!joined) PyErr_Clear();
}

// Asks for kReceiveBuffer bytes of receive buffer: within the system's
// limit (net.core.rmem_max), beyond it where the process may (as root), else
// what the kernel grants.  Nothing fails for want of it.
void enlarge_receive_buffer(int fd) {
    int granted = 0;
    socklen_t len = sizeof granted;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    // The kernel doubles the value asked for its own bookkeeping.
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &len) == 0 && granted / 2 < kReceiveBuffer)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer);
}

// Starts the helper thread that drains `fd`, and returns the inbox it fills;
// NULL with OSError or MemoryError when it cannot be started.  The thread
// holds no Python state and blocks every signal, so interrupts reach the
// receive loop as they would reach Python code.
Inbox* start_drain(int fd) {
    std::unique_ptr<uint8_t[]> storage(new (std::nothrow) uint8_t[kBatch * kDatagram]);
    if (!storage) {
        PyErr_NoMemory();
        return nullptr;
    }
    std::unique_ptr<Inbox> inbox;
    int err = 0;
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    try {
        inbox.reset(new Inbox);
        if (!inbox->ok()) {
            err = errno;
        } else {
            std::thread(drain_socket, fd, inbox.get(), storage.get()).detach();
            storage.release();  // the thread's now
        }
    } catch (const std::system_error& e) {
        err = e.code().value();
    } catch (const std::bad_alloc&) {
        err = ENOMEM;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (err) {
        errno = err;
        PyErr_SetFromErrno(err == ENOMEM ? PyExc_MemoryError : PyExc_OSError);
        return nullptr;
    }
    // Never freed: the helper thread uses it until the process ends, and no
    // destructor may run under it at exit.
    return inbox.release();
}

const rn::Signature start_journal_hub_sig(
    "start_journal_hub", "host='0.0.0.0', port=6666",
    "Run the log collection server in the calling thread; never returns.\n\n"
    "Receives the UDP datagrams of CollectHandler (ravu.utils.logging) on\n"
    "(host, port), stamps each record with the sender's address and the time\n"
    "of receipt, and hands it to a writer thread (started first, without the\n"
    "daemon flag) that appends one line per record to\n"
    "<logs root>/<application>/<YYYY-MM-DD>.log.  Raises the bind's OSError\n"
    "when the address cannot be had, and RuntimeError when this process\n"
    "already serves.");

PyObject* start_journal_hub(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* a[2];
    if (!start_journal_hub_sig.parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr host(Py_NewRef(a[0]));
    rn::ptr port(Py_NewRef(a[1]));
    if (st.serving)
        return rn::raise(PyExc_RuntimeError,
                         "start_journal_hub() is already serving in this process");
    st.serving = true;

    rn::ptr target(rn::global(st.module, RN_ID(_log_thread)));
    if (!target) {
        st.serving = false;
        return nullptr;
    }
    rn::ptr no_args(PyTuple_New(0));
    PyObject* ta[2] = {target.get(), no_args.get()};
    rn::ptr thread(no_args ? PyObject_Vectorcall(st.thread_cls, ta, 0, st.thread_kw) : nullptr);
    rn::ptr started(thread ? PyObject_CallMethodNoArgs(thread.get(), RN_ID(start)) : nullptr);
    if (!started) {
        st.serving = false;
        return nullptr;
    }

    PyObject* sa[2] = {st.af_inet, st.sock_dgram};
    rn::ptr sock(PyObject_Vectorcall(st.socket_cls, sa, 2, nullptr));
    rn::ptr fileno(sock ? PyObject_CallMethodNoArgs(sock.get(), RN_ID(fileno)) : nullptr);
    const long fd = fileno ? PyLong_AsLong(fileno.get()) : -1;
    if (fd >= 0) enlarge_receive_buffer((int)fd);
    rn::ptr address(fd >= 0 ? PyTuple_Pack(2, host.get(), port.get()) : nullptr);
    rn::ptr bound(address ? PyObject_CallMethodOneArg(sock.get(), RN_ID(bind), address.get())
                          : nullptr);
    Inbox* inbox = bound ? start_drain((int)fd) : nullptr;
    if (!inbox) {
        stop_writer(thread.get());
        st.serving = false;
        return nullptr;
    }
    receive_loop(*inbox);  // `sock` stays referenced here for good
}

PyMethodDef methods[] = {start_journal_hub_sig.def(start_journal_hub),
                         log_thread_sig.def(rn::noargs<log_thread_sig, log_thread>), {}};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "ravu.utils.journal_hub",
    "The log collection server: UDP log records to one file per application and day.\n\n"
    "start_journal_hub(host='0.0.0.0', port=6666) -- serve in the calling thread,\n"
    "    forever.  Each line is _format filled with the record, starting\n"
    "    '{log_time}|HN:{hostname}|AD:{ip}:{port}|LID:{log_id}|'.",
    -1, methods};

int init(PyObject* m) {
    st.print_exception = rn::import_attr("traceback", "print_exception");
    st.struct_error = rn::import_attr("struct", "error");
    st.unpickling_error = rn::import_attr("pickle", "UnpicklingError");
    st.makedirs = rn::import_attr("os", "makedirs");
    st.open = rn::import_attr("io", "open");
    st.thread_cls = rn::import_attr("threading", "Thread");
    st.socket_cls = rn::import_attr("socket", "socket");
    st.af_inet = rn::import_attr("socket", "AF_INET");
    st.sock_dgram = rn::import_attr("socket", "SOCK_DGRAM");
    if (!st.print_exception || !st.struct_error || !st.unpickling_error || !st.makedirs ||
        !st.open || !st.thread_cls || !st.socket_cls || !st.af_inet || !st.sock_dgram)
        return -1;
    st.stop = PyObject_CallNoArgs((PyObject*)&PyBaseObject_Type);
    st.exist_ok_kw = Py_BuildValue("(s)", "exist_ok");
    st.open_kw = Py_BuildValue("(ss)", "encoding", "errors");
    st.thread_kw = Py_BuildValue("(ss)", "target", "args");
    st.line_template = new (std::nothrow) std::shared_ptr<Template>();
    if (!st.stop || !st.exist_ok_kw || !st.open_kw || !st.thread_kw || !st.line_template)
        return -1;

    // from ravu._internal.path import *, which must give relative_logs_path
    if (rn::star_import(m, "ravu._internal.path") < 0) return -1;
    if (!rn::ptr(PyObject_GetAttrString(m, "relative_logs_path"))) return -1;
    rn::ptr queue_cls(rn::import_attr("queue", "Queue"));
    if (!queue_cls) return -1;
    rn::ptr queue(PyObject_CallNoArgs(queue_cls.get()));
    if (!queue || PyModule_AddObjectRef(m, "_log_queue", queue.get()) < 0) return -1;
    rn::ptr apps(PyDict_New());
    if (!apps || PyModule_AddObjectRef(m, "_app_dict", apps.get()) < 0) return -1;
    rn::ptr head(PyUnicode_FromString(kFormatHead));
    rn::ptr tail_text(PyUnicode_FromString(kFormatTail));
    if (!head || !tail_text) return -1;
    rn::ptr format(PyUnicode_Concat(head.get(), tail_text.get()));
    if (!format || PyModule_AddObjectRef(m, "_format", format.get()) < 0) return -1;
    return rn::set_all(m, {"start_journal_hub"});
}

}  // namespace

PyMODINIT_FUNC PyInit_journal_hub() {
    return rn::create_module(&moduledef, init, &st.module);
}
