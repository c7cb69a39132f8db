// ravu.cv.stream_grabber: one thread per capture source that reads frames in
// the background and publishes the newest one, its mapped form, a running
// frame counter and optional history rings.
//
// StreamGrabber derives from threading.Thread; its state lives in plain
// instance attributes that readers take without a lock, so the class keeps
// no C fields of its own.  The names the module binds at import (`time`,
// `traceback`, `log`, `CircularQueue`, `lock_class_func`, `PlainFeed`,
// `FrameMap`, `Event`, `Lock`) are looked up as module globals on every use.
#include "rn.h"
#include "stream_shared.h"

#include <cerrno>
#include <cmath>
#include <ctime>

namespace {

// The module's state, made once at import.  The numbers of the grabbing
// rules are Python objects where they meet the attributes' own values.
struct State {
    PyObject* module;  // for globals looked up at call time
    PyTypeObject* grabber_type;
    PyObject* time_sleep;  // time.sleep as imported; calls to it sleep here
    PyObject* zero;
    PyObject* one;
    PyObject* recover_pause;  // seconds between a failed pass and the reopen
    PyObject* pace_every;     // delivered frames per pacing step of a file source
    PyObject* not_reopened;   // the frame number of the last periodic reopen, before any
    PyObject* least_pause;    // the least pause after a read, seconds
    PyObject* close_delay;    // seconds between the loop's end and close()
};
State st;

// ---------------------------------------------------------------- helpers

PyObject* get(PyObject* self, PyObject* name) {
    return cv_native::attr(self, st.grabber_type, name);
}

int set(PyObject* self, PyObject* name, PyObject* value) {
    return cv_native::set_attr(self, st.grabber_type, name, value);
}

// self.<holder>.<method>()
PyObject* call_on(PyObject* self, PyObject* holder, PyObject* method) {
    rn::ptr obj(get(self, holder));
    if (!obj) return nullptr;
    return PyObject_CallMethodNoArgs(obj.get(), method);
}

// Sleeps `seconds` on the monotonic clock with the GIL released; like
// time.sleep, an interrupted sleep runs the signal handlers and goes on.
bool nap(double seconds) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    double whole;
    const double frac = std::modf(seconds, &whole);
    deadline.tv_sec += static_cast<time_t>(whole);
    deadline.tv_nsec += static_cast<long>(frac * 1e9);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        const int rc = rn::without_gil(
            [&] { return clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr); });
        if (rc != EINTR) return true;
        if (PyErr_CheckSignals() < 0) return false;
    }
}

// time.sleep(seconds) with `time` looked up now.  The standard function
// given a plain number sleeps here; anything else is called as it is.
bool sleep_for(PyObject* seconds) {
    rn::ptr fn(rn::global(st.module, {RN_ID(time), RN_ID(sleep)}));
    if (!fn) return false;
    if (fn.get() == st.time_sleep) {
        double s = -1;
        if (PyFloat_CheckExact(seconds)) {
            s = PyFloat_AS_DOUBLE(seconds);
        } else if (PyLong_CheckExact(seconds)) {
            s = PyLong_AsDouble(seconds);
            if (s == -1 && PyErr_Occurred()) PyErr_Clear();
        }
        if (s >= 0 && s <= 1e9) return nap(s);  // NaN and the rest: time.sleep's own errors
    }
    rn::ptr r(PyObject_CallOneArg(fn.get(), seconds));
    return bool(r);
}

// log().<level>(text) in two steps, since log() comes before its text is
// made: logger() first, then the text, then emit().
PyObject* logger() { return rn::call_global(st.module, RN_ID(log)); }

bool emit(PyObject* logger, PyObject* level, PyObject* text) {
    rn::ptr r(PyObject_CallMethodOneArg(logger, level, text));
    return bool(r);
}

// ---------------------------------------------------------------- FrameMap

const rn::Signature map_sig("FrameMap.map", "frame, frame_num",
                            "Return the mapped form of frame number frame_num: here frame itself.");
const rn::Signature width_map_sig("FrameMap.width_map", "width, height",
                                  "Return the width of mapped frames: here width.");
