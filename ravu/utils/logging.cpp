// ravu.utils.logging: the one logger of each process.  `init_logger` sets
// it up once with up to three handlers (standard error, a time-rotated file
// below the logs root, UDP datagrams to the collection server); `log()`
// hands it out.  The handler classes derive from the standard library's and
// override only their constructors and, for collection, `makePickle`,
// whose pickle writer is logging_pickle.h.
#include "rn.h"
#include "logging_pickle.h"

#include <cstdlib>
#include <ctime>
#include <new>

namespace {

// The module's state, made once at import.
struct State {
    PyObject* module;            // this module: its state is read at call time
    PyObject* logging;           // the standard library's logging package
    PyObject* os_path;
    PyObject* makedirs;
    PyObject* gethostname;
    PyObject* pickle_dumps;
    PyObject* stream_handler;    // the three base classes
    PyObject* file_handler;
    PyObject* datagram_handler;
    PyObject* exist_ok_kw;       // ("exist_ok",)
    PyObject* rotate_kw;         // ("when", "interval", "backupCount")
    // The datagram is built here before it becomes a bytes object.  One
    // buffer serves every thread: makePickle holds the GIL from start to
    // end of its use (the standard pickler's fallback runs before the
    // buffer is written).
    collect::Bytes datagram;
};
State st;

constexpr const char* kLineFormat =
    "[%(asctime)s|%(levelname)s][%(pathname)s|%(lineno)d]:%(message)s";
constexpr Py_ssize_t kMaxMessage = 3072;

PyObject* default_rotating_conf() {
    return Py_BuildValue("{s:s,s:i,s:i}", "when", "W0", "interval", 1, "backupCount", 53);
}

// cls.__init__(self, *args) for one of the standard base classes.
PyObject* base_init(PyObject* cls, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    rn::ptr init(PyObject_GetAttr(cls, RN_ID(__init__)));
    if (!init) return nullptr;
    return PyObject_Vectorcall(init.get(), args, nargs, kwnames);
}

// self.setFormatter(logging.Formatter(line format))
int set_line_format(PyObject* self) {
    rn::ptr formatter_cls(PyObject_GetAttr(st.logging, RN_ID(Formatter)));
    if (!formatter_cls) return -1;
    rn::ptr fmt(PyUnicode_FromString(kLineFormat));
    if (!fmt) return -1;
    rn::ptr formatter(PyObject_CallOneArg(formatter_cls.get(), fmt.get()));
    if (!formatter) return -1;
    rn::ptr r(PyObject_CallMethodOneArg(self, RN_ID(setFormatter), formatter.get()));
    return r ? 0 : -1;
}

// ---------------------------------------------------------------- ConsoleHandler

const rn::Signature console_init_sig(
    "ConsoleHandler.__init__", "",
    "A logging.StreamHandler on standard error (sys.stderr as it is when the\n"
    "handler is made) with the line format\n"
    "'[%(asctime)s|%(levelname)s][%(pathname)s|%(lineno)d]:%(message)s'.",
    rn::INIT);

int console_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* out[1];
    rn::ptr keep;
    if (!console_init_sig.parse_tuple(args, kwargs, out, keep)) return -1;
    // No stream given: the standard handler takes sys.stderr as it is now.
    PyObject* a[1] = {self};
    rn::ptr r(base_init(st.stream_handler, a, 1, nullptr));
    if (!r) return -1;
    return set_line_format(self);
}

PyType_Slot console_slots[] = {
    {Py_tp_init, (void*)console_init},
    {Py_tp_doc, (void*)console_init_sig.doc()},
    {0, nullptr}};

PyType_Spec console_spec = {"ravu.utils.logging.ConsoleHandler", 0, 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, console_slots};

// ---------------------------------------------------------------- LocalFileHandler

#define DEFAULT_ROTATING_CONF_TEXT "{'when': 'W0', 'interval': 1, 'backupCount': 53}"

const rn::Signature local_file_init_sig(
    "LocalFileHandler.__init__", "filename, rotating_conf=" DEFAULT_ROTATING_CONF_TEXT,
    "A time-rotated file handler on the logs root's filename + '.log', with the\n"
    "console's line format.\n\n"
    "The logs root is created if missing, nothing below it: a directory part\n"
    "in filename must exist.  rotating_conf gives 'when', 'interval' and\n"
    "'backupCount' of logging.handlers.TimedRotatingFileHandler (a missing key\n"
    "raises KeyError); the default rolls over weekly on Monday and keeps 53\n"
    "old files.",
    rn::INIT);

