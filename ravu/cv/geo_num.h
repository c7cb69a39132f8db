// Interpreter arithmetic on the numbers the geometry classes keep, one
// operation at a time: exact ints that fit in 64 bits and exact floats are
// computed in C with results identical to the interpreter's, everything else
// (big ints, numpy scalars, bools, user types) goes through the number
// protocol.  Included by one translation unit per module.
#pragma once

#include "rn.h"

#include <cmath>
#include <cstdint>

namespace geo {

// ---------------------------------------------------------------- Python-free rules

// An int64 that converts to double without rounding.
inline bool exact_double(int64_t i) {
    const int64_t lim = int64_t(1) << 53;
    return i >= -lim && i <= lim;
}

// max(0, int(v)) for a crop bound given as a finite double: truncation
// toward zero, then clipped below at 0 and above at INT64_MAX (slicing
// clamps such ends to the axis length anyway).
inline int64_t clip_trunc(double v) {
    const double t = std::trunc(v);
    if (t <= 0) return 0;
    if (t >= 9223372036854775807.0) return INT64_MAX;
    return (int64_t)t;
}

// An exact int that fits in 64 bits or an exact float, with the
// interpreter's operations on them.  Each returns false where C cannot give
// the interpreter's result (overflow, division by zero, an inexact mixed
// comparison); the caller then takes the general path.
struct Scalar {
    bool is_float = false;
    int64_t i = 0;
    double f = 0;
    double as_double() const { return is_float ? f : (double)i; }
};

inline Scalar scalar_int(int64_t v) { return Scalar{false, v, 0}; }
inline Scalar scalar_float(double v) { return Scalar{true, 0, v}; }

inline bool scalar_arith(const Scalar& a, const Scalar& b, char op, Scalar& out) {
    if (!a.is_float && !b.is_float) {
        int64_t r;
        switch (op) {
            case '+': if (__builtin_add_overflow(a.i, b.i, &r)) return false; break;
            case '-': if (__builtin_sub_overflow(a.i, b.i, &r)) return false; break;
            case '*': if (__builtin_mul_overflow(a.i, b.i, &r)) return false; break;
            default:
                if (b.i == 0 || !exact_double(a.i) || !exact_double(b.i)) return false;
                out = scalar_float((double)a.i / (double)b.i);
                return true;
        }
        out = scalar_int(r);
        return true;
    }
    const double x = a.as_double(), y = b.as_double();
    switch (op) {
        case '+': out = scalar_float(x + y); return true;
        case '-': out = scalar_float(x - y); return true;
        case '*': out = scalar_float(x * y); return true;
        default:
            if (y == 0) return false;
            out = scalar_float(x / y);
            return true;
    }
}

// a > b (greater) or a < b; false when not exact in C.
inline bool scalar_compare(const Scalar& a, const Scalar& b, bool greater, bool& out) {
    if (!a.is_float && !b.is_float) {
        out = greater ? a.i > b.i : a.i < b.i;
        return true;
    }
    if ((!a.is_float && !exact_double(a.i)) || (!b.is_float && !exact_double(b.i))) return false;
    const double x = a.as_double(), y = b.as_double();
    out = greater ? x > y : x < y;
    return true;
}

// Overlap area of boxes given as left, top, right, bottom (the rules of
// inter_area: the other box's value only when strictly beyond, a negative
// side becomes the int 0).
inline bool scalar_inter_area(const Scalar a[4], const Scalar b[4], Scalar& out) {
    Scalar lo[2], hi[2];
    for (int k = 0; k < 2; ++k) {
        bool c;
        if (!scalar_compare(b[k], a[k], true, c)) return false;
        lo[k] = c ? b[k] : a[k];
        if (!scalar_compare(b[k + 2], a[k + 2], false, c)) return false;
        hi[k] = c ? b[k + 2] : a[k + 2];
    }
    Scalar side[2];
    for (int k = 0; k < 2; ++k) {
        bool neg;
        if (!scalar_arith(hi[k], lo[k], '-', side[k]) ||
            !scalar_compare(scalar_int(0), side[k], true, neg))
            return false;
        if (neg) side[k] = scalar_int(0);
    }
    return scalar_arith(side[0], side[1], '*', out);
}

// ---------------------------------------------------------------- numbers

// The Scalar of an exact int in 64 bits or an exact float.
inline bool scalar_of(PyObject* o, Scalar& out) {
    if (PyFloat_CheckExact(o)) {
        out = scalar_float(PyFloat_AS_DOUBLE(o));
        return true;
    }
    if (!PyLong_CheckExact(o)) return false;
    int overflow;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow) return false;
    out = scalar_int(v);
    return true;
}

inline PyObject* scalar_object(const Scalar& v) {
    return v.is_float ? PyFloat_FromDouble(v.f) : PyLong_FromLongLong(v.i);
}

// A value read from an object: int64, double, or the object itself.  Keeps
// a reference to the object it came from when there is one.
struct Num {
    enum Kind : unsigned char { INT, FLOAT, OBJ };
    Kind kind = INT;
    int64_t i = 0;
    double f = 0;
    rn::ptr obj;

