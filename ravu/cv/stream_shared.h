// What the two capture modules share: the grabber's parameters, and
// attribute access that goes straight to the instance dict of the exact
// classes whose state lives there.
#pragma once

#include "rn.h"

// The grabber's ten construction parameters, stated once: StreamGrabber
// takes them, and create_cap passes them on by position in this order.
#define GRABBER_PARAMS                                                                      \
    "device_name, cap_cls=None, out_width=None, out_height=None, args=(), frame_map=None, " \
    "reconnect_time=0, retrieve_step=1, history_size=0, map_history_size=0"

#define GRABBER_PARAMS_DOC                                                                 \
    "device_name: the source's name or address (a text; messages begin with it).\n"       \
    "cap_cls: the capture-source class, None for PlainFeed; called once as\n"              \
    "  cap_cls(device_name, out_width, out_height, args), which opens the source.\n"      \
    "frame_map: the frame hook, with map(frame, frame_num), width_map(w, h) and\n"         \
    "  height_map(w, h); None for the class FrameMap (identity).\n"                        \
    "reconnect_time: seconds of stream time between reopens of a stream source\n"          \
    "  (0: never).\n"                                                                      \
    "retrieve_step: source frames per delivered frame (1: every frame).\n"                \
    "history_size, map_history_size: capacities of the rings of recent frames\n"           \
    "  and mapped frames (0: no ring).\n"

namespace cv_native {

constexpr int kGrabberParams = 10;

// obj.name and obj.name = value, through the instance dict for an object
// of the exact type `exact` (rn_attr.h).
inline PyObject* attr(PyObject* obj, PyTypeObject* exact, PyObject* name) {
    return rn::get_attr(obj, name, exact);
}

inline int set_attr(PyObject* obj, PyTypeObject* exact, PyObject* name, PyObject* value) {
    return rn::set_attr(obj, name, value, exact);
}

// a == b taken for its truth value, with a shortcut for two exact ints.
inline int equal(PyObject* a, PyObject* b) {
    if (a == b && PyLong_CheckExact(a)) return 1;
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
        int oa, ob;
        long long x = PyLong_AsLongLongAndOverflow(a, &oa);
        long long y = PyLong_AsLongLongAndOverflow(b, &ob);
        if (!oa && !ob) return x == y;
    }
    rn::ptr r(PyObject_RichCompare(a, b, Py_EQ));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// Exception(*args) raised; always NULL.
template <typename... A>
inline PyObject* raise_args(A... args) {
    rn::ptr exc(PyObject_CallFunctionObjArgs(PyExc_Exception, args..., nullptr));
    if (exc) PyErr_SetObject(PyExc_Exception, exc.get());
    return nullptr;
}

}  // namespace cv_native