int local_file_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    rn::ptr keep;
    if (!local_file_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    PyObject* conf = a[1];

    // Only the logs root is made; a directory inside `filename` must exist.
    rn::ptr logs_path(rn::global(st.module, RN_ID(relative_logs_path)));
    if (!logs_path) return -1;
    rn::ptr root(PyObject_CallNoArgs(logs_path.get()));
    if (!root) return -1;
    PyObject* mk[2] = {root.get(), Py_True};
    rn::ptr made(PyObject_Vectorcall(st.makedirs, mk, 1, st.exist_ok_kw));
    if (!made) return -1;

    rn::ptr name(PyNumber_Add(a[0], RN_STR(".log")));
    if (!name) return -1;
    rn::ptr path(PyObject_CallOneArg(logs_path.get(), name.get()));
    if (!path) return -1;
    rn::ptr when(PyObject_GetItem(conf, RN_ID(when)));
    if (!when) return -1;
    rn::ptr interval(PyObject_GetItem(conf, RN_ID(interval)));
    if (!interval) return -1;
    rn::ptr backups(PyObject_GetItem(conf, RN_ID(backupCount)));
    if (!backups) return -1;
    PyObject* b[5] = {self, path.get(), when.get(), interval.get(), backups.get()};
    rn::ptr r(base_init(st.file_handler, b, 2, st.rotate_kw));
    if (!r) return -1;
    return set_line_format(self);
}

PyType_Slot local_file_slots[] = {
    {Py_tp_init, (void*)local_file_init},
    {Py_tp_doc, (void*)local_file_init_sig.doc()},
    {0, nullptr}};

PyType_Spec local_file_spec = {"ravu.utils.logging.LocalFileHandler", 0, 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, local_file_slots};

// ---------------------------------------------------------------- CollectHandler

const rn::Signature collect_init_sig(
    "CollectHandler.__init__", "host, port",
    "A logging.handlers.DatagramHandler that sends every record as one UDP\n"
    "datagram to the collection server at (host, port).\n\n"
    "hostname, read once here from socket.gethostname(), travels in every\n"
    "datagram.  Errors of building or sending go to the standard handler's\n"
    "error reporting; the logging call never raises.",
    rn::INIT);

int collect_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    rn::ptr keep;
    if (!collect_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    PyObject* b[3] = {self, a[0], a[1]};
    rn::ptr r(base_init(st.datagram_handler, b, 3, nullptr));
    if (!r) return -1;
    // Read once: every datagram of this handler carries it.
    rn::ptr host(PyObject_CallNoArgs(st.gethostname));
    if (!host) return -1;
    return PyObject_SetAttr(self, RN_ID(hostname), host.get());
}

// Local time now as "%Y-%m-%d %H:%M:%S,%f" without its last three digits:
// milliseconds, cut rather than rounded.
// Writes `v` as `width` decimal digits with leading zeros.
char* put_digits(char* p, long v, int width) {
    for (int i = width - 1; i >= 0; --i, v /= 10) p[i] = (char)('0' + v % 10);
    return p + width;
}

PyObject* now_millis_text() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    time_t secs = ts.tv_sec;
    if (!localtime_r(&secs, &tm) || tm.tm_year + 1900 > 9999 || tm.tm_year + 1900 < 0)
        return rn::raise(PyExc_OverflowError, "timestamp out of range");
    char buf[24];
    char* p = put_digits(buf, tm.tm_year + 1900, 4);
    *p++ = '-';
    p = put_digits(p, tm.tm_mon + 1, 2);
    *p++ = '-';
    p = put_digits(p, tm.tm_mday, 2);
    *p++ = ' ';
    p = put_digits(p, tm.tm_hour, 2);
    *p++ = ':';
    p = put_digits(p, tm.tm_min, 2);
    *p++ = ':';
    p = put_digits(p, tm.tm_sec, 2);
    *p++ = ',';
    p = put_digits(p, ts.tv_nsec / 1000000L, 3);
    return PyUnicode_FromStringAndSize(buf, p - buf);
}