    static Num of(PyObject* o) {  // borrowed
        Num n;
        n.obj = rn::ptr(Py_NewRef(o));
        if (PyLong_CheckExact(o)) {
            int overflow;
            long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (!overflow) {
                n.i = v;
                return n;
            }
        } else if (PyFloat_CheckExact(o)) {
            n.kind = FLOAT;
            n.f = PyFloat_AS_DOUBLE(o);
            return n;
        }
        n.kind = OBJ;
        return n;
    }
    // Steals `o`; an invalid Num (NULL obj, OBJ kind) when o is NULL.
    static Num take(PyObject* o) {
        if (!o) {
            Num n;
            n.kind = OBJ;
            return n;
        }
        Num n = of(o);
        Py_DECREF(o);
        return n;
    }
    static Num of_int(int64_t v) {
        Num n;
        n.i = v;
        return n;
    }
    static Num of_float(double v) {
        Num n;
        n.kind = FLOAT;
        n.f = v;
        return n;
    }
    bool ok() const { return kind != OBJ || obj; }
    double as_double() const { return kind == FLOAT ? f : (double)i; }
    // The value as an object, new reference; NULL (the error is set) for
    // the result of a failed operation.
    PyObject* object() const {
        if (obj) return Py_NewRef(obj.get());
        if (kind == OBJ) return nullptr;
        if (kind == INT) return PyLong_FromLongLong(i);
        return PyFloat_FromDouble(f);
    }
};

enum class Op { ADD, SUB, MUL, DIV };

inline Num generic(const Num& a, const Num& b, Op op) {
    rn::ptr x(a.object());
    if (!x) return Num::take(nullptr);
    rn::ptr y(b.object());
    if (!y) return Num::take(nullptr);
    switch (op) {
        case Op::ADD: return Num::take(PyNumber_Add(x.get(), y.get()));
        case Op::SUB: return Num::take(PyNumber_Subtract(x.get(), y.get()));
        case Op::MUL: return Num::take(PyNumber_Multiply(x.get(), y.get()));
        default: return Num::take(PyNumber_TrueDivide(x.get(), y.get()));
    }
}

// a op b as the interpreter computes it.  Check ok() on the result.
inline Num arith(const Num& a, const Num& b, Op op) {
    if (a.kind == Num::OBJ || b.kind == Num::OBJ) return generic(a, b, op);
    if (a.kind == Num::INT && b.kind == Num::INT) {
        int64_t r;
        switch (op) {
            case Op::ADD:
                if (!__builtin_add_overflow(a.i, b.i, &r)) return Num::of_int(r);
                break;
            case Op::SUB:
                if (!__builtin_sub_overflow(a.i, b.i, &r)) return Num::of_int(r);
                break;
            case Op::MUL:
                if (!__builtin_mul_overflow(a.i, b.i, &r)) return Num::of_int(r);
                break;
            case Op::DIV:
                // Both exact in double: one IEEE division is the correctly
                // rounded quotient the interpreter gives.
                if (b.i != 0 && exact_double(a.i) && exact_double(b.i))
                    return Num::of_float((double)a.i / (double)b.i);
                break;
        }
        return generic(a, b, op);
    }
    // A float with an int: the int is converted (rounded to nearest even,
    // as the interpreter does), then one IEEE operation.
    const double x = a.as_double(), y = b.as_double();
    switch (op) {
        case Op::ADD: return Num::of_float(x + y);
        case Op::SUB: return Num::of_float(x - y);
        case Op::MUL: return Num::of_float(x * y);
        default:
            if (y == 0) return generic(a, b, op);  // the interpreter's own message
            return Num::of_float(x / y);
    }
}

// 1 when a > b (op Py_GT) or a < b (Py_LT), 0 when not, -1 on error.
inline int compare(const Num& a, const Num& b, int op) {
    if (a.kind != Num::OBJ && b.kind != Num::OBJ) {
        if (a.kind == Num::INT && b.kind == Num::INT) return op == Py_GT ? a.i > b.i : a.i < b.i;
        // Mixed int and float is exact in the interpreter; here only while
        // the int converts to double exactly.
        if ((a.kind == Num::FLOAT || exact_double(a.i)) &&
            (b.kind == Num::FLOAT || exact_double(b.i))) {
            const double x = a.as_double(), y = b.as_double();
            return op == Py_GT ? x > y : x < y;
        }
    }
    rn::ptr x(a.object());
    if (!x) return -1;
    rn::ptr y(b.object());
    if (!y) return -1;
    return PyObject_RichCompareBool(x.get(), y.get(), op);
}

// ---------------------------------------------------------------- unpacking

// a, b, ... = seq for exactly n targets, with the interpreter's errors.
// `out` receives new references.
inline bool unpack(PyObject* seq, PyObject** out, Py_ssize_t n) {
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        const Py_ssize_t len = PySequence_Fast_GET_SIZE(seq);
        if (len == n) {
            PyObject** items = PySequence_Fast_ITEMS(seq);
            for (Py_ssize_t k = 0; k < n; ++k) out[k] = Py_NewRef(items[k]);
            return true;
        }
    }
    rn::ptr it(PyObject_GetIter(seq));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(seq)->tp_iter &&
            !PySequence_Check(seq)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(seq)->tp_name);
        }
        return false;
    }
    Py_ssize_t k = 0;
    auto drop = [&] {
        for (Py_ssize_t j = 0; j < k; ++j) Py_CLEAR(out[j]);
    };
    for (; k < n; ++k) {
        out[k] = PyIter_Next(it.get());
        if (!out[k]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)",
                             n, k);
            drop();
            return false;
        }
    }
    PyObject* extra = PyIter_Next(it.get());
    if (extra || PyErr_Occurred()) {
        if (extra) {
            Py_DECREF(extra);
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        }
        drop();
        return false;
    }
    return true;
}

}  // namespace geo
