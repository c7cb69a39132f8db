// ravu.cv.stream_reader: the registry of grabbing threads by endpoint key
// and the light readers that share them.
//
// `create_cap` starts the grabber of a key on its first call, under one
// function lock for all keys, and returns a new reader on every call.
// Readers take the grabber's newest frame without any lock, waiting on its
// event when they ask for a frame newer than their last one.
#include "rn.h"
#include "stream_shared.h"

#include <numpy/arrayobject.h>

namespace {

// The module's state, made once at import.
struct State {
    PyObject* module;             // for globals looked up at call time
    PyTypeObject* grabber_type;   // StreamGrabber as imported: state in its dict
    PyTypeObject* reader_type;
    PyObject* np_copy;            // numpy.copy as imported
    PyObject* own_read;           // StreamReader._read as made (the class holds it)
    PyObject* timeout_kwnames;    // ("timeout",)
    PyObject* no_wait;            // the time-out the non-blocking reads pass: 0
    PyObject* none_read;          // _cur_frame_num of a new reader: 0
};
State st;

PyObject* gattr(PyObject* g, PyObject* name) { return cv_native::attr(g, st.grabber_type, name); }


// ---------------------------------------------------------------- create_cap

#define CREATE_CAP_DOC                                                                   \
    "Return a new StreamReader of the grabber registered under endpoint,\n"             \
    "starting that grabber (a daemon StreamGrabber thread) on the first call\n"         \
    "for the key.\n\n"                                                                  \
    "endpoint: the key, any hashable value, chosen by the caller.\n" GRABBER_PARAMS_DOC \
    "out_width, out_height, args: passed to cap_cls as they are.\n"                     \
    "read_timeout_callback: None, or called as callback(endpoint) when a\n"             \
    "  blocking read of this key times out (else that read stops the grabber).\n\n"    \
    "Only the first call for a key uses the parameters after endpoint; later\n"         \
    "calls make a reader and nothing else, even when the grabber has stopped.\n"        \
    "All calls share one time-out lock (3 s), held while the source opens.\n"           \
    "Starting a grabber logs through log(): init_logger must have run."

const rn::Signature create_cap_sig("create_cap",
                                   "endpoint, " GRABBER_PARAMS ", read_timeout_callback=None",
                                   CREATE_CAP_DOC);

PyObject* create_cap_impl(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* a[2 + cv_native::kGrabberParams];
    if (!create_cap_sig.parse(args, (Py_ssize_t)nargsf, kwnames, a)) return nullptr;
    PyObject* endpoint = a[0];
    PyObject* read_timeout_callback = a[1 + cv_native::kGrabberParams];

    rn::ptr registry(rn::global(st.module, RN_ID(_camera_dict)));
    if (!registry) return nullptr;
    rn::ptr known(PyObject_CallMethodOneArg(registry.get(), RN_ID(get), endpoint));
    if (!known) return nullptr;
    if (known.get() == Py_None) {
        rn::ptr cls(rn::global(st.module, RN_ID(StreamGrabber)));
        if (!cls) return nullptr;
        rn::ptr grabber(PyObject_Vectorcall(cls.get(), a + 1, cv_native::kGrabberParams, nullptr));
        if (!grabber) return nullptr;
        if (PyObject_SetAttr(grabber.get(), RN_ID(_read_timeout_callback),
                             read_timeout_callback) < 0 ||
            PyObject_SetAttr(grabber.get(), RN_ID(endpoint), endpoint) < 0)
            return nullptr;
        // What setDaemon(True) does, without its deprecation warning.
        if (PyObject_SetAttr(grabber.get(), RN_ID(daemon), Py_True) < 0) return nullptr;
        rn::ptr started(PyObject_CallMethodNoArgs(grabber.get(), RN_ID(start)));
        if (!started) return nullptr;
        if (PyObject_SetItem(registry.get(), endpoint, grabber.get()) < 0) return nullptr;
    }
    rn::ptr reader_cls(rn::global(st.module, RN_ID(StreamReader)));
    if (!reader_cls) return nullptr;
    return PyObject_CallOneArg(reader_cls.get(), endpoint);
}

// The undecorated create_cap: a function object, which takes attributes,
// since lock_func stores the function lock on it as `mutex`.
const rn::FunctionKind create_cap_kind{create_cap_sig, create_cap_impl, rn::STAYS};

// ---------------------------------------------------------------- StreamReader

// The three attributes a reader holds are member slots, read in place on
// the hot path; other attributes go to its dict as on any Python object.
struct Reader {
    PyObject_HEAD
    PyObject* endpoint;  // _endpoint
    PyObject* grabber;   // bound_grabber
    PyObject* cur;       // _cur_frame_num
    PyObject* dict;
    PyObject* weakrefs;
};

using Field = PyObject* Reader::*;

// One of the three, in place for the exact class; a subclass goes through
// the attribute protocol, since it may shadow them.
PyObject* rget(PyObject* self, Field field, PyObject* name) {
    if (Py_IS_TYPE(self, st.reader_type)) {
        if (PyObject* v = reinterpret_cast<Reader*>(self)->*field) return Py_NewRef(v);
    }
    return PyObject_GetAttr(self, name);
}

int rset(PyObject* self, Field field, PyObject* name, PyObject* value) {
    if (Py_IS_TYPE(self, st.reader_type)) {
        Py_XSETREF(reinterpret_cast<Reader*>(self)->*field, Py_NewRef(value));
        return 0;
    }
    return PyObject_SetAttr(self, name, value);
}

#define R_ENDPOINT &Reader::endpoint, RN_ID(_endpoint)
#define R_GRABBER &Reader::grabber, RN_ID(bound_grabber)
#define R_CUR &Reader::cur, RN_ID(_cur_frame_num)

const rn::Signature reader_init_sig(
    "StreamReader.__init__", "endpoint",
    "A reader of the grabber that create_cap started for endpoint.\n\n"
    "Raises Exception(endpoint, ' is not create!') when the key has no grabber.\n"
    "Each reader remembers the number of the frame it returned last\n"
    "(_cur_frame_num, 0 at first): a blocking read returns only a frame newer\n"
    "than that one.  Readers take no lock; they may be made and used in any\n"
    "thread, one per consumer.  Reads return copies unless is_copy is false.\n"
    "A read of a stopped grabber raises Exception('<device_name> is stop').\n\n"
    "The properties read the grabber (or its source) anew at each access.",
    rn::INIT);

int reader_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    rn::ptr keep;
    if (!reader_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    if (rset(self, R_ENDPOINT, a[0]) < 0) return -1;
    rn::ptr registry(rn::global(st.module, RN_ID(_camera_dict)));
    if (!registry) return -1;
    rn::ptr grabber(PyObject_CallMethodOneArg(registry.get(), RN_ID(get), a[0]));
    if (!grabber || rset(self, R_GRABBER, grabber.get()) < 0) return -1;
    if (grabber.get() == Py_None) {
        cv_native::raise_args(a[0], RN_STR(" is not create!"));
        return -1;
    }
    return rset(self, R_CUR, st.none_read);
}

// Exception(str(g.device_name) + suffix); str() so that a source named by
// a number (a camera index) gets its message too.
PyObject* raise_about(PyObject* g, PyObject* suffix) {
    rn::ptr name(gattr(g, RN_ID(device_name)));
    if (!name) return nullptr;
    rn::ptr shown(PyObject_Str(name.get()));
    if (!shown) return nullptr;
    rn::ptr text(PyNumber_Add(shown.get(), suffix));
    if (!text) return nullptr;
    return cv_native::raise_args(text.get());
}

// np.copy(frame), `np` looked up now; the standard function on an exact
// ndarray is PyArray_NewCopy in keep-order, done here without the detour.
PyObject* copy_frame(PyObject* frame) {
    rn::ptr copy(rn::global(st.module, {RN_ID(np), RN_ID(copy)}));
    if (!copy) return nullptr;
    if (copy.get() == st.np_copy && PyArray_CheckExact(frame))
        return PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(frame), NPY_KEEPORDER);
    return PyObject_CallOneArg(copy.get(), frame);
}