const rn::Signature make_pickle_sig(
    "CollectHandler.makePickle", "record",
    "Return the datagram of one record: the length of the pickled dict as\n"
    "struct '>L', then the record's attribute dict pickled with protocol 1.\n\n"
    "In the dict msg is the merged message cut to 3072 characters, args and\n"
    "exc_info are None (the traceback text travels in exc_text), log_id is\n"
    "the current one, hostname the handler's, asctime the record's or now,\n"
    "and message is dropped.",
    rn::METHOD);

PyObject* collect_make_pickle(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    PyObject* a[1];
    if (!make_pickle_sig.parse(args, nargs, kwnames, a)) return nullptr;
    PyObject* record = a[0];

    // Formatting once stores the traceback text in exc_text.
    rn::ptr exc_info(PyObject_GetAttr(record, RN_ID(exc_info)));
    if (!exc_info) return nullptr;
    const int has_exc = PyObject_IsTrue(exc_info.get());
    if (has_exc < 0) return nullptr;
    if (has_exc) {
        rn::ptr text(PyObject_CallMethodOneArg(self, RN_ID(format), record));
        if (!text) return nullptr;
    }

    rn::ptr attrs(PyObject_GetAttr(record, RN_ID(__dict__)));
    if (!attrs) return nullptr;
    rn::ptr d(PyDict_Check(attrs.get()) ? PyDict_Copy(attrs.get())
                                         : PyObject_CallOneArg((PyObject*)&PyDict_Type, attrs.get()));
    if (!d) return nullptr;

    rn::ptr msg(PyObject_CallMethodNoArgs(record, RN_ID(getMessage)));
    if (!msg) return nullptr;
    if (PyUnicode_Check(msg.get())) {
        if (PyUnicode_GET_LENGTH(msg.get()) > kMaxMessage)
            msg = PyUnicode_Substring(msg.get(), 0, kMaxMessage);
    } else {
        const Py_ssize_t n = PyObject_Length(msg.get());
        if (n < 0) return nullptr;
        if (n > kMaxMessage) msg = PySequence_GetSlice(msg.get(), 0, kMaxMessage);
    }
    if (!msg) return nullptr;

    rn::ptr log_id(rn::global(st.module, RN_ID(_log_id)));
    if (!log_id) return nullptr;
    PyObject* dd = d.get();
    if (PyDict_SetItem(dd, RN_ID(msg), msg.get()) < 0 ||
        PyDict_SetItem(dd, RN_ID(args), Py_None) < 0 ||
        PyDict_SetItem(dd, RN_ID(exc_info), Py_None) < 0 ||
        PyDict_SetItem(dd, RN_ID(log_id), log_id.get()) < 0)
        return nullptr;

    // No formatter ran (console and file off): stamp the time of building.
    PyObject* asctime = PyDict_GetItemWithError(dd, RN_ID(asctime));
    if (!asctime && PyErr_Occurred()) return nullptr;
    if (!asctime || asctime == Py_None) {
        rn::ptr now(now_millis_text());
        if (!now || PyDict_SetItem(dd, RN_ID(asctime), now.get()) < 0) return nullptr;
    }

    rn::ptr hostname(rn::get_attr(self, RN_ID(hostname)));
    if (!hostname || PyDict_SetItem(dd, RN_ID(hostname), hostname.get()) < 0) return nullptr;
    if (PyDict_DelItem(dd, RN_ID(message)) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
        PyErr_Clear();
    }

    collect::Bytes& buf = st.datagram;
    bool fast;
    try {
        buf.reset(4);  // the length prefix, filled in below
        fast = collect::Protocol1Writer(buf).dict(dd);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (!fast) {
        if (PyErr_Occurred()) return nullptr;
        // Values of other kinds: the standard pickler, same protocol.
        rn::ptr one(PyLong_FromLong(1));
        if (!one) return nullptr;
        PyObject* da[2] = {dd, one.get()};
        rn::ptr body(PyObject_Vectorcall(st.pickle_dumps, da, 2, nullptr));
        if (!body) return nullptr;
        if (!PyBytes_Check(body.get()))
            return rn::raise(PyExc_TypeError, "pickle.dumps gave no bytes");
        const Py_ssize_t n = PyBytes_GET_SIZE(body.get());
        if ((unsigned long long)n > 0xFFFFFFFFull)
            return rn::raise(PyExc_OverflowError, "record too large for its length prefix");
        PyObject* out = PyBytes_FromStringAndSize(nullptr, n + 4);
        if (!out) return nullptr;
        char* p = collect::be32(PyBytes_AS_STRING(out), (uint32_t)n);
        std::memcpy(p, PyBytes_AS_STRING(body.get()), (size_t)n);
        return out;
    }
    collect::be32(buf.data(), (uint32_t)(buf.size() - 4));
    PyObject* out = PyBytes_FromStringAndSize(buf.data(), (Py_ssize_t)buf.size());
    buf.trim();
    return out;
}

PyMethodDef collect_methods[] = {make_pickle_sig.def(collect_make_pickle), {}};

PyType_Slot collect_slots[] = {
    {Py_tp_init, (void*)collect_init},
    {Py_tp_methods, collect_methods},
    {Py_tp_doc, (void*)collect_init_sig.doc()},
    {0, nullptr}};

PyType_Spec collect_spec = {"ravu.utils.logging.CollectHandler", 0, 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, collect_slots};

// ---------------------------------------------------------------- functions

const rn::Signature set_logid_sig(
    "set_logid", "log_id, /",
    "Set the log id that every collected record built from now on carries.\n"
    "Takes no lock; returns None.");

PyObject* set_logid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* log_id = set_logid_sig.single(args, nargs, kwnames);
    if (!log_id) return nullptr;
    if (PyObject_SetAttr(st.module, RN_ID(_log_id), log_id) < 0) return nullptr;
    Py_RETURN_NONE;
}

