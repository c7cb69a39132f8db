// Numbers in flight for the line classes: the exact arithmetic of
// line_num.h where both operands are exact ints within 64 bits or exact
// floats, the interpreter's number protocol for everything else (big
// ints, numpy scalars, bools, user types) and wherever line_num.h leaves
// the result to the interpreter.  Either way the value is the one the
// interpreter computes for the same operation.
#pragma once

#include "line_num.h"
#include "rn.h"

namespace lnpy {

using ln::Kind;
using ln::Val;

inline Val classify(PyObject* o) {
    if (PyLong_CheckExact(o)) {
        int overflow;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow) return ln::of_int(v);
        return {};
    }
    if (PyFloat_CheckExact(o)) return ln::of_float(PyFloat_AS_DOUBLE(o));
    return {};
}

// A value known here (v) and/or its object (o): numbers read from objects
// keep their object, results computed here get one only when asked.
struct Num {
    Val v;
    rn::ptr o;

    bool fast() const { return ln::known(v); }
};

inline Num from(PyObject* borrowed) {
    Num n;
    n.o.set(borrowed, true);
    n.v = classify(borrowed);
    return n;
}

// Borrowed object of `n`, made on demand; NULL on failure.
inline PyObject* obj(Num& n) {
    if (!n.o) n.o = n.v.k == Kind::i ? PyLong_FromLongLong(n.v.i) : PyFloat_FromDouble(n.v.f);
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
    out.o = nullptr;
    return true;
}

inline bool binop(Num& out, Num& a, Num& b, Val (*fast)(Val, Val), binaryfunc slow) {
    const Val r = fast(a.v, b.v);
    if (ln::known(r)) return set_value(out, r);
    PyObject* x = obj(a);
    PyObject* y = x ? obj(b) : nullptr;
    return y && adopt(out, slow(x, y));
}

inline bool add(Num& out, Num& a, Num& b) { return binop(out, a, b, ln::add, PyNumber_Add); }
inline bool sub(Num& out, Num& a, Num& b) { return binop(out, a, b, ln::sub, PyNumber_Subtract); }
inline bool mul(Num& out, Num& a, Num& b) { return binop(out, a, b, ln::mul, PyNumber_Multiply); }
inline bool truediv(Num& out, Num& a, Num& b) {
    return binop(out, a, b, ln::truediv, PyNumber_TrueDivide);
}

inline bool unop(Num& out, Num& a, Val (*fast)(Val), unaryfunc slow) {
    const Val r = fast(a.v);
    if (ln::known(r)) return set_value(out, r);
    PyObject* x = obj(a);
    return x && adopt(out, slow(x));
}

inline bool neg(Num& out, Num& a) { return unop(out, a, ln::neg, PyNumber_Negative); }
inline bool abs(Num& out, Num& a) { return unop(out, a, ln::abs, PyNumber_Absolute); }
inline bool to_int(Num& out, Num& a) { return unop(out, a, ln::to_int, PyNumber_Long); }