// The truth value of v, without a call for the flags' usual values.
inline int truth(PyObject* v) {
    if (v == Py_True) return 1;
    if (v == Py_False || v == Py_None) return 0;
    return PyObject_IsTrue(v);
}

// The grabber's attributes during one read (rn::DictReader): an exact
// StreamGrabber's instance dict is taken once and taken anew after any
// step that may run Python code.  The non-blocking read is three look-ups:
// 75 ns through the protocol, 44 ns so (floor 34).
struct GrabberAttrs : rn::DictReader {
    explicit GrabberAttrs(PyObject* grabber) : rn::DictReader(grabber, st.grabber_type) {}

    // truth(v), the dict taken anew when that ran code.
    int truth_of(PyObject* v) {
        if (v != Py_True && v != Py_False && v != Py_None) stale();  // __bool__ may run
        return truth(v);
    }
};

PyObject* do_read(PyObject* self, PyObject* is_block, PyObject* timeout, PyObject* is_return_num,
                  PyObject* is_copy, PyObject* is_map) {
    rn::ptr g(rget(self, R_GRABBER));
    if (!g) return nullptr;
    GrabberAttrs ga(g.get());
    rn::ptr running(ga.get(RN_ID(is_run)));
    if (!running) return nullptr;
    int t = ga.truth_of(running.get());
    if (t < 0) return nullptr;
    if (!t) return raise_about(g.get(), RN_STR(" is stop"));

    t = ga.truth_of(is_block);
    if (t < 0) return nullptr;
    if (t) {
        // Waits and compares through the protocol: this branch blocks anyway.
        ga.stale();
        rn::ptr theirs(gattr(g.get(), RN_ID(cur_frame_num)));
        rn::ptr mine(theirs ? rget(self, R_CUR) : nullptr);
        if (!mine) return nullptr;
        int same = cv_native::equal(theirs.get(), mine.get());
        if (same < 0) return nullptr;
        if (same) {
            rn::ptr event(gattr(g.get(), RN_ID(event)));
            if (!event) return nullptr;
            rn::park_at_exit();  // a reader in a daemon thread may sit in this wait at exit
            PyObject* wa[2] = {event.get(), timeout};
            rn::ptr r(PyObject_VectorcallMethod(RN_ID(wait), wa, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                st.timeout_kwnames));
            if (!r) return nullptr;
        }
        // The second look alone decides: a frame that came after the wait
        // gave up still counts.
        theirs = gattr(g.get(), RN_ID(cur_frame_num));
        mine = theirs ? rget(self, R_CUR) : nullptr;
        if (!mine) return nullptr;
        same = cv_native::equal(theirs.get(), mine.get());
        if (same < 0) return nullptr;
        if (same) {
            rn::ptr callback(gattr(g.get(), RN_ID(_read_timeout_callback)));
            if (!callback) return nullptr;
            rn::ptr r;
            if (callback.get() == Py_None) {
                r = PyObject_CallMethodNoArgs(g.get(), RN_ID(stop));
            } else {
                rn::ptr endpoint(rget(self, R_ENDPOINT));
                if (!endpoint) return nullptr;
                r = PyObject_CallOneArg(callback.get(), endpoint.get());
            }
            if (!r) return nullptr;
            return raise_about(g.get(), RN_STR(" is disconnect"));
        }
    }
    rn::ptr num(ga.get(RN_ID(cur_frame_num)));
    if (!num) return nullptr;
    // Storing may run code: a subclass's attribute protocol, or the
    // finaliser of an old number that is no int.
    PyObject* old = Py_IS_TYPE(self, st.reader_type) ? reinterpret_cast<Reader*>(self)->cur : nullptr;
    if (!old || !PyLong_CheckExact(old)) ga.stale();
    if (rset(self, R_CUR, num.get()) < 0) return nullptr;
    t = ga.truth_of(is_map);
    if (t < 0) return nullptr;
    rn::ptr frame(ga.get(t ? RN_ID(cur_map_frame) : RN_ID(cur_frame)));
    if (!frame) return nullptr;
    if (frame.get() != Py_None) {
        t = truth(is_copy);
        if (t < 0) return nullptr;
        if (t) {
            frame = copy_frame(frame.get());
            if (!frame) return nullptr;
        }
    }
    t = truth(is_return_num);
    if (t < 0) return nullptr;
    if (!t) return frame.release();
    num = rget(self, R_CUR);
    if (!num) return nullptr;
    return PyTuple_Pack(2, frame.get(), num.get());
}

