// Numbers in flight between objects and rn_num.h: the exact arithmetic
// where both operands are exact ints within 64 bits or exact floats, the
// interpreter's number protocol for everything else (big ints, numpy
// scalars, bools, user types) and wherever rn_num.h leaves the result to
// the interpreter.  Either way the value is the one the interpreter
// computes for the same operation, with its errors.  Also `a, b = seq`
// (the values of a pair, numbers or not, with the interpreter's errors).
// Included through rn.h.
#pragma once

#include "rn_attr.h"
#include "rn_base.h"
#include "rn_num.h"

namespace rn {

// The value of an exact int that fits a C long long; false (no exception)
// for anything else, which the caller then handles the general way.
inline bool exact_ll(PyObject* v, long long* out) {
    if (!v || !PyLong_CheckExact(v)) return false;
    int overflow;
    *out = PyLong_AsLongLongAndOverflow(v, &overflow);
    return !overflow;
}

namespace pynum {

using num::Val;

// The value of an exact int within 64 bits or an exact float; unknown for
// any other object.
inline Val classify(PyObject* o) {
    long long v;
    if (exact_ll(o, &v)) return num::of_int(v);
    if (PyFloat_CheckExact(o)) return num::of_float(PyFloat_AS_DOUBLE(o));
    return {};
}

// A double that compares with other doubles exactly as the object does:
// exact floats, and exact ints that convert without rounding.
inline bool exact_double(PyObject* o, double* out) {
    const Val v = classify(o);
    if (!num::exact_in_double(v)) return false;
    *out = num::as_double(v);
    return true;
}

// A value known here (v) and/or its object (o): numbers read from objects
// keep their object, results computed here get one only when asked.
struct Num {
    Val v;
    ptr o;