// bool(a == b) or bool(a != b); -1 on error.
inline int compare_bool(Num& a, Num& b, int op) {
    const int e = ln::eq(a.v, b.v);
    if (e >= 0) return op == Py_EQ ? e : !e;
    PyObject* x = obj(a);
    PyObject* y = x ? obj(b) : nullptr;
    if (!y) return -1;
    // Not PyObject_RichCompareBool: its identity shortcut would call a NaN
    // equal to itself, which `==` does not.
    rn::ptr r(PyObject_RichCompare(x, y, op));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// `a == 0` as an object: True or False for exact numbers, whatever the
// type's equality gives otherwise (a numpy bool for numpy scalars).
inline PyObject* equals_zero(Num& a) {
    const int e = ln::eq(a.v, ln::of_int(0));
    if (e >= 0) return PyBool_FromLong(e);
    PyObject* x = obj(a);
    if (!x) return nullptr;
    rn::ptr zero(PyLong_FromLong(0));
    return zero ? PyObject_RichCompare(x, zero.get(), Py_EQ) : nullptr;
}

// obj.name, new reference.  An object of exactly `type` (a plain object
// layout, which defines no data descriptors under the names read this way)
// keeps its attributes in its instance dict: read there first.
inline PyObject* get_attr(PyObject* self, PyObject* name, PyTypeObject* type) {
    if (Py_IS_TYPE(self, type)) {
        if (PyObject* d = reinterpret_cast<rn::PlainObject*>(self)->dict) {
            if (PyObject* v = rn::dict_get_ref(d, name)) return v;
            if (PyErr_Occurred()) return nullptr;
        }
    }
    return PyObject_GetAttr(self, name);
}

// obj.name = value, straight into the instance dict of an object of
// exactly `type` (same assumption as get_attr); 0 or -1.
inline int set_attr(PyObject* self, PyObject* name, PyObject* value, PyTypeObject* type) {
    if (Py_IS_TYPE(self, type))
        if (PyObject* d = reinterpret_cast<rn::PlainObject*>(self)->dict)
            return PyDict_SetItem(d, name, value);
    return PyObject_SetAttr(self, name, value);
}

inline bool attr(Num& out, PyObject* self, PyObject* name, PyTypeObject* type) {
    PyObject* v = get_attr(self, name, type);
    if (!v) return false;
    out.v = classify(v);
    out.o = v;
    return true;
}

// A module global bound to a module (`math`, `np`), looked up at each use.
struct Global {
    PyObject* module;  // the module whose global it is
    PyObject* name;

    Global(PyObject* m, PyObject* n) : module(m), name(n) {}

    // New reference.
    PyObject* get() { return rn::global(module, name); }

    // global.attr, new reference; `*is_own` tells whether it is still
    // `own`, the object bound at import, so that its C equivalent may stand
    // in for it.  A plain module's attributes are its dict's entries.
    PyObject* attr(PyObject* attr_name, PyObject* own, bool* is_own) {
        rn::ptr mod(get());
        if (!mod) return nullptr;
        PyObject* v = nullptr;
        if (PyModule_CheckExact(mod.get())) {
            v = PyDict_GetItemWithError(PyModule_GetDict(mod.get()), attr_name);
            if (v) Py_INCREF(v);
            else if (PyErr_Occurred()) return nullptr;
        }
        if (!v) v = PyObject_GetAttr(mod.get(), attr_name);
        *is_own = v && v == own;
        return v;
    }
};

// math.<name>(a), with `math` the module global; `own` is the real
// function, computed here as `fast` when the argument allows.
inline bool math_call(Num& out, Global& math, PyObject* name, PyObject* own, Val (*fast)(Val),
                      Num& a) {
    bool is_own;
    rn::ptr fn(math.attr(name, own, &is_own));
    if (!fn) return false;
    if (is_own) {
        const Val r = fast(a.v);
        if (ln::known(r)) return set_value(out, r);
    }
    PyObject* x = obj(a);
    return x && adopt(out, PyObject_CallOneArg(fn.get(), x));
}

// `a, b = seq` with the interpreter's errors.
inline bool unpack2(PyObject* seq, Num& a, Num& b) {
    if ((PyTuple_CheckExact(seq) && PyTuple_GET_SIZE(seq) == 2) ||
        (PyList_CheckExact(seq) && PyList_GET_SIZE(seq) == 2)) {
        PyObject** items = PySequence_Fast_ITEMS(seq);
        a = from(items[0]);
        b = from(items[1]);
        return true;
    }
    rn::ptr it(PyObject_GetIter(seq));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(seq)->tp_iter &&
            !PySequence_Check(seq)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(seq)->tp_name);
        }
        return false;
    }
    Num* outs[2] = {&a, &b};
    for (int k = 0; k < 2; ++k) {
        PyObject* v = PyIter_Next(it.get());
        if (!v) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                             k);
            return false;
        }
        outs[k]->v = classify(v);
        outs[k]->o = v;
    }
    PyObject* extra = PyIter_Next(it.get());
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

// Whether `self.name` is the class's own method `own` (a value of the
// class dict): the object is of exactly the class `type`, its instance
// dict does not shadow the name and the class still holds `own`.  Only
// then may the method's work be done inline.
inline bool own_method(PyObject* self, PyTypeObject* type, PyObject* name, PyObject* own) {
    if (!Py_IS_TYPE(self, type)) return false;
    if (PyObject* d = reinterpret_cast<rn::PlainObject*>(self)->dict) {
        rn::ptr hold(d, true);  // a key's __eq__ may give self another dict
        if (PyDict_GetItemWithError(d, name)) return false;
        PyErr_Clear();
    }
    PyObject* v = PyDict_GetItemWithError(type->tp_dict, name);
    if (!v) PyErr_Clear();
    return v == own;
}

// The class dict's value for `name` (borrowed; the class keeps it).
inline PyObject* class_member(PyTypeObject* type, const char* name) {
    PyObject* v = PyDict_GetItemString(type->tp_dict, name);
    if (!v) PyErr_Format(PyExc_SystemError, "%s has no member %s", type->tp_name, name);
    return v;
}

}  // namespace lnpy
