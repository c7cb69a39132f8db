// The base of the small library every ravu extension module stands on:
// interned names, errors with `finally` semantics, heap types and module
// creation.  Included through rn.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cppy/cppy.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "rn_core.h"

namespace rn {

using cppy::ptr;

// ---------------------------------------------------------------- names

// Interned string made once per call site and kept for the process' life:
// RN_ID(acquire) is the str "acquire".  Borrowed; NULL only if the very
// first allocation failed (an exception is set then).
#define RN_ID(name) RN_STR(#name)
#define RN_STR(text)                                              \
    ([]() -> PyObject* {                                          \
        static PyObject* s_ = PyUnicode_InternFromString(text);   \
        return s_;                                                \
    }())

// ---------------------------------------------------------------- errors

// Raise `type` with a printf-style message; always returns NULL so that
// `return rn::raise(...)` reads naturally.
template <typename... A>
inline PyObject* raise(PyObject* type, const char* fmt, A... a) {
    PyErr_Format(type, fmt, a...);
    return nullptr;
}

// Raise `type(message)` where the message is already a Python object.
inline PyObject* raise_obj(PyObject* type, PyObject* message) {
    PyErr_SetObject(type, message);
    return nullptr;
}

// Takes the pending exception out and puts it back on scope exit, so that
// cleanup code in between (a `finally`) can call into Python.  If the
// cleanup raised, the cleanup's exception wins and gets the saved one as
// its __context__, exactly as an exception raised in `finally` does.
class SavedError {
public:
    SavedError() { PyErr_Fetch(&type_, &value_, &tb_); }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() { restore(); }
    bool active() const { return type_ != nullptr; }
    // Whether the saved exception is an instance of `exc` (a class or tuple).
    bool matches(PyObject* exc) const { return type_ && PyErr_GivenExceptionMatches(type_, exc); }
    // Forgets the saved exception: what followed recovered from it.
    void drop() {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(tb_);
    }
    void restore() {
        if (!type_) return;
        if (PyErr_Occurred()) {
            PyObject *t, *v, *tb;
            PyErr_Fetch(&t, &v, &tb);
            PyErr_NormalizeException(&t, &v, &tb);
            PyErr_NormalizeException(&type_, &value_, &tb_);
            if (tb_) PyException_SetTraceback(value_, tb_);
            PyException_SetContext(v, value_);  // steals value_
            value_ = nullptr;
            Py_XDECREF(type_);
            Py_XDECREF(tb_);
            type_ = tb_ = nullptr;
            PyErr_Restore(t, v, tb);
            return;
        }
        PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
    }

private:
    PyObject *type_, *value_, *tb_;
};

// Makes the pending exception the one being handled, as inside `except:`:
// traceback.format_exc() sees it and an exception raised meanwhile gets it
// as its __context__.  The previously handled one is put back at scope exit.
class Handling {
public:
    Handling() : prev_(PyErr_GetHandledException()) { take(false); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
    ~Handling() {
        PyErr_SetHandledException(prev_);
        Py_XDECREF(prev_);
    }
    // The pending exception replaces the handled one; `alone` drops its
    // __context__, so that repeated failures do not chain up without end.
    void take(bool alone) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        if (v && tb) PyException_SetTraceback(v, tb);
        if (v && alone) PyException_SetContext(v, nullptr);
        PyErr_SetHandledException(v);
        Py_XDECREF(t);
        Py_XDECREF(v);
        Py_XDECREF(tb);
    }

private:
    PyObject* prev_;
};

// ---------------------------------------------------------------- globals

// ---------------------------------------------------------------- types

// A heap type made from `spec` for `module`, with `bases` (a class, a
// tuple of classes, or NULL for object), and bound in the module under the
// part of spec->name after its last dot.  New reference.
inline PyObject* add_type(PyObject* module, PyType_Spec* spec, PyObject* bases = nullptr) {
    PyObject* type = PyType_FromModuleAndSpec(module, spec, bases);
    if (!type) return nullptr;
    const char* dot = std::strrchr(spec->name, '.');
    if (PyModule_AddObjectRef(module, dot ? dot + 1 : spec->name, type) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    return type;
}

// tp_dealloc of a garbage-collected heap type whose tp_clear drops every
// reference the object holds; clears weak references when the type has them.
template <int (*Clear)(PyObject*)>
void gc_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (tp->tp_weaklistoffset &&
        *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + tp->tp_weaklistoffset))
        PyObject_ClearWeakRefs(self);
    Clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Instance layout of a plain Python class: a __dict__ and weak references.
// A type's own struct derives from it and adds its C fields after them;
// RN_PLAIN_SLOTS gives such a type the matching slots.
struct PlainObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
};

inline int plain_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PlainObject*>(self)->dict);
    return 0;
}

inline int plain_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<PlainObject*>(self)->dict);
    return 0;
}

inline PyMemberDef plain_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(PlainObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(PlainObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

inline PyGetSetDef plain_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

#define RN_PLAIN_SLOTS                                                        \
    {Py_tp_members, rn::plain_members}, {Py_tp_getset, rn::plain_getset},     \
        {Py_tp_traverse, (void*)rn::plain_traverse},                          \
        {Py_tp_clear, (void*)rn::plain_clear},                                \
        {Py_tp_dealloc, (void*)rn::gc_dealloc<rn::plain_clear>}

// Body of a PyInit_ function for a single-phase module: creates it, runs
// `init` on it and keeps a reference in `*keep`, for globals looked up at
// call time (already set while `init` runs, cleared if it fails).
//
// Single-phase (m_size -1) because every module keeps its state in C
// statics: its types, the objects bound at import that the "still stock"
// tests compare with, and the module itself.  Statics hold one module per
// process, which is what single-phase promises: the interpreter runs the
// initialiser once and gives a later import (after removal from
// sys.modules) a copy of the first module's dict instead of a second set
// of types.  Multi-phase init would have to carry all that in per-module
// state reached through every call's defining class.
inline PyObject* create_module(PyModuleDef* def, int (*init)(PyObject*), PyObject** keep) {
    PyObject* m = PyModule_Create(def);
    if (!m) return nullptr;
    *keep = m;
    if (init(m) < 0) {
        *keep = nullptr;
        Py_DECREF(m);
        return nullptr;
    }
    Py_INCREF(m);
    return m;
}

// Sets `__all__` of a module from a list of names.
inline int set_all(PyObject* module, std::initializer_list<const char*> names) {
    ptr lst(PyList_New(0));
    if (!lst) return -1;
    for (const char* n : names) {
        ptr s(PyUnicode_FromString(n));
        if (!s || PyList_Append(lst.get(), s.get()) < 0) return -1;
    }
    return PyModule_AddObjectRef(module, "__all__", lst.get());
}

}  // namespace rn