const rn::Signature log_sig(
    "log", "",
    "Return the process logger (a logging.Logger) set up by init_logger.\n\n"
    "Raises Exception('日志未初始化!') until init_logger has run.  Use it as\n"
    "log().info(text), log().warning(text), log().error(text).");

PyObject* log_fn(PyObject*) {
    PyObject* logger = PyDict_GetItemWithError(PyModule_GetDict(st.module), RN_ID(_logger));
    if (!logger) {
        if (PyErr_Occurred()) return nullptr;
        return rn::raise(PyExc_NameError, "name '_logger' is not defined");
    }
    if (logger == Py_None) {
        PyErr_SetString(PyExc_Exception, "日志未初始化!");  // UTF-8 text, not a format
        return nullptr;
    }
    return Py_NewRef(logger);
}

// The program's name: os.path.realpath(sys.argv[0]) from after its last "/"
// up to its last three characters (the ".py"), whatever they are.
PyObject* program_name() {
    PyObject* argv = PySys_GetObject("argv");  // borrowed
    if (!argv) return rn::raise(PyExc_RuntimeError, "lost sys.argv");
    rn::ptr first(PySequence_GetItem(argv, 0));
    if (!first) return nullptr;
    rn::ptr path(PyObject_CallMethodOneArg(st.os_path, RN_ID(realpath), first.get()));
    if (!path) return nullptr;
    if (!PyUnicode_Check(path.get()))
        return rn::raise(PyExc_TypeError, "program path is not text: %R", path.get());
    const Py_ssize_t n = PyUnicode_GET_LENGTH(path.get());
    const Py_ssize_t slash = PyUnicode_FindChar(path.get(), '/', 0, n, -1);
    if (slash == -2) return nullptr;
    const Py_ssize_t start = slash + 1;
    const Py_ssize_t end = n - 3 > start ? n - 3 : start;
    return PyUnicode_Substring(path.get(), start, end);
}

PyObject* make_handler(PyObject* name, PyObject* const* args, size_t nargs) {
    rn::ptr cls(rn::global(st.module, name));
    if (!cls) return nullptr;
    return PyObject_Vectorcall(cls.get(), args, nargs, nullptr);
}

int add_handler(PyObject* logger, PyObject* handler) {
    rn::ptr r(PyObject_CallMethodOneArg(logger, RN_ID(addHandler), handler));
    return r ? 0 : -1;
}

