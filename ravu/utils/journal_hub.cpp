// ravu.utils.journal_hub: the log collection server.  The receive loop runs
// in the caller's thread: a helper thread without Python state drains the
// socket and decodes each datagram (journal_hub_drain.h), then the loop
// stamps each record and puts it on `_log_queue`.  One writer thread takes
// the records off the queue and appends one line per record to the central
// file of its application and day of receipt (journal_hub_writer.cpp).
// This file holds the receive loop, the start-up and the module.
//
// Records come from the network, so they are decoded by a pickle reader that
// knows plain data only (safe_pickle.h) and never imports or calls anything.
#include "journal_hub.h"
#include "journal_hub_drain.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

namespace journal_hub {

State st;

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

namespace {

constexpr const char* kFormatHead = "{log_time}|HN:{hostname}|AD:{ip}:{port}|LID:{log_id}|";
constexpr const char* kFormatTail =
    "PID:{process}|ATIME:{asctime}|LEV:{levelname}|({pathname}|{lineno}):{msg}\n";

// The receive loop's pause after handing batches to the queue: a steady
// stream then costs one GIL hand-over per batch.  A line reaches its file
// at most about a millisecond later.
constexpr long kSettleNs = 1000 * 1000;
// While the writer has more than kBacklog records waiting, the receive
// loop lets it have the GIL (kYieldNs at a time) before it queues the next
// batch, so that _log_queue never holds much more than kBacklog records.
constexpr Py_ssize_t kBacklog = 256;
constexpr long kYieldNs = 300 * 1000;
// The receive buffer asked of the kernel: a burst waits there while the
// helper thread is not scheduled.  The kernel's default (about 208 KB)
// holds only a few milliseconds of a busy stream.
constexpr int kReceiveBuffer = 8 << 20;

// ---------------------------------------------------------------- records to Python

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

// int.from_bytes(data, "little", signed=True): the value of a pickle's
// LONG1/LONG4 integer.
PyObject* long_from_le_bytes(const char* data, size_t len) {
    rn::ptr bytes(PyBytes_FromStringAndSize(data, (Py_ssize_t)len));
    rn::ptr kw(Py_BuildValue("{s:O}", "signed", Py_True));
    if (!bytes || !kw) return nullptr;
    rn::ptr from(PyObject_GetAttr((PyObject*)&PyLong_Type, RN_ID(from_bytes)));
    rn::ptr args(Py_BuildValue("(Os)", bytes.get(), "little"));
    if (!from || !args) return nullptr;
    return PyObject_Call(from.get(), args.get(), kw.get());
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
    case pk::Kind::BigBytes: return long_from_le_bytes(b.text.data() + n.off, n.len);
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
        rn::without_gil([&] {
            struct timespec yield = {0, kYieldNs};
            nanosleep(&yield, nullptr);
            inbox.report_drops();
        });
        if (PyErr_CheckSignals() < 0) report_failure();
    }
}

// Never returns.  Runs in the thread that called start_journal_hub, fed by
// the helper thread.
[[noreturn]] void receive_loop(Inbox& inbox) {
    std::deque<BatchPtr> batches;
    for (;;) {
        const int err = rn::without_gil([&] { return inbox.take(batches); });
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
            rn::without_gil([&] { inbox.give_back(b); });
        }
        if (any) {
            rn::without_gil([] {
                struct timespec settle = {0, kSettleNs};
                nanosleep(&settle, nullptr);
            });
        }
        // An interrupt that came during the pause is not left for the next pass.
        if (PyErr_CheckSignals() < 0) report_failure();
    }
}

// ---------------------------------------------------------------- writer thread

const rn::Signature log_thread_sig(
    "_log_thread", "",
    "The writer loop: one line of _format per queued record, appended to the\n"
    "application's file of the receive day.  Runs in the writer thread.");

PyObject* log_thread(PyObject*) {
    rn::park_at_exit();
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
    rn::park_at_exit();
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
}  // namespace journal_hub

PyMODINIT_FUNC PyInit_journal_hub() {
    using namespace journal_hub;
    return rn::create_module(&moduledef, init, &st.module);
}
