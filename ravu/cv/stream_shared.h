// Helpers shared by the two capture modules: the star import they take the
// utilities with, and attribute access that goes straight to the instance
// dict of the exact classes whose state lives there.
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

// `from <from> import *` run in module `m`: the names of its __all__, or,
// without one, every name of its dict that does not begin with "_".
inline int star_import(PyObject* m, const char* from) {
    rn::ptr src(PyImport_ImportModule(from));
    if (!src) return -1;
    rn::ptr names(PyObject_GetAttr(src.get(), RN_ID(__all__)));
    if (!names) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        rn::ptr keys(PyDict_Keys(PyModule_GetDict(src.get())));
        if (!keys) return -1;
        names = PyList_New(0);
        if (!names) return -1;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
            PyObject* k = PyList_GET_ITEM(keys.get(), i);
            if (PyUnicode_Check(k) && PyUnicode_GET_LENGTH(k) && PyUnicode_READ_CHAR(k, 0) == '_')
                continue;
            if (PyList_Append(names.get(), k) < 0) return -1;
        }
    }
    rn::ptr it(PyObject_GetIter(names.get()));
    if (!it) return -1;
    PyObject* dict = PyModule_GetDict(m);
    while (rn::ptr name{PyIter_Next(it.get())}) {
        if (!PyUnicode_Check(name.get())) {
            PyErr_Format(PyExc_TypeError, "Item in %s.__all__ must be str, not %.100s", from,
                         Py_TYPE(name.get())->tp_name);
            return -1;
        }
        rn::ptr value(PyObject_GetAttr(src.get(), name.get()));
        if (!value || PyDict_SetItem(dict, name.get(), value.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// obj.name; for an object of the exact type `exact` the instance dict is
// read first (that type defines no data descriptor of these names).
inline PyObject* attr(PyObject* obj, PyTypeObject* exact, PyObject* name) {
    if (Py_IS_TYPE(obj, exact)) return rn::fast_getattr(obj, name);
    return PyObject_GetAttr(obj, name);
}

// obj.name = value, through the instance dict for the exact type.
inline int set_attr(PyObject* obj, PyTypeObject* exact, PyObject* name, PyObject* value) {
    if (Py_IS_TYPE(obj, exact)) {
        PyObject** dp = _PyObject_GetDictPtr(obj);
        if (dp && *dp) return PyDict_SetItem(*dp, name, value);
    }
    return PyObject_SetAttr(obj, name, value);
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