const rn::Signature height_map_sig("FrameMap.height_map", "width, height",
                                   "Return the height of mapped frames: here height.");

PyObject* map_map(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!map_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return Py_NewRef(a[0]);
}

PyObject* map_width(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!width_map_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return Py_NewRef(a[0]);
}

PyObject* map_height(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!height_map_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return Py_NewRef(a[1]);
}

PyMethodDef frame_map_methods[] = {rn::static_def(map_sig, map_map),
                                   rn::static_def(width_map_sig, map_width),
                                   rn::static_def(height_map_sig, map_height), {}};

PyType_Slot frame_map_slots[] = {
    {Py_tp_doc, (void*)"The default frame hook: maps nothing.\n\n"
                       "A grabber given no frame_map uses this class itself (not an\n"
                       "instance); its three static methods are the interface a hook\n"
                       "offers."},
    {Py_tp_methods, frame_map_methods},
    RN_PLAIN_SLOTS,
    {0, nullptr}};

PyType_Spec frame_map_spec = {"ravu.cv.stream_grabber.FrameMap", sizeof(rn::PlainObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                              frame_map_slots};

// ---------------------------------------------------------------- construction

const rn::Signature grabber_init_sig(
    "StreamGrabber.__init__", GRABBER_PARAMS,
    "The thread that reads one capture source and publishes its newest frame.\n\n"
    "Construction opens the source (raising Exception(device_name, ' not\n"
    "open!') when it does not open) and logs 'read:<device_name>, fps:<n>'\n"
    "through log(), so the process logger must be set up; it does not start\n"
    "the thread.  Use create_cap (ravu.cv.stream_reader) rather than this\n"
    "class directly.\n\n" GRABBER_PARAMS_DOC
    "out_width, out_height, args: passed to cap_cls as they are.\n\n"
    "The state is in public attributes that readers take without a lock:\n"
    "cur_frame, cur_map_frame, cur_frame_num (delivered frames, from 1),\n"
    "is_run, is_file, event (pulsed after each frame), history and\n"
    "map_history (CircularQueue or None), cap, frame_map, grab_sleep_time,\n"
    "catch (a dict for callers), cap_lock (a lock for callers of cap).\n"
    "get_frame, get_map_frame and update_frame run under one instance lock.",
    rn::INIT);

// Thread.__init__() through the MRO, as super().__init__() does.
int init_thread(PyObject* self) {
    rn::ptr sup(PyObject_CallFunctionObjArgs((PyObject*)&PySuper_Type, (PyObject*)st.grabber_type,
                                             self, nullptr));
    if (!sup) return -1;
    rn::ptr r(PyObject_CallMethodNoArgs(sup.get(), RN_ID(__init__)));
    return r ? 0 : -1;
}

// device_name, frame_map and cap (also given back in `cap`); raises when the
// source does not open.
int open_source(PyObject* self, PyObject* device_name, PyObject* cap_cls, PyObject* out_width,
                PyObject* out_height, PyObject* cap_args, PyObject* frame_map, rn::ptr& cap) {
    if (set(self, RN_ID(device_name), device_name) < 0) return -1;
    rn::ptr cls(cap_cls == Py_None ? rn::global(st.module, RN_ID(PlainFeed)) : Py_NewRef(cap_cls));
    if (!cls) return -1;
    rn::ptr hook(frame_map == Py_None ? rn::global(st.module, RN_ID(FrameMap))
                                      : Py_NewRef(frame_map));
    if (!hook || set(self, RN_ID(frame_map), hook.get()) < 0) return -1;

    rn::ptr name(get(self, RN_ID(device_name)));
    if (!name) return -1;
    PyObject* cargs[4] = {name.get(), out_width, out_height, cap_args};
    cap = PyObject_Vectorcall(cls.get(), cargs, 4, nullptr);
    if (!cap || set(self, RN_ID(cap), cap.get()) < 0) return -1;
    rn::ptr opened(PyObject_CallMethodNoArgs(cap.get(), RN_ID(is_open)));
    if (!opened) return -1;
    const int ok = PyObject_IsTrue(opened.get());
    if (ok < 0) return -1;
    if (!ok) {
        cv_native::raise_args(device_name, RN_STR(" not open!"));
        return -1;
    }
    return 0;
}

// is_file, is_run, reconnect_time, retrieve_step and the first pause.
int set_pacing(PyObject* self, PyObject* cap, PyObject* reconnect_time, PyObject* retrieve_step) {
    rn::ptr kind(PyObject_CallMethodNoArgs(cap, RN_ID(file_or_stream)));
    if (!kind) return -1;
    const int is_file = PyObject_RichCompareBool(kind.get(), RN_STR("file"), Py_EQ);
    if (is_file < 0 || set(self, RN_ID(is_file), is_file ? Py_True : Py_False) < 0) return -1;
    if (set(self, RN_ID(is_run), Py_True) < 0) return -1;
    const int above = PyObject_RichCompareBool(reconnect_time, st.zero, Py_GT);
    if (above < 0 || set(self, RN_ID(reconnect_time), above ? reconnect_time : st.zero) < 0)
        return -1;
    if (set(self, RN_ID(retrieve_step), retrieve_step) < 0) return -1;
    rn::ptr fps(PyObject_CallMethodNoArgs(cap, RN_ID(fps)));
    if (!fps) return -1;
    rn::ptr unit(PyFloat_FromDouble(1.0));
    if (!unit) return -1;
    rn::ptr pause(PyNumber_TrueDivide(unit.get(), fps.get()));
    return pause ? set(self, RN_ID(grab_sleep_time), pause.get()) : -1;
}

// The first log line: "read:" + str(device_name) + ", fps:" + "%d" % cap.fps()
int log_opened(PyObject* device_name, PyObject* cap) {
    rn::ptr lg(logger());
    if (!lg) return -1;
    rn::ptr shown(PyObject_Str(device_name));
    if (!shown) return -1;
    rn::ptr fps(PyObject_CallMethodNoArgs(cap, RN_ID(fps)));
    if (!fps) return -1;
    rn::ptr one(PyTuple_Pack(1, fps.get()));
    if (!one) return -1;
    rn::ptr digits(PyUnicode_Format(RN_STR("%d"), one.get()));
    if (!digits) return -1;
    rn::ptr line(PyUnicode_FromFormat("read:%U, fps:%U", shown.get(), digits.get()));
    return line && emit(lg.get(), RN_ID(info), line.get()) ? 0 : -1;
}

// No frame yet, the event, and a ring for each size above 0.
int init_frames(PyObject* self, PyObject* history_size, PyObject* map_history_size) {
    if (set(self, RN_ID(cur_frame), Py_None) < 0 || set(self, RN_ID(cur_map_frame), Py_None) < 0 ||
        set(self, RN_ID(cur_frame_num), st.zero) < 0)
        return -1;
    rn::ptr event(rn::call_global(st.module, RN_ID(Event)));
    if (!event || set(self, RN_ID(event), event.get()) < 0) return -1;

    struct Ring {
        PyObject *size_name, *ring_name, *size;
    } rings[2] = {{RN_ID(history_size), RN_ID(history), history_size},
                  {RN_ID(map_history_size), RN_ID(map_history), map_history_size}};
    for (const Ring& r : rings) {
        if (set(self, r.size_name, r.size) < 0 || set(self, r.ring_name, Py_None) < 0) return -1;
        const int wanted = PyObject_RichCompareBool(r.size, st.zero, Py_GT);
        if (wanted < 0) return -1;
        if (!wanted) continue;
        rn::ptr cq(rn::global(st.module, RN_ID(CircularQueue)));
        if (!cq) return -1;
        rn::ptr ring(PyObject_CallOneArg(cq.get(), r.size));
        if (!ring || set(self, r.ring_name, ring.get()) < 0) return -1;
    }
    return 0;
}

// One instance lock for the three frame methods, then what callers share.
int lock_and_share(PyObject* self) {
    for (PyObject* method : {RN_ID(get_frame), RN_ID(get_map_frame), RN_ID(update_frame)}) {
        rn::ptr install(rn::global(st.module, RN_ID(lock_class_func)));
        if (!install) return -1;
        rn::ptr bound(PyObject_GetAttr(self, method));
        if (!bound) return -1;
        PyObject* la[2] = {self, bound.get()};
        rn::ptr r(PyObject_Vectorcall(install.get(), la, 2, nullptr));
        if (!r) return -1;
    }
    rn::ptr catch_dict(PyDict_New());
    if (!catch_dict || set(self, RN_ID(catch), catch_dict.get()) < 0) return -1;
    rn::ptr cap_lock(rn::call_global(st.module, RN_ID(Lock)));
    return cap_lock ? set(self, RN_ID(cap_lock), cap_lock.get()) : -1;
}

int grabber_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[cv_native::kGrabberParams];
    rn::ptr keep;
    if (!grabber_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    PyObject *device_name = a[0], *cap_cls = a[1], *out_width = a[2], *out_height = a[3],
             *cap_args = a[4], *frame_map = a[5], *reconnect_time = a[6], *retrieve_step = a[7],
             *history_size = a[8], *map_history_size = a[9];
    rn::ptr cap;
    if (init_thread(self) < 0 ||
        open_source(self, device_name, cap_cls, out_width, out_height, cap_args, frame_map,
                    cap) < 0 ||
        set_pacing(self, cap.get(), reconnect_time, retrieve_step) < 0 ||
        log_opened(device_name, cap.get()) < 0 ||
        init_frames(self, history_size, map_history_size) < 0)
        return -1;
    return lock_and_share(self);
}

// ---------------------------------------------------------------- frames

// Publishes one frame: counter, frame, mapped frame, then the rings.
PyObject* publish(PyObject* self, PyObject* frame) {
    rn::ptr num(get(self, RN_ID(cur_frame_num)));
    if (!num) return nullptr;
    rn::ptr next(PyNumber_InPlaceAdd(num.get(), st.one));
    if (!next || set(self, RN_ID(cur_frame_num), next.get()) < 0) return nullptr;
    if (set(self, RN_ID(cur_frame), frame) < 0) return nullptr;
    rn::ptr hook(get(self, RN_ID(frame_map)));
    if (!hook) return nullptr;
    PyObject* margs[3] = {hook.get(), frame, next.get()};
    rn::ptr mapped(PyObject_VectorcallMethod(RN_ID(map), margs, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             nullptr));
    if (!mapped || set(self, RN_ID(cur_map_frame), mapped.get()) < 0) return nullptr;
    for (auto [name, item] : {std::pair{RN_ID(history), frame},
                              std::pair{RN_ID(map_history), mapped.get()}}) {
        rn::ptr ring(get(self, name));
        if (!ring) return nullptr;
        if (ring.get() == Py_None) continue;
        rn::ptr r(PyObject_CallMethodOneArg(ring.get(), RN_ID(put), item));
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}

const rn::Signature update_frame_sig(
    "StreamGrabber.update_frame", "frame",
    "Publish one frame: cur_frame_num + 1, cur_frame, cur_map_frame through\n"
    "frame_map.map(frame, number), then the history rings.  Returns None.",
    rn::METHOD);

PyObject* update_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    PyObject* a[1];
    if (!update_frame_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return publish(self, a[0]);
}

// A frame of the ring `ring_name` by absolute number (> 0, counted from 1
// like cur_frame_num) or relative one (0 the newest, -1 the one before).
PyObject* lookup(PyObject* self, PyObject* ring_name, PyObject* frame_num) {
    rn::ptr ring(get(self, ring_name));
    if (!ring) return nullptr;
    if (ring.get() == Py_None) Py_RETURN_NONE;
    const int absolute = PyObject_RichCompareBool(frame_num, st.zero, Py_GT);
    if (absolute < 0) return nullptr;
    rn::ptr cur(get(self, RN_ID(cur_frame_num)));
    if (!cur) return nullptr;
    rn::ptr size(PyObject_GetAttr(ring.get(), RN_ID(size)));
    if (!size) return nullptr;
    rn::ptr index;
    if (absolute) {
        const int ahead = PyObject_RichCompareBool(frame_num, cur.get(), Py_GT);
        if (ahead < 0) return nullptr;
        if (ahead) Py_RETURN_NONE;
        rn::ptr reach(PyNumber_Add(frame_num, size.get()));
        if (!reach) return nullptr;
        const int gone = PyObject_RichCompareBool(reach.get(), cur.get(), Py_LE);
        if (gone < 0) return nullptr;
        if (gone) Py_RETURN_NONE;
        rn::ptr back(PyNumber_Subtract(frame_num, cur.get()));
        if (!back) return nullptr;
        index = PyNumber_Subtract(back.get(), st.one);
    } else {
        rn::ptr bound(PyNumber_Negative(size.get()));
        if (!bound) return nullptr;
        const int past = PyObject_RichCompareBool(frame_num, bound.get(), Py_LE);
        if (past < 0) return nullptr;
        if (past) Py_RETURN_NONE;
        index = PyNumber_Subtract(frame_num, st.one);
    }
    if (!index) return nullptr;
    return PyObject_GetItem(ring.get(), index.get());
}

const rn::Signature get_frame_sig(
    "StreamGrabber.get_frame", "frame_num",
    "Return a frame of the history ring, or None.\n\n"
    "frame_num > 0 is an absolute number (as cur_frame_num counts); 0 is the\n"
    "newest frame, -1 the one before, and so on.  None without a ring, for a\n"
    "number not delivered yet, and for one the ring no longer holds.",
    rn::METHOD);
const rn::Signature get_map_frame_sig(
    "StreamGrabber.get_map_frame", "frame_num",
    "Return a mapped frame of the map_history ring, or None; frame_num as\n"
    "for get_frame.",
    rn::METHOD);

PyObject* get_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!get_frame_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return lookup(self, RN_ID(history), a[0]);
}

PyObject* get_map_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* a[1];
    if (!get_map_frame_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return lookup(self, RN_ID(map_history), a[0]);
}

// ---------------------------------------------------------------- reading

// One delivered frame from the source; true when one came.  A call that
// got no frame always pauses grab_sleep_time: a stream read with grabs
// that return at once would otherwise spin.
const rn::Signature read_frame_sig(
    "StreamGrabber.read_frame", "",
    "Take one delivered frame from the source and publish it through\n"
    "update_frame; return True when a frame came.  Pauses grab_sleep_time\n"
    "after the read (file sources: after each grab).  Called by run().",
    rn::METHOD);

PyObject* read_frame(PyObject* self) {
    rn::ptr step(get(self, RN_ID(retrieve_step)));
    if (!step) return nullptr;
    const int single = cv_native::equal(step.get(), st.one);
    if (single < 0) return nullptr;
    rn::ptr cap(get(self, RN_ID(cap)));
    if (!cap) return nullptr;
    rn::ptr frame;
    bool slept = false;
    if (single) {
        frame = PyObject_CallMethodNoArgs(cap.get(), RN_ID(read));
        if (!frame) return nullptr;
        rn::ptr pause(get(self, RN_ID(grab_sleep_time)));
        if (!pause || !sleep_for(pause.get())) return nullptr;
        slept = true;
    } else {
        rn::ptr count(PyNumber_Index(step.get()));  // range(retrieve_step)
        if (!count) return nullptr;
        const Py_ssize_t n = PyLong_AsSsize_t(count.get());
        if (n == -1 && PyErr_Occurred()) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            rn::ptr r(PyObject_CallMethodNoArgs(cap.get(), RN_ID(grab)));
            if (!r) return nullptr;
            rn::ptr is_file(get(self, RN_ID(is_file)));
            if (!is_file) return nullptr;
            const int f = PyObject_IsTrue(is_file.get());
            if (f < 0) return nullptr;
            if (f) {
                rn::ptr pause(get(self, RN_ID(grab_sleep_time)));
                if (!pause || !sleep_for(pause.get())) return nullptr;
                slept = true;
            }
        }
        frame = PyObject_CallMethodNoArgs(cap.get(), RN_ID(retrieve));
        if (!frame) return nullptr;
    }
    if (frame.get() == Py_None) {
        if (!slept) {
            rn::ptr pause(get(self, RN_ID(grab_sleep_time)));
            if (!pause || !sleep_for(pause.get())) return nullptr;
        }
        Py_RETURN_FALSE;
    }
    rn::ptr r(PyObject_CallMethodOneArg(self, RN_ID(update_frame), frame.get()));
    if (!r) return nullptr;
    Py_RETURN_TRUE;
}

