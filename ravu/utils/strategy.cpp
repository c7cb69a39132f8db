// ravu.utils.strategy: trigger records that turn a stream of observations
// into a yes/no decision.
//
// Both records keep their state in plain instance attributes that callers
// read and assign.  For the exact classes, with state of the exact builtin
// kinds the constructors make, the methods work on it natively; anything
// else (subclasses, replaced attributes, other number kinds) goes through
// the ordinary Python protocols, step by step.
#include "rn.h"

#include <cfloat>
#include <cmath>
#include <ctime>
#include <algorithm>

#define PY_ARRAY_UNIQUE_SYMBOL ravu_strategy_ARRAY_API
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

namespace {

// The module's state, made once at import.
struct State {
    PyObject* module;
    PyTypeObject* time_type;
    PyTypeObject* freq_type;
    // The `time` function bound at import, to tell it from a replacement.
    PyObject* time_func;
};
State st;

// ---------------------------------------------------------------- helpers

using Record = rn::PlainObject;
namespace pynum = rn::pynum;

int set_attr(PyObject* self, PyTypeObject* type, PyObject* name, PyObject* value) {
    return rn::set_attr(self, name, value, type);
}

// time.time() as the wall clock gives it, converted exactly as time.time()
// converts it.
PyObject* wall_clock() {
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return PyErr_SetFromErrno(PyExc_OSError);
    const int64_t ns = (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
    // The rounding time.time() does: the count as a double, then divided.
    // Its `volatile` keeps x87 registers from holding more precision; with
    // doubles evaluated as doubles each step rounds as written anyway.
#if FLT_EVAL_METHOD == 0
    double d;
#else
    volatile double d;
#endif
    if (ns % 1000000000 == 0) {
        d = (double)(ns / 1000000000);
    } else {
        d = (double)ns;
        d /= 1e9;
    }
    return PyFloat_FromDouble(d);
}

// time.time() with the module global `time` looked up now; the clock is
// read directly while that is still the function bound at import.
PyObject* now() {
    bool stock;
    rn::ptr fn(rn::global_stock(st.module, RN_ID(time), RN_ID(time), st.time_func, &stock));
    if (!fn) return nullptr;
    return stock ? wall_clock() : PyObject_CallNoArgs(fn.get());
}

// ---------------------------------------------------------------- RecordByTime

const rn::Signature time_init_sig(
    "RecordByTime.__init__", "sec, num",
    "Count events in a sliding window of sec seconds.\n\n"
    "set() records one event at time.time() and answers whether at least num\n"
    "events fall within the last sec seconds (a stamp whose age is at most sec\n"
    "counts).  At most MAX_LEN (100, read through the instance) stamps are\n"
    "kept.  Attributes: queue (the stamps, oldest first), sec, num.",
    rn::INIT);

int time_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    rn::ptr keep;
    if (!time_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    rn::ptr queue(PyList_New(0));
    if (!queue) return -1;
    if (set_attr(self, st.time_type, RN_ID(queue), queue.get()) < 0 ||
        set_attr(self, st.time_type, RN_ID(sec), a[0]) < 0 ||
        set_attr(self, st.time_type, RN_ID(num), a[1]) < 0)
        return -1;
    return 0;
}

// while queue and now - queue[0] > sec: del queue[0]
bool drop_expired(PyObject* queue, PyObject* now_obj, PyObject* sec) {
    double secd;
    if (PyList_CheckExact(queue) && PyFloat_CheckExact(now_obj) && pynum::exact_double(sec, &secd)) {
        const double nowd = PyFloat_AS_DOUBLE(now_obj);
        const Py_ssize_t n = PyList_GET_SIZE(queue);
        Py_ssize_t k = 0;
        for (; k < n; ++k) {
            PyObject* stamp = PyList_GET_ITEM(queue, k);
            if (!PyFloat_CheckExact(stamp)) break;
            if (!(nowd - PyFloat_AS_DOUBLE(stamp) > secd)) break;
        }
        // Exact floats compare without side effects, so the expired front
        // goes in one cut.
        if (k && PyList_SetSlice(queue, 0, k, nullptr) < 0) return false;
        if (k == n || PyFloat_CheckExact(PyList_GET_ITEM(queue, 0))) return true;
    }
    rn::ptr zero(PyLong_FromLong(0));
    if (!zero) return false;
    for (;;) {
        int nonempty = PyObject_IsTrue(queue);
        if (nonempty <= 0) return nonempty == 0;
        rn::ptr first(PyObject_GetItem(queue, zero.get()));
        if (!first) return false;
        rn::ptr age(PyNumber_Subtract(now_obj, first.get()));
        if (!age) return false;
        int expired = PyObject_RichCompareBool(age.get(), sec, Py_GT);
        if (expired <= 0) return expired == 0;
        if (PyObject_DelItem(queue, zero.get()) < 0) return false;
    }
}

// while len(queue) > self.MAX_LEN: del queue[0]
bool trim(PyObject* self, PyObject* queue) {
    rn::ptr max_len(PyObject_GetAttr(self, RN_ID(MAX_LEN)));
    if (!max_len) return false;
    long long cap;
    if (PyList_CheckExact(queue) && rn::exact_ll(max_len.get(), &cap) && cap >= 0) {
        const Py_ssize_t n = PyList_GET_SIZE(queue);
        return n <= cap || PyList_SetSlice(queue, 0, n - (Py_ssize_t)cap, nullptr) == 0;
    }
    rn::ptr zero(PyLong_FromLong(0));
    if (!zero) return false;
    for (;;) {
        Py_ssize_t n = PyObject_Size(queue);
        if (n < 0) return false;
        rn::ptr len(PyLong_FromSsize_t(n));
        if (!len) return false;
        int over = PyObject_RichCompareBool(len.get(), max_len.get(), Py_GT);
        if (over <= 0) return over == 0;
        if (PyObject_DelItem(queue, zero.get()) < 0) return false;
        max_len = PyObject_GetAttr(self, RN_ID(MAX_LEN));
        if (!max_len) return false;
    }
}

// len(queue) >= self.num
PyObject* decide_count(PyObject* self, PyObject* queue) {
    Py_ssize_t n = PyObject_Size(queue);
    if (n < 0) return nullptr;
    rn::ptr num(rn::get_attr(self, RN_ID(num), st.time_type));
    if (!num) return nullptr;
    long long want;
    if (rn::exact_ll(num.get(), &want)) return PyBool_FromLong((long long)n >= want);
    rn::ptr len(PyLong_FromSsize_t(n));
    if (!len) return nullptr;
    return PyObject_RichCompare(len.get(), num.get(), Py_GE);
}

PyObject* time_step(PyObject* self, bool record) {
    rn::ptr stamp(now());
    if (!stamp) return nullptr;
    rn::ptr queue(rn::get_attr(self, RN_ID(queue), st.time_type));
    if (!queue) return nullptr;
    rn::ptr sec(rn::get_attr(self, RN_ID(sec), st.time_type));
    if (!sec || !drop_expired(queue.get(), stamp.get(), sec.get())) return nullptr;
    if (record) {
        int rc = PyList_CheckExact(queue.get())
                     ? PyList_Append(queue.get(), stamp.get())
                     : [&] {
                           rn::ptr r(PyObject_CallMethodOneArg(queue.get(), RN_ID(append),
                                                               stamp.get()));
                           return r ? 0 : -1;
                       }();
        if (rc < 0 || !trim(self, queue.get())) return nullptr;
    }
    return decide_count(self, queue.get());
}

const rn::Signature time_set_sig(
    "RecordByTime.set", "",
    "Record an event now; return True when at least num events, this one\n"
    "included, fall within the last sec seconds.  Expired stamps are dropped\n"
    "first, and the oldest beyond MAX_LEN after.",
    rn::METHOD);
const rn::Signature time_get_sig(
    "RecordByTime.get", "",
    "Return the decision of set() without recording an event (expired stamps\n"
    "are still dropped).",
    rn::METHOD);
const rn::Signature time_clear_sig(
    "RecordByTime.clear", "",
    "Forget every recorded event (the same queue list is emptied).", rn::METHOD);

PyObject* time_set(PyObject* self) { return time_step(self, true); }

PyObject* time_get(PyObject* self) { return time_step(self, false); }

PyObject* time_clear(PyObject* self) {
    rn::ptr queue(rn::get_attr(self, RN_ID(queue), st.time_type));
    if (!queue) return nullptr;
    if (PyList_CheckExact(queue.get())) {
        if (PyList_SetSlice(queue.get(), 0, PyList_GET_SIZE(queue.get()), nullptr) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    rn::ptr r(PyObject_CallMethodNoArgs(queue.get(), RN_ID(clear)));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- RecordByFrequency

const rn::Signature freq_init_sig(
    "RecordByFrequency.__init__", "size, mean_over",
    "Whether the mean of the last size values has reached mean_over.\n\n"
    "The values sit in a ring of size float32 slots, zeros at first, so\n"
    "slots not yet written count as 0; with inputs 0 and 1 the mean is the\n"
    "share of ones.  Attributes: data (the float32 array), mean_over, index\n"
    "(the next slot), size.",
    rn::INIT);

int freq_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    rn::ptr keep;
    if (!freq_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    // self.data = np.zeros(size, dtype=np.float32)
    rn::ptr np(rn::global(st.module, RN_ID(np)));
    if (!np) return -1;
    rn::ptr zeros(PyObject_GetAttr(np.get(), RN_ID(zeros)));
    if (!zeros) return -1;
    rn::ptr f32(PyObject_GetAttr(np.get(), RN_ID(float32)));
    if (!f32) return -1;
    rn::ptr pos(PyTuple_Pack(1, a[0]));
    if (!pos) return -1;
    rn::ptr kw(Py_BuildValue("{OO}", RN_ID(dtype), f32.get()));
    if (!kw) return -1;
    rn::ptr data(PyObject_Call(zeros.get(), pos.get(), kw.get()));
    if (!data) return -1;
    rn::ptr zero(PyLong_FromLong(0));
    if (!zero) return -1;
    if (set_attr(self, st.freq_type, RN_ID(data), data.get()) < 0 ||
        set_attr(self, st.freq_type, RN_ID(mean_over), a[1]) < 0 ||
        set_attr(self, st.freq_type, RN_ID(index), zero.get()) < 0 ||
        set_attr(self, st.freq_type, RN_ID(size), a[0]) < 0)
        return -1;
    return 0;
}

// A one-dimensional, aligned float32 ndarray of the exact class, the shape
// the constructor makes; the fast paths work on its buffer directly.
bool plain_f32(PyObject* data, bool writable) {
    if (!PyArray_CheckExact(data)) return false;
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(data);
    return PyArray_NDIM(arr) == 1 && PyArray_TYPE(arr) == NPY_FLOAT &&
           PyArray_ISALIGNED(arr) && PyArray_ISNOTSWAPPED(arr) &&
           (!writable || PyArray_ISWRITEABLE(arr));
}

// numpy's pairwise float32 summation, so that the mean matches data.mean()
// bit for bit.
float pairwise_sum(const char* a, npy_intp n, npy_intp stride) {
    auto at = [&](npy_intp i) { return *reinterpret_cast<const float*>(a + i * stride); };
    if (n < 8) {
        float res = 0.f;
        for (npy_intp i = 0; i < n; ++i) res += at(i);
        return res;
    }
    if (n <= 128) {
        float r[8];
        for (int j = 0; j < 8; ++j) r[j] = at(j);
        npy_intp i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j) r[j] += at(i + j);
        float res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += at(i);
        return res;
    }
    npy_intp n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2, stride) + pairwise_sum(a + n2 * stride, n - n2, stride);
}

// data.mean() >= over
PyObject* decide_mean(PyObject* data, PyObject* over) {
    double threshold;
    if (plain_f32(data, false) && pynum::exact_double(over, &threshold)) {
        PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(data);
        const npy_intp n = PyArray_DIM(arr, 0);
        if (n > 0) {
            // numpy: float32 sum, divided in double by the count, rounded
            // back to float32, widened again for the comparison.
            // numpy's reduction hands its loop chunks of one buffer size
            // (8192 elements) and adds up the chunks' sums in order.
            const npy_intp stride = PyArray_STRIDE(arr, 0);
            float sum = 0.f;
            for (npy_intp at = 0; at < n; at += 8192)
                sum += pairwise_sum(PyArray_BYTES(arr) + at * stride, std::min<npy_intp>(8192, n - at),
                                    stride);
            const float mean = (float)((double)sum / (double)n);
            if ((double)mean >= threshold) PyArrayScalar_RETURN_TRUE;
            PyArrayScalar_RETURN_FALSE;
        }
    }
    rn::ptr mean(PyObject_CallMethodNoArgs(data, RN_ID(mean)));
    if (!mean) return nullptr;
    return PyObject_RichCompare(mean.get(), over, Py_GE);
}

// self.data.mean() >= self.mean_over
PyObject* freq_decide(PyObject* self) {
    rn::ptr data(rn::get_attr(self, RN_ID(data), st.freq_type));
    if (!data) return nullptr;
    rn::ptr over(rn::get_attr(self, RN_ID(mean_over), st.freq_type));
    if (!over) return nullptr;
    return decide_mean(data.get(), over.get());
}

// The float32 that numpy stores for `n`, when that is plain to see.
bool f32_value(PyObject* n, float* out) {
    double d;
    if (PyFloat_CheckExact(n)) {
        d = PyFloat_AS_DOUBLE(n);
    } else if (PyLong_CheckExact(n)) {
        int overflow;
        long long x = PyLong_AsLongLongAndOverflow(n, &overflow);
        if (overflow) return false;
        d = (double)x;  // numpy goes through float(n) too
    } else if (Py_IS_TYPE(n, &PyFloatArrType_Type)) {
        *out = PyArrayScalar_VAL(n, Float);
        return true;
    } else {
        return false;
    }
    // Finite values beyond float32's range are left to numpy, which warns.
    if (std::isfinite(d) && std::fabs(d) > FLT_MAX) return false;
    *out = (float)d;
    return true;
}

const rn::Signature freq_set_sig(
    "RecordByFrequency.set", "n",
    "Store n (as float32) in the next slot and return the decision, a numpy\n"
    "bool: data.mean() >= mean_over.",
    rn::METHOD);

PyObject* freq_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!freq_set_sig.parse(args, nargs, kwnames, a)) return nullptr;
    PyObject* n = a[0];
    // Pays: 61 ns a call against 149 ns for the step-by-step road below
    // (bench_core_utils, RecordByFrequency(100).set).
    if (rn::ptr d = rn::held_dict(self, st.freq_type)) {
        rn::ptr state[4];
        if (rn::dict_entries(d.get(), {RN_ID(data), RN_ID(mean_over), RN_ID(index), RN_ID(size)},
                             state)) {
            PyObject *data = state[0].get(), *over = state[1].get(), *index = state[2].get(),
                     *size = state[3].get();
            long long i, m;
            float v;
            if (plain_f32(data, true) && rn::exact_ll(index, &i) && rn::exact_ll(size, &m) &&
                m > 0 && i >= 0 && i < PyArray_DIM(reinterpret_cast<PyArrayObject*>(data), 0) &&
                f32_value(n, &v)) {
                PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(data);
                *reinterpret_cast<float*>(PyArray_BYTES(arr) + i * PyArray_STRIDE(arr, 0)) = v;
                rn::ptr next(PyLong_FromLongLong(rn::floor_mod(i + 1, m)));
                // Replacing an exact int runs no code.
                if (!next || PyDict_SetItem(d.get(), RN_ID(index), next.get()) < 0) return nullptr;
                return decide_mean(data, over);
            }
        }
        if (PyErr_Occurred()) return nullptr;
    }
    // self.data[self.index] = n
    rn::ptr data(rn::get_attr(self, RN_ID(data), st.freq_type));
    if (!data) return nullptr;
    rn::ptr index(rn::get_attr(self, RN_ID(index), st.freq_type));
    if (!index || PyObject_SetItem(data.get(), index.get(), n) < 0) return nullptr;
    // self.index = self.index + 1
    index = rn::get_attr(self, RN_ID(index), st.freq_type);
    if (!index) return nullptr;
    rn::ptr one(PyLong_FromLong(1));
    if (!one) return nullptr;
    rn::ptr inc(PyNumber_Add(index.get(), one.get()));
    if (!inc || set_attr(self, st.freq_type, RN_ID(index), inc.get()) < 0) return nullptr;
    // self.index = self.index % self.size
    index = rn::get_attr(self, RN_ID(index), st.freq_type);
    if (!index) return nullptr;
    rn::ptr size(rn::get_attr(self, RN_ID(size), st.freq_type));
    if (!size) return nullptr;
    rn::ptr wrapped(PyNumber_Remainder(index.get(), size.get()));
    if (!wrapped || set_attr(self, st.freq_type, RN_ID(index), wrapped.get()) < 0) return nullptr;
    return freq_decide(self);
}

const rn::Signature freq_get_sig(
    "RecordByFrequency.get", "",
    "Return the decision (a numpy bool) from the current slots, changing nothing.",
    rn::METHOD);
const rn::Signature freq_clear_sig(
    "RecordByFrequency.clear", "",
    "Set every slot to 0; the write position stays where it is.", rn::METHOD);

PyObject* freq_get(PyObject* self) { return freq_decide(self); }

PyObject* freq_clear(PyObject* self) {
    rn::ptr data(rn::get_attr(self, RN_ID(data), st.freq_type));
    if (!data) return nullptr;
    if (plain_f32(data.get(), true)) {
        PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(data.get());
        const npy_intp n = PyArray_DIM(arr, 0), stride = PyArray_STRIDE(arr, 0);
        char* p = PyArray_BYTES(arr);
        for (npy_intp i = 0; i < n; ++i) *reinterpret_cast<float*>(p + i * stride) = 0.f;
        Py_RETURN_NONE;
    }
    // self.data[:] = 0
    rn::ptr all(PySlice_New(nullptr, nullptr, nullptr));
    rn::ptr zero(PyLong_FromLong(0));
    if (!all || !zero || PyObject_SetItem(data.get(), all.get(), zero.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- types and module

PyMethodDef time_methods[] = {time_set_sig.def(rn::noargs<time_set_sig, time_set>),
                              time_get_sig.def(rn::noargs<time_get_sig, time_get>),
                              time_clear_sig.def(rn::noargs<time_clear_sig, time_clear>),
                              {}};

PyType_Slot time_slots[] = {
    {Py_tp_doc, (void*)time_init_sig.doc()},
    {Py_tp_init, (void*)time_init},
    {Py_tp_methods, time_methods},
    RN_PLAIN_SLOTS,
    {0, nullptr}};

PyType_Spec time_spec = {"ravu.utils.strategy.RecordByTime", sizeof(Record), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, time_slots};

PyMethodDef freq_methods[] = {freq_set_sig.def(freq_set),
                              freq_get_sig.def(rn::noargs<freq_get_sig, freq_get>),
                              freq_clear_sig.def(rn::noargs<freq_clear_sig, freq_clear>),
                              {}};

PyType_Slot freq_slots[] = {
    {Py_tp_doc, (void*)freq_init_sig.doc()},
    {Py_tp_init, (void*)freq_init},
    {Py_tp_methods, freq_methods},
    RN_PLAIN_SLOTS,
    {0, nullptr}};

PyType_Spec freq_spec = {"ravu.utils.strategy.RecordByFrequency", sizeof(Record), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, freq_slots};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "ravu.utils.strategy",
    "Trigger records that turn a stream of observations into yes or no.\n\n"
    "RecordByTime(sec, num) -- at least num events within the last sec seconds?\n"
    "RecordByFrequency(size, mean_over) -- has the mean of the last size values\n"
    "    reached mean_over?\n\n"
    "set() records and decides in one call, get() decides only, clear() resets.",
    -1, nullptr};

int init(PyObject* m) {
    if (rn::bind_import(m, nullptr, "time") < 0) return -1;
    st.time_func = rn::global(m, {RN_ID(time), RN_ID(time)});
    if (!st.time_func) return -1;
    if (rn::bind_import(m, nullptr, "numpy", "np") < 0) return -1;
    st.time_type = (PyTypeObject*)rn::add_type(m, &time_spec);
    if (!st.time_type) return -1;
    rn::ptr cap(PyLong_FromLong(100));
    if (!cap || PyObject_SetAttrString((PyObject*)st.time_type, "MAX_LEN", cap.get()) < 0)
        return -1;
    st.freq_type = (PyTypeObject*)rn::add_type(m, &freq_spec);
    if (!st.freq_type) return -1;
    return rn::set_all(m, {"RecordByTime", "RecordByFrequency"});
}

}  // namespace

PyMODINIT_FUNC PyInit_strategy() {
    import_array();
    return rn::create_module(&moduledef, init, &st.module);
}