// init_logger's body; runs with _log_mutex held.
PyObject* set_up(PyObject** a) {
    PyObject* appname_in = a[0];
    PyObject* filename_in = a[1];
    PyObject* log_id = a[2];
    rn::ptr current(rn::global(st.module, RN_ID(_logger)));
    if (!current) return nullptr;
    if (current.get() != Py_None) {
        const int quiet = PyObject_IsTrue(a[3]);
        if (quiet < 0) return nullptr;
        if (quiet) Py_RETURN_NONE;
        PyErr_SetString(PyExc_Exception, "日志初始化两次!");
        return nullptr;
    }
    rn::ptr appname(appname_in != Py_None ? Py_NewRef(appname_in) : program_name());
    if (!appname) return nullptr;
    rn::ptr filename(filename_in != Py_None ? Py_NewRef(filename_in) : Py_NewRef(appname.get()));
    if (PyObject_SetAttr(st.module, RN_ID(_log_id), log_id) < 0) return nullptr;

    rn::ptr logger(PyObject_CallMethodOneArg(st.logging, RN_ID(getLogger), appname.get()));
    if (!logger) return nullptr;
    // Stored before its level and handlers: a later call is a second set-up
    // even when this one fails below.
    if (PyObject_SetAttr(st.module, RN_ID(_logger), logger.get()) < 0) return nullptr;
    rn::ptr r(PyObject_CallMethodOneArg(logger.get(), RN_ID(setLevel), a[7]));
    if (!r) return nullptr;

    int on = PyObject_IsTrue(a[4]);
    if (on < 0) return nullptr;
    if (on) {
        rn::ptr h(make_handler(RN_ID(ConsoleHandler), nullptr, 0));
        if (!h || add_handler(logger.get(), h.get()) < 0) return nullptr;
    }
    on = PyObject_IsTrue(a[5]);
    if (on < 0) return nullptr;
    if (on) {
        PyObject* args[2] = {filename.get(), a[8]};
        rn::ptr h(make_handler(RN_ID(LocalFileHandler), args, 2));
        if (!h || add_handler(logger.get(), h.get()) < 0) return nullptr;
    }
    on = PyObject_IsTrue(a[6]);
    if (on < 0) return nullptr;
    if (on) {
        PyObject* address = a[9];
        // collect_address[0] and [1]: any object that indexes so will do.
        rn::ptr zero_index(PyLong_FromLong(0));
        rn::ptr host(zero_index ? PyObject_GetItem(address, zero_index.get()) : nullptr);
        if (!host) return nullptr;
        rn::ptr one_index(PyLong_FromLong(1));
        rn::ptr port(one_index ? PyObject_GetItem(address, one_index.get()) : nullptr);
        if (!port) return nullptr;
        PyObject* args[2] = {host.get(), port.get()};
        rn::ptr h(make_handler(RN_ID(CollectHandler), args, 2));
        if (!h || add_handler(logger.get(), h.get()) < 0) return nullptr;
    }
    rn::ptr zero(PyLong_FromLong(0));
    if (!zero || PyObject_SetAttr(logger.get(), RN_ID(propagate), zero.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

const rn::Signature init_logger_sig(
    "init_logger",
    "appname=None, filename=None, log_id=None, exist_ok=False, open_console=True, "
    "open_localfile=True, open_collect=False, level='DEBUG', "
    "rotating_conf=" DEFAULT_ROTATING_CONF_TEXT ", collect_address=('127.0.0.1', 6666)",
    "Set up the process logger, once per process; returns None.\n\n"
    "appname: the logger's name; None takes the program's file name without\n"
    "  its last three characters (worker for /opt/svc/worker.py).\n"
    "filename: the local log file's name without '.log'; None: appname.\n"
    "log_id: carried by every collected record (see set_logid).\n"
    "exist_ok: when the logger is already set up, return quietly instead of\n"
    "  raising Exception('日志初始化两次!').\n"
    "open_console, open_localfile, open_collect: add a ConsoleHandler, a\n"
    "  LocalFileHandler(filename, rotating_conf) and a\n"
    "  CollectHandler(collect_address[0], collect_address[1]), in this order.\n"
    "level: the logger's level, a name or a number.\n\n"
    "log() raises until this has run.  The logger is stored before its level\n"
    "and handlers are set: after a failure part-way it stays, and a later call\n"
    "counts as a second set-up.  Records do not propagate to parent loggers.");

PyObject* init_logger(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[10];
    if (!init_logger_sig.parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr mutex(rn::global(st.module, RN_ID(_log_mutex)));
    if (!mutex) return nullptr;
    // The lock's own acquire lets other threads run while it waits.
    rn::park_at_exit();
    rn::ptr got(PyObject_CallMethodNoArgs(mutex.get(), RN_ID(acquire)));
    if (!got) return nullptr;
    rn::ptr result(set_up(a));
    rn::SavedError saved;
    rn::ptr released(PyObject_CallMethodNoArgs(mutex.get(), RN_ID(release)));
    if (!released) return nullptr;
    return result.release();
}

PyMethodDef methods[] = {set_logid_sig.def(set_logid), init_logger_sig.def(init_logger),
                         log_sig.def(rn::noargs<log_sig, log_fn>), {}};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "ravu.utils.logging",
    "The one logger of each process and its console, file and collect handlers.\n\n"
    "init_logger(...) -- set the process logger up, once.\n"
    "log() -- the process logger; raises until init_logger has run.\n"
    "set_logid(log_id) -- the id every collected record carries.\n"
    "ConsoleHandler, LocalFileHandler, CollectHandler -- the three handlers:\n"
    "    standard error, a weekly rotated file below the logs root, and one UDP\n"
    "    datagram per record to the collection server (ravu.utils.journal_hub).",
    -1, methods};

int init(PyObject* m) {
    st.logging = PyImport_ImportModule("logging");
    if (!st.logging) return -1;
    rn::ptr handlers(PyImport_ImportModule("logging.handlers"));
    if (!handlers) return -1;
    st.stream_handler = PyObject_GetAttrString(st.logging, "StreamHandler");
    st.file_handler = PyObject_GetAttrString(handlers.get(), "TimedRotatingFileHandler");
    st.datagram_handler = PyObject_GetAttrString(handlers.get(), "DatagramHandler");
    if (!st.stream_handler || !st.file_handler || !st.datagram_handler) return -1;
    st.os_path = rn::import_attr("os", "path");
    st.makedirs = rn::import_attr("os", "makedirs");
    st.gethostname = rn::import_attr("socket", "gethostname");
    st.pickle_dumps = rn::import_attr("pickle", "dumps");
    if (!st.os_path || !st.makedirs || !st.gethostname || !st.pickle_dumps) return -1;
    // The defaults that are no single literal, one object each, as a def has.
    rn::ptr conf(default_rotating_conf());
    rn::ptr address(Py_BuildValue("(si)", "127.0.0.1", 6666));
    if (!conf || !address) return -1;
    local_file_init_sig.set_default("rotating_conf", conf.get());
    conf = default_rotating_conf();
    if (!conf) return -1;
    init_logger_sig.set_default("rotating_conf", conf.get());
    init_logger_sig.set_default("collect_address", address.get());
    st.exist_ok_kw = Py_BuildValue("(s)", "exist_ok");
    st.rotate_kw = Py_BuildValue("(sss)", "when", "interval", "backupCount");
    if (!st.exist_ok_kw || !st.rotate_kw) return -1;

    if (rn::bind_import(m, "ravu._internal.path", "relative_logs_path") < 0) return -1;
    rn::ptr lock(rn::import_attr("threading", "Lock"));
    if (!lock) return -1;
    rn::ptr mutex(PyObject_CallNoArgs(lock.get()));
    if (!mutex || PyModule_AddObjectRef(m, "_log_mutex", mutex.get()) < 0) return -1;
    if (PyModule_AddObjectRef(m, "_logger", Py_None) < 0 ||
        PyModule_AddObjectRef(m, "_log_id", Py_None) < 0)
        return -1;

    rn::ptr t1(rn::add_type(m, &console_spec, st.stream_handler));
    rn::ptr t2(rn::add_type(m, &local_file_spec, st.file_handler));
    rn::ptr t3(rn::add_type(m, &collect_spec, st.datagram_handler));
    if (!t1 || !t2 || !t3) return -1;
    return rn::set_all(m, {"set_logid", "init_logger", "log"});
}

}  // namespace

PyMODINIT_FUNC PyInit_logging() {
    return rn::create_module(&moduledef, init, &st.module);
}