const rn::Signature stop_sig(
    "StreamGrabber.stop", "",
    "Clear is_run; returns None at once.  The loop ends at its next pass and\n"
    "closes the source; readers then fail with '<device_name> is stop'.",
    rn::METHOD);

PyObject* stop(PyObject* self) {
    if (set(self, RN_ID(is_run), Py_False) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- the loop

struct Loop {
    rn::ptr last_time;  // time.time() of the last pacing step
    rn::ptr last_open;  // cur_frame_num at the last periodic reopen
    rn::ptr xt;         // seconds of stream time per delivered frame
};

// File sources: brings the pause after each read or grab toward the time
// one source frame should take, measured over the last pace_every frames:
//   grab_sleep_time += 1 / fps - (now - last) / pace_every / retrieve_step
// and never below least_pause.
bool pace(PyObject* self, Loop& loop) {
    namespace pn = rn::pynum;
    pn::Num now, last = pn::from(loop.last_time.get()), total;
    if (!pn::adopt(now, rn::call_global(st.module, {RN_ID(time), RN_ID(time)})) ||
        !pn::sub(total, now, last))
        return false;
    loop.last_time = std::move(now.o);
    pn::Num fps, one = pn::from(st.one), every = pn::from(st.pace_every);
    pn::Num nominal, per_frame, step, per_source, extra, pause, sum;
    if (!pn::adopt(fps, call_on(self, RN_ID(cap), RN_ID(fps))) ||
        !pn::truediv(nominal, one, fps) || !pn::truediv(per_frame, total, every))
        return false;
    if (!pn::adopt(step, get(self, RN_ID(retrieve_step))) ||
        !pn::truediv(per_source, per_frame, step) || !pn::sub(extra, nominal, per_source))
        return false;
    // `grab_sleep_time += ...`: the in-place operator where the interpreter runs it
    if (!pn::adopt(pause, get(self, RN_ID(grab_sleep_time))) ||
        !pn::binop<rn::num::add, PyNumber_InPlaceAdd>(sum, pause, extra))
        return false;
    PyObject* stored = pn::obj(sum);
    if (!stored || set(self, RN_ID(grab_sleep_time), stored) < 0) return false;
    rn::ptr now_pause(get(self, RN_ID(grab_sleep_time)));
    if (!now_pause) return false;
    const int low = PyObject_RichCompareBool(now_pause.get(), st.least_pause, Py_LT);
    if (low < 0) return false;
    return !low || set(self, RN_ID(grab_sleep_time), st.least_pause) == 0;
}

// Stream sources: reopens after reconnect_time seconds of delivered stream.
bool maybe_reopen(PyObject* self, Loop& loop) {
    rn::ptr every(get(self, RN_ID(reconnect_time)));
    if (!every) return false;
    const int on = PyObject_RichCompareBool(every.get(), st.zero, Py_NE);
    if (on <= 0) return on == 0;
    rn::ptr cur(get(self, RN_ID(cur_frame_num)));
    if (!cur) return false;
    rn::ptr frames(PyNumber_Subtract(cur.get(), loop.last_open.get()));
    if (!frames) return false;
    rn::ptr span(PyNumber_Multiply(frames.get(), loop.xt.get()));
    if (!span) return false;
    const int due = PyObject_RichCompareBool(span.get(), every.get(), Py_GE);
    if (due <= 0) return due == 0;
    rn::ptr r(call_on(self, RN_ID(cap), RN_ID(reopen)));
    if (!r) return false;
    rn::ptr lg(logger());
    if (!lg) return false;
    rn::ptr name(get(self, RN_ID(device_name)));
    if (!name) return false;
    // str(): a camera number names a source too, and must not fail the pass
    rn::ptr shown(PyObject_Str(name.get()));
    if (!shown) return false;
    rn::ptr line(PyNumber_Add(shown.get(), RN_STR(" reconnect!")));
    if (!line || !emit(lg.get(), RN_ID(info), line.get())) return false;
    loop.last_open = get(self, RN_ID(cur_frame_num));
    return bool(loop.last_open);
}

bool one_pass(PyObject* self, Loop& loop) {
    rn::ptr got(PyObject_CallMethodNoArgs(self, RN_ID(read_frame)));
    if (!got) return false;
    const int delivered = PyObject_IsTrue(got.get());
    if (delivered < 0) return false;
    if (delivered) {  // wake the readers waiting now
        rn::ptr event(get(self, RN_ID(event)));
        if (!event) return false;
        rn::ptr r(PyObject_CallMethodNoArgs(event.get(), RN_ID(set)));
        if (!r) return false;
        r = PyObject_CallMethodNoArgs(event.get(), RN_ID(clear));
        if (!r) return false;
    }
    rn::ptr is_file(get(self, RN_ID(is_file)));
    if (!is_file) return false;
    const int f = PyObject_IsTrue(is_file.get());
    if (f < 0) return false;
    if (!f) return maybe_reopen(self, loop);
    rn::ptr cur(get(self, RN_ID(cur_frame_num)));
    if (!cur) return false;
    rn::ptr rem(PyNumber_Remainder(cur.get(), st.pace_every));
    if (!rem) return false;
    const int due = cv_native::equal(rem.get(), st.zero);
    if (due <= 0) return due == 0;
    return pace(self, loop);
}

// A pass failed with the pending exception.  A file source stops.  A stream
// source logs the traceback, pauses 5 seconds and reopens; when the reopen
// fails in turn (the network still down) that is logged too and the
// recovery tried again after the same pause for as long as the grabber
// runs, so the thread neither dies with the source open nor outlives stop().
// False only when the handler itself must end the thread.
bool recover(PyObject* self) {
    rn::Handling handling;
    rn::ptr is_file(get(self, RN_ID(is_file)));
    if (!is_file) return false;
    const int f = PyObject_IsTrue(is_file.get());
    if (f < 0) return false;
    if (f) {
        rn::ptr r(PyObject_CallMethodNoArgs(self, RN_ID(stop)));
        return bool(r);
    }
    for (;;) {
        rn::ptr lg(logger());
        rn::ptr text(lg ? rn::call_global(st.module, {RN_ID(traceback), RN_ID(format_exc)})
                        : nullptr);
        if (!text || !emit(lg.get(), RN_ID(error), text.get())) PyErr_WriteUnraisable(self);
        if (!sleep_for(st.recover_pause)) {
            PyErr_WriteUnraisable(self);  // a broken sleep must still pause
            if (!nap(5.0)) PyErr_WriteUnraisable(self);
        }
        rn::ptr r(call_on(self, RN_ID(cap), RN_ID(reopen)));
        if (r) return true;
        handling.take(true);
        rn::ptr running(get(self, RN_ID(is_run)));
        if (!running) return false;
        const int on = PyObject_IsTrue(running.get());
        if (on <= 0) return on == 0;
    }
}

const rn::Signature run_sig(
    "StreamGrabber.run", "",
    "The grabbing loop, run by start() in the grabber's thread: read_frame()\n"
    "and a pulse of event per delivered frame until stop().  File sources are\n"
    "paced to their frame rate and stop on an error; stream sources reopen\n"
    "every reconnect_time seconds and, after an error, log it, wait 5 s and\n"
    "reopen.  Closes the source one second after the loop ends.",
    rn::METHOD);

PyObject* run(PyObject* self) {
    rn::park_at_exit();  // a daemon thread: the interpreter may end it anywhere in the loop
    Loop loop;
    {
        loop.last_time = rn::call_global(st.module, {RN_ID(time), RN_ID(time)});
        if (!loop.last_time) return nullptr;
        loop.last_open.set(st.not_reopened, true);
        rn::ptr step(get(self, RN_ID(retrieve_step)));
        if (!step) return nullptr;
        rn::ptr fps(call_on(self, RN_ID(cap), RN_ID(fps)));
        if (!fps) return nullptr;
        loop.xt = PyNumber_TrueDivide(step.get(), fps.get());
        if (!loop.xt) return nullptr;
    }
    for (;;) {
        rn::ptr running(get(self, RN_ID(is_run)));
        if (!running) return nullptr;
        const int on = PyObject_IsTrue(running.get());
        if (on < 0) return nullptr;
        if (!on) break;
        if (!one_pass(self, loop) && !recover(self)) return nullptr;
    }
    if (!sleep_for(st.close_delay)) return nullptr;
    rn::ptr r(call_on(self, RN_ID(cap), RN_ID(close)));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- type and module

PyMethodDef grabber_methods[] = {run_sig.def(rn::noargs<run_sig, run>),
                                 stop_sig.def(rn::noargs<stop_sig, stop>),
                                 read_frame_sig.def(rn::noargs<read_frame_sig, read_frame>),
                                 update_frame_sig.def(update_frame),
                                 get_frame_sig.def(get_frame),
                                 get_map_frame_sig.def(get_map_frame),
                                 {}};

PyType_Slot grabber_slots[] = {
    {Py_tp_doc, (void*)grabber_init_sig.doc()},
    {Py_tp_init, (void*)grabber_init},
    {Py_tp_methods, grabber_methods},
    {0, nullptr}};

// Thread's own layout: the state is in the instance dict Thread provides.
PyType_Spec grabber_spec = {"ravu.cv.stream_grabber.StreamGrabber", 0, 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, grabber_slots};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "ravu.cv.stream_grabber",
    "The grabbing thread of one video source.\n\n"
    "StreamGrabber(device_name, ...) -- a threading.Thread that reads one capture\n"
    "    source in the background and publishes its newest frame, mapped frame,\n"
    "    frame counter and optional history rings.\n"
    "FrameMap -- the default frame hook (identity).\n\n"
    "Services make grabbers through ravu.cv.stream_reader.create_cap.",
    -1, nullptr};

int init(PyObject* m) {
    st.zero = PyLong_FromLong(0);
    st.one = PyLong_FromLong(1);
    st.recover_pause = PyLong_FromLong(5);
    st.pace_every = PyLong_FromLong(20);
    st.not_reopened = PyLong_FromLong(-1);
    st.least_pause = PyFloat_FromDouble(0.001);
    st.close_delay = Py_XNewRef(st.one);
    if (!st.zero || !st.one || !st.recover_pause || !st.pace_every || !st.not_reopened ||
        !st.least_pause || !st.close_delay)
        return -1;
    // The bindings of the module body, in order; the star import must not
    // replace any of the earlier ones.
    if (rn::bind_imports(m, {{"threading", "Thread"}, {"threading", "Event"},
                             {"threading", "Lock"}, {nullptr, "time"}, {nullptr, "traceback"},
                             {nullptr, "numpy", "np"}}) < 0)
        return -1;
    st.time_sleep = rn::import_attr("time", "sleep");
    if (!st.time_sleep) return -1;
    if (rn::star_import(m, "ravu.utils") < 0) return -1;
    if (rn::bind_imports(m, {{"ravu.cv.feeds.plain_feed", "PlainFeed"},
                             {"ravu.cv.feeds.feed_base", "FeedBase"}}) < 0)
        return -1;
    rn::ptr frame_map(rn::add_type(m, &frame_map_spec));
    if (!frame_map) return -1;
    rn::ptr thread(rn::global(m, RN_ID(Thread)));
    if (!thread) return -1;
    if (!PyType_Check(thread.get())) {
        PyErr_SetString(PyExc_TypeError, "threading.Thread is not a class");
        return -1;
    }
    st.grabber_type = (PyTypeObject*)rn::add_type(m, &grabber_spec, thread.get());
    return st.grabber_type ? 0 : -1;
}

}  // namespace

PyMODINIT_FUNC PyInit_stream_grabber() {
    return rn::create_module(&moduledef, init, &st.module);
}