const rn::Signature read_impl_sig(
    "StreamReader._read", "is_block, timeout, is_return_num, is_copy, is_map",
    "The read behind the four public ones; a subclass or an instance\n"
    "attribute may replace it.  is_block waits up to timeout seconds for a\n"
    "frame newer than the reader's last; is_map takes the mapped frame.",
    rn::METHOD);

PyObject* reader_read_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* a[5];
    if (!read_impl_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return do_read(self, a[0], a[1], a[2], a[3], a[4]);
}

// self._read(...): straight to the C read for the exact class while it still
// holds its own _read, through the attribute otherwise, so that a subclass,
// an instance attribute or a replacement on the class may override it.
PyObject* dispatch(PyObject* self, PyObject* is_block, PyObject* timeout, PyObject* is_return_num,
                   PyObject* is_copy, PyObject* is_map) {
    if (rn::is_stock_method(self, st.reader_type, RN_ID(_read), st.own_read))
        return do_read(self, is_block, timeout, is_return_num, is_copy, is_map);
    if (PyErr_Occurred()) return nullptr;
    PyObject* a[6] = {self, is_block, timeout, is_return_num, is_copy, is_map};
    return PyObject_VectorcallMethod(RN_ID(_read), a, 6 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Binds a read's arguments as S.parse does, faster for positionals and for
// keywords that are the very interned names (as the compiler makes them):
// the signature's defaults (taken once; it keeps them for good), then the
// arguments over them.  Anything else (a keyword given twice, an unknown
// one) goes to the general parser, which binds or refuses it with
// CPython's messages.
template <const rn::Signature& S, size_t N>
bool bind_read(PyObject* const (&names)[N], PyObject* const* args, Py_ssize_t nargsf,
               PyObject* kwnames, PyObject** out) {
    static PyObject* defaults[N];
    static bool have_defaults = false;
    if (!have_defaults) {
        if (!S.parse(nullptr, 0, nullptr, defaults)) return false;
        have_defaults = true;
    }
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > (Py_ssize_t)N) return S.parse(args, nargsf, kwnames, out);
    bool given[N] = {};
    for (Py_ssize_t i = 0; i < (Py_ssize_t)N; ++i) {
        given[i] = i < nargs;
        out[i] = given[i] ? args[i] : defaults[i];
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
        size_t j = 0;
        while (j < N && names[j] != kw) ++j;
        if (j == N || given[j]) return S.parse(args, nargsf, kwnames, out);
        out[j] = args[nargs + k];
        given[j] = true;
    }
    return true;
}

const char* const kBlockingReadDoc =
    "Return the newest frame once it is newer than the one this reader\n"
    "returned last, waiting up to timeout seconds for it.\n\n"
    "is_return_num: return (frame, number) instead of the frame.\n"
    "is_copy: return a copy (np.copy); False returns the grabber's own object.\n"
    "When no newer frame comes in time, calls the key's read_timeout_callback\n"
    "with the endpoint (or, without one, stops the grabber) and raises\n"
    "Exception('<device_name> is disconnect').";

const rn::Signature read_sig("StreamReader.read", "is_return_num=False, timeout=8, is_copy=True",
                             kBlockingReadDoc, rn::METHOD);
const rn::Signature read_map_sig("StreamReader.read_map",
                                 "is_return_num=False, timeout=8, is_copy=True",
                                 "As read(), for the mapped frame (frame_map.map of the frame).",
                                 rn::METHOD);
const rn::Signature read_now_sig(
    "StreamReader.read_non_blocking", "is_return_num=False, is_copy=True",
    "Return the newest frame at once (None before the grabber's first), newer\n"
    "or not; is_return_num and is_copy as for read().",
    rn::METHOD);
const rn::Signature read_map_now_sig("StreamReader.read_map_non_blocking",
                                     "is_return_num=False, is_copy=True",
                                     "As read_non_blocking(), for the mapped frame.", rn::METHOD);

template <bool Map>
PyObject* reader_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static PyObject* const names[3] = {RN_ID(is_return_num), RN_ID(timeout), RN_ID(is_copy)};
    PyObject* a[3];
    const bool bound = Map ? bind_read<read_map_sig>(names, args, nargs, kwnames, a)
                           : bind_read<read_sig>(names, args, nargs, kwnames, a);
    if (!bound) return nullptr;
    return dispatch(self, Py_True, a[1], a[0], a[2], Map ? Py_True : Py_False);
}