    bool fast() const { return num::known(v); }
};

inline Num from(PyObject* borrowed) {
    Num n;
    n.o.set(borrowed, true);
    n.v = classify(borrowed);
    return n;
}

inline Num of(Val v) {
    Num n;
    n.v = v;
    return n;
}

// Borrowed object of `n`, made on demand; NULL on failure.
inline PyObject* obj(Num& n) {
    if (!n.o) n.o = n.v.k == num::Kind::i ? PyLong_FromLongLong(n.v.i) : PyFloat_FromDouble(n.v.f);
    return n.o.get();
}

// New reference to the object of `n`.
inline PyObject* take(Num& n) { return obj(n) ? n.o.release() : nullptr; }

// Makes `out` the result `r` (a new reference) of an interpreter operation.
inline bool adopt(Num& out, PyObject* r) {
    if (!r) return false;
    out.v = classify(r);
    out.o = r;
    return true;
}

inline bool set_value(Num& out, Val r) {
    out.v = r;
    if (out.o) out.o = nullptr;
    return true;
}

// out = obj.name (see rn::get_attr for `exact`).
inline bool attr(Num& out, PyObject* self, PyObject* name, PyTypeObject* exact) {
    return adopt(out, get_attr(self, name, exact));
}

// The operation in C where rn_num.h decides it, else the interpreter's.
// Templates, so that each operation compiles to its own straight code.
template <Val (*Fast)(Val, Val), binaryfunc Slow>
inline bool binop(Num& out, Num& a, Num& b) {
    const Val r = Fast(a.v, b.v);
    if (num::known(r)) return set_value(out, r);
    PyObject* x = obj(a);
    PyObject* y = x ? obj(b) : nullptr;
    return y && adopt(out, Slow(x, y));
}

inline bool add(Num& out, Num& a, Num& b) { return binop<num::add, PyNumber_Add>(out, a, b); }
inline bool sub(Num& out, Num& a, Num& b) { return binop<num::sub, PyNumber_Subtract>(out, a, b); }
inline bool mul(Num& out, Num& a, Num& b) { return binop<num::mul, PyNumber_Multiply>(out, a, b); }
inline bool truediv(Num& out, Num& a, Num& b) {
    return binop<num::truediv, PyNumber_TrueDivide>(out, a, b);
}

template <Val (*Fast)(Val), unaryfunc Slow>
inline bool unop(Num& out, Num& a) {
    const Val r = Fast(a.v);
    if (num::known(r)) return set_value(out, r);
    PyObject* x = obj(a);
    return x && adopt(out, Slow(x));
}

inline bool neg(Num& out, Num& a) { return unop<num::neg, PyNumber_Negative>(out, a); }
inline bool abs(Num& out, Num& a) { return unop<num::abs, PyNumber_Absolute>(out, a); }
inline bool to_int(Num& out, Num& a) { return unop<num::to_int, PyNumber_Long>(out, a); }

// bool(a <op> b) for Py_LT, Py_GT, Py_EQ or Py_NE, as an `if` takes it; -1
// on error.
inline int compare(Num& a, Num& b, int op) {
    int r = -1;
    switch (op) {
        case Py_LT: r = num::less(a.v, b.v); break;
        case Py_GT: r = num::less(b.v, a.v); break;
        case Py_EQ: r = num::eq(a.v, b.v); break;
        case Py_NE: r = num::eq(a.v, b.v); r = r < 0 ? r : !r; break;
    }
    if (r >= 0) return r;
    PyObject* x = obj(a);
    PyObject* y = x ? obj(b) : nullptr;
    if (!y) return -1;
    // Not PyObject_RichCompareBool: its identity shortcut would call a NaN
    // equal to itself, which `==` does not.
    ptr c(PyObject_RichCompare(x, y, op));
    return c ? PyObject_IsTrue(c.get()) : -1;
}

// out = second if second <op> first else first: max() of the two with
// Py_GT, min() with Py_LT (the first wins ties, as the builtins keep it).
inline bool pick(Num& out, Num& first, Num& second, int op) {
    const int c = compare(second, first, op);
    if (c < 0) return false;
    Num& r = c ? second : first;
    out.v = r.v;
    out.o.set(r.o.get(), true);
    return true;
}

// `a == 0` as an object: True or False for exact numbers, whatever the
// type's equality gives otherwise (a numpy bool for numpy scalars).
inline PyObject* equals_zero(Num& a) {
    const int e = num::eq(a.v, num::of_int(0));
    if (e >= 0) return PyBool_FromLong(e);
    PyObject* x = obj(a);
    if (!x) return nullptr;
    ptr zero(PyLong_FromLong(0));
    return zero ? PyObject_RichCompare(x, zero.get(), Py_EQ) : nullptr;
}

// out = math.<name>(a), `math` being the global of `module` looked up now:
// computed as `exact` while that is still `original`, the function bound
// at import, and the argument allows.
inline bool math_call(Num& out, PyObject* module, PyObject* name, PyObject* original,
                      Val (*exact)(Val), Num& a) {
    bool stock;
    ptr fn(global_stock(module, RN_ID(math), name, original, &stock));
    if (!fn) return false;
    if (stock) {
        const Val r = exact(a.v);
        if (num::known(r)) return set_value(out, r);
    }
    PyObject* x = obj(a);
    return x && adopt(out, PyObject_CallOneArg(fn.get(), x));
}

// `out[0], ..., out[n-1] = seq`, numbers or not.
inline bool unpack(PyObject* seq, Num* out, Py_ssize_t n) {
    if ((PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) &&
        PySequence_Fast_GET_SIZE(seq) == n) {
        PyObject** items = PySequence_Fast_ITEMS(seq);
        for (Py_ssize_t k = 0; k < n; ++k) out[k] = from(items[k]);
        return true;
    }
    ptr it(PyObject_GetIter(seq));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(seq)->tp_iter &&
            !PySequence_Check(seq))
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(seq)->tp_name);
        return false;
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (!adopt(out[k], PyIter_Next(it.get()))) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError,
                             "not enough values to unpack (expected %zd, got %zd)", n, k);
            return false;
        }
    }
    ptr extra(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        return false;
    }
    return !PyErr_Occurred();
}

}  // namespace pynum
}  // namespace rn
