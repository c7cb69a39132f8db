// merge_region of ravu.cv.zone_shape: one common crop window for several
// zones, kept in signed 64-bit running values.
#include "rn.h"

#include "zone_merge.h"

namespace {

// ---------------------------------------------------------------- merge_region

// A running window value: the zone's value as a signed 64-bit integer, a
// non-integer number truncated toward zero (its __int__).
bool to_int64(PyObject* v, long long* out) {
    rn::ptr n;
    if (PyLong_Check(v)) {
        n = rn::ptr(Py_NewRef(v));
    } else if (PyFloat_Check(v) || (Py_TYPE(v)->tp_as_number && Py_TYPE(v)->tp_as_number->nb_int &&
                                    !PyUnicode_Check(v) && !PyBytes_Check(v))) {
        n = PyNumber_Long(v);
        if (!n) return false;
    } else {
        PyErr_Format(PyExc_TypeError, "an integer is required (got type %.200s)",
                     Py_TYPE(v)->tp_name);
        return false;
    }
    *out = PyLong_AsLongLong(n.get());
    return !(*out == -1 && PyErr_Occurred());
}

const rn::Signature merge_sig(
    "merge_region", "region_list",
    "Sets the window (min_w, min_h, max_w, max_h) of every zone in region_list to the\n"
    "smallest window covering all their windows, starting from minima of 10000 and\n"
    "maxima of 0; only those four attributes are read and written.  Returns None.");

PyObject* merge_region(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* regions = merge_sig.single(args, nargs, kwnames);
    if (!regions) return nullptr;
    PyObject* names[4] = {RN_ID(min_w), RN_ID(min_h), RN_ID(max_w), RN_ID(max_h)};
    long long run[4] = {10000, 10000, 0, 0};
    rn::ptr it(PyObject_GetIter(regions));
    if (!it) return nullptr;
    while (rn::ptr zone{PyIter_Next(it.get())}) {
        for (int k = 0; k < 4; ++k) {
            rn::ptr v(PyObject_GetAttr(zone.get(), names[k]));
            if (!v) return nullptr;
            // The running minimum stays when strictly smaller, the maximum
            // when strictly larger; otherwise the zone's value is taken.
            rn::ptr cur(PyLong_FromLongLong(run[k]));
            if (!cur) return nullptr;
            const int keep = PyObject_RichCompareBool(cur.get(), v.get(), k < 2 ? Py_LT : Py_GT);
            if (keep < 0) return nullptr;
            if (!keep && !to_int64(v.get(), &run[k])) return nullptr;
        }
    }
    if (PyErr_Occurred()) return nullptr;
    rn::ptr values[4];
    for (int k = 0; k < 4; ++k)
        if (!(values[k] = PyLong_FromLongLong(run[k]))) return nullptr;
    it = PyObject_GetIter(regions);
    if (!it) return nullptr;
    while (rn::ptr zone{PyIter_Next(it.get())})
        for (int k = 0; k < 4; ++k)
            if (PyObject_SetAttr(zone.get(), names[k], values[k].get()) < 0) return nullptr;
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

namespace geo {
PyMethodDef merge_methods[] = {merge_sig.def(merge_region), {nullptr, nullptr, 0, nullptr}};
}  // namespace geo