template <bool Map>
PyObject* reader_read_now(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    static PyObject* const names[2] = {RN_ID(is_return_num), RN_ID(is_copy)};
    PyObject* a[2];
    const bool bound = Map ? bind_read<read_map_now_sig>(names, args, nargs, kwnames, a)
                           : bind_read<read_now_sig>(names, args, nargs, kwnames, a);
    if (!bound) return nullptr;
    return dispatch(self, Py_False, st.no_wait, a[0], a[1], Map ? Py_True : Py_False);
}

// The grabber's get_frame / get_map_frame, as they come.
const rn::Signature history_sig(
    "StreamReader.get_frame", "frame_num",
    "Return the grabber's get_frame(frame_num) as it comes, not copied: a\n"
    "frame of its history ring by absolute number (> 0) or relative one (0 the\n"
    "newest, -1 the one before), or None.",
    rn::METHOD);
const rn::Signature map_history_sig(
    "StreamReader.get_map_frame", "frame_num",
    "Return the grabber's get_map_frame(frame_num) as it comes, not copied.", rn::METHOD);

template <bool Map>
PyObject* reader_history(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    PyObject* a[1];
    if (!(Map ? map_history_sig : history_sig).parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr g(rget(self, R_GRABBER));
    if (!g) return nullptr;
    rn::ptr fn(gattr(g.get(), Map ? RN_ID(get_map_frame) : RN_ID(get_frame)));
    if (!fn) return nullptr;
    return PyObject_CallOneArg(fn.get(), a[0]);
}

// ---------------------------------------------------------------- properties

PyObject* grabber_of(PyObject* self) { return rget(self, R_GRABBER); }

PyObject* prop_endpoint(PyObject* self, void*) { return rget(self, R_ENDPOINT); }

// g.cap.<method>()
PyObject* cap_call(PyObject* self, PyObject* method) {
    rn::ptr g(grabber_of(self));
    if (!g) return nullptr;
    rn::ptr cap(gattr(g.get(), RN_ID(cap)));
    if (!cap) return nullptr;
    return PyObject_CallMethodNoArgs(cap.get(), method);
}

PyObject* prop_width(PyObject* self, void*) { return cap_call(self, RN_ID(width)); }
PyObject* prop_height(PyObject* self, void*) { return cap_call(self, RN_ID(height)); }
PyObject* prop_fps(PyObject* self, void*) { return cap_call(self, RN_ID(fps)); }

// int(g.frame_map.<method>(g.cap.width(), g.cap.height())), the method
// looked up before the two sizes are taken.
PyObject* mapped_size(PyObject* self, PyObject* method) {
    rn::ptr g(grabber_of(self));
    if (!g) return nullptr;
    rn::ptr hook(gattr(g.get(), RN_ID(frame_map)));
    if (!hook) return nullptr;
    rn::ptr fn(PyObject_GetAttr(hook.get(), method));
    if (!fn) return nullptr;
    rn::ptr w(cap_call(self, RN_ID(width)));
    if (!w) return nullptr;
    rn::ptr h(cap_call(self, RN_ID(height)));
    if (!h) return nullptr;
    PyObject* a[2] = {w.get(), h.get()};
    rn::ptr v(PyObject_Vectorcall(fn.get(), a, 2, nullptr));
    if (!v) return nullptr;
    return PyNumber_Long(v.get());
}

PyObject* prop_map_width(PyObject* self, void*) { return mapped_size(self, RN_ID(width_map)); }
PyObject* prop_map_height(PyObject* self, void*) { return mapped_size(self, RN_ID(height_map)); }

#define RN_GRABBER_PROP(name)                                                        \
    PyObject* prop_##name(PyObject* self, void*) {                                   \
        rn::ptr g(grabber_of(self));                                                 \
        if (!g) return nullptr;                                                      \
        return gattr(g.get(), RN_ID(name));                                          \
    }
RN_GRABBER_PROP(device_name)
RN_GRABBER_PROP(cur_frame_num)
RN_GRABBER_PROP(frame_map)
RN_GRABBER_PROP(retrieve_step)
RN_GRABBER_PROP(history_size)
RN_GRABBER_PROP(cap_lock)
RN_GRABBER_PROP(catch)
#undef RN_GRABBER_PROP

PyGetSetDef reader_getset[] = {
    {"endpoint", prop_endpoint, nullptr, "The endpoint key.", nullptr},
    {"device_name", prop_device_name, nullptr, "The source's device name.", nullptr},
    {"cur_frame_num", prop_cur_frame_num, nullptr, "Frames the grabber delivered so far (not this reader's last).",
     nullptr},
    {"height", prop_height, nullptr, "Height of the source's frames.", nullptr},
    {"map_height", prop_map_height, nullptr, "int() of frame_map.height_map(width, height).", nullptr},
    {"width", prop_width, nullptr, "Width of the source's frames.", nullptr},
    {"map_width", prop_map_width, nullptr, "int() of frame_map.width_map(width, height).", nullptr},
    {"frame_map", prop_frame_map, nullptr, "The grabber's frame hook.", nullptr},
    {"retrieve_step", prop_retrieve_step, nullptr, "Source frames per delivered frame.", nullptr},
    {"history_size", prop_history_size, nullptr, "Capacity of the frame history.", nullptr},
    {"fps", prop_fps, nullptr, "The source's frame rate.", nullptr},
    {"cap_lock", prop_cap_lock, nullptr, "The grabber's lock for users of its source.", nullptr},
    {"catch", prop_catch, nullptr, "The grabber's dict shared by its readers.", nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef reader_methods[] = {history_sig.def(reader_history<false>),
                                map_history_sig.def(reader_history<true>),
                                read_impl_sig.def(reader_read_impl),
                                read_sig.def(reader_read<false>),
                                read_map_sig.def(reader_read<true>),
                                read_now_sig.def(reader_read_now<false>),
                                read_map_now_sig.def(reader_read_now<true>),
                                {}};

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
    Reader* r = reinterpret_cast<Reader*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(r->endpoint);
    Py_VISIT(r->grabber);
    Py_VISIT(r->cur);
    Py_VISIT(r->dict);
    return 0;
}

int reader_clear(PyObject* self) {
    Reader* r = reinterpret_cast<Reader*>(self);
    Py_CLEAR(r->endpoint);
    Py_CLEAR(r->grabber);
    Py_CLEAR(r->cur);
    Py_CLEAR(r->dict);
    return 0;
}

PyMemberDef reader_members[] = {
    {"_endpoint", T_OBJECT_EX, offsetof(Reader, endpoint), 0, nullptr},
    {"bound_grabber", T_OBJECT_EX, offsetof(Reader, grabber), 0,
     "The StreamGrabber this reader reads, fixed when the reader is made."},
    {"_cur_frame_num", T_OBJECT_EX, offsetof(Reader, cur), 0,
     "Number of the frame this reader returned last (0 at first)."},
    {"__dictoffset__", T_PYSSIZET, offsetof(Reader, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Reader, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, (void*)reader_init_sig.doc()},
    {Py_tp_init, (void*)reader_init},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {Py_tp_members, reader_members},
    {Py_tp_traverse, (void*)reader_traverse},
    {Py_tp_clear, (void*)reader_clear},
    {Py_tp_dealloc, (void*)rn::gc_dealloc<reader_clear>},
    {0, nullptr}};

PyType_Spec reader_spec = {"ravu.cv.stream_reader.StreamReader", sizeof(Reader), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                           reader_slots};

// ---------------------------------------------------------------- module

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "ravu.cv.stream_reader",
    "Grabbers by endpoint key and the readers that share them.\n\n"
    "create_cap(" "endpoint, " GRABBER_PARAMS ", read_timeout_callback=None)\n"
    "    -> StreamReader\n\n" CREATE_CAP_DOC "\n\n"
    "create_cap is a lock_func wrapper: its __name__ is 'decorator' and its\n"
    "__doc__ None, so this page documents it.\n\n"
    "StreamReader(endpoint) -- a further reader of a key create_cap started.",
    -1, nullptr};

int init(PyObject* m) {
    st.no_wait = PyLong_FromLong(0);
    st.none_read = Py_XNewRef(st.no_wait);
    st.timeout_kwnames = Py_BuildValue("(s)", "timeout");
    if (!st.no_wait || !st.none_read || !st.timeout_kwnames) return -1;
    if (_import_array() < 0) return -1;
    if (rn::bind_import(m, nullptr, "numpy", "np") < 0) return -1;
    st.np_copy = rn::global(m, {RN_ID(np), RN_ID(copy)});
    if (!st.np_copy) return -1;
    if (rn::star_import(m, "ravu.utils") < 0) return -1;
    if (rn::bind_import(m, "ravu.cv.stream_grabber", "StreamGrabber") < 0) return -1;
    rn::ptr grabber(rn::global(m, RN_ID(StreamGrabber)));
    if (!grabber) return -1;
    if (!PyType_Check(grabber.get())) {
        PyErr_SetString(PyExc_TypeError, "StreamGrabber is not a class");
        return -1;
    }
    st.grabber_type = (PyTypeObject*)grabber.release();
    rn::ptr registry(PyDict_New());
    if (!registry || PyModule_AddObjectRef(m, "_camera_dict", registry.get()) < 0) return -1;

    // create_cap = lock_func()(create_cap)
    rn::ptr function_type((PyObject*)rn::function_type(m, "ravu.cv.stream_reader.function"));
    if (!function_type) return -1;
    rn::ptr raw(rn::new_function((PyTypeObject*)function_type.get(), create_cap_kind));
    if (!raw) return -1;
    rn::ptr lock_func(rn::global(m, RN_ID(lock_func)));
    if (!lock_func) return -1;
    rn::ptr decorate(PyObject_CallNoArgs(lock_func.get()));
    if (!decorate) return -1;
    rn::ptr wrapped(PyObject_CallOneArg(decorate.get(), raw.get()));
    if (!wrapped || PyModule_AddObjectRef(m, "create_cap", wrapped.get()) < 0) return -1;
    // The wrapper passes every argument on: inspect.signature and help()
    // show create_cap's own parameters instead of (*args, **kwargs).
    rn::ptr signature(create_cap_sig.inspected());
    if (!signature || PyObject_SetAttr(wrapped.get(), RN_ID(__signature__), signature.get()) < 0)
        return -1;

    st.reader_type = (PyTypeObject*)rn::add_type(m, &reader_spec);
    if (!st.reader_type) return -1;
    st.own_read = rn::class_member(st.reader_type, RN_ID(_read));
    if (!st.own_read) return -1;
    return rn::set_all(m, {"create_cap", "StreamReader"});
}

}  // namespace

PyMODINIT_FUNC PyInit_stream_reader() {
    return rn::create_module(&moduledef, init, &st.module);
}
