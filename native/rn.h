// The small library every ravu extension module stands on: argument parsing
// for METH_FASTCALL|METH_KEYWORDS with CPython's own TypeError messages,
// interned names, module globals looked up at call time, heap types and
// error helpers.  Header-only; every module includes it once.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cppy/cppy.h>

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

// ---------------------------------------------------------------- globals

// Module global `name` looked up now, falling back to builtins as Python
// code does; NameError like the interpreter's when missing.  New reference.
inline PyObject* global(PyObject* module, PyObject* name) {
    PyObject* d = PyModule_GetDict(module);  // borrowed
    PyObject* v = PyDict_GetItemWithError(d, name);
    if (!v) {
        if (PyErr_Occurred()) return nullptr;
        v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
        if (!v) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            return nullptr;
        }
    }
    Py_INCREF(v);
    return v;
}

// `from module import name`, new reference.
inline PyObject* import_attr(const char* module, const char* name) {
    ptr mod(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    return PyObject_GetAttrString(mod.get(), name);
}

// Value in the instance __dict__ of `obj`, borrowed, or NULL without an
// exception when there is none.  Used where an attribute lives in the
// instance dict by design and a full attribute look-up would cost more.
inline PyObject* instance_dict_get(PyObject* obj, PyObject* name) {
    PyObject** dp = _PyObject_GetDictPtr(obj);
    if (!dp || !*dp) return nullptr;
    PyObject* v = PyDict_GetItemWithError(*dp, name);
    if (!v) PyErr_Clear();
    return v;
}

// obj.name: the instance dict first (no MRO walk), the full protocol
// otherwise.  For classes whose attributes sit in the instance dict and
// that define no data descriptors of the same names.  New reference.
inline PyObject* fast_getattr(PyObject* obj, PyObject* name) {
    PyObject* v = instance_dict_get(obj, name);
    if (v) {
        Py_INCREF(v);
        return v;
    }
    return PyObject_GetAttr(obj, name);
}

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

// ---------------------------------------------------------------- arguments

enum Kind : unsigned char { POSONLY, POS, KWONLY };

struct Param {
    const char* name;
    Kind kind;
    bool required;
};

// The parameter list of one function or method, parsed the way CPython
// binds the arguments of a `def`, with the same TypeError messages.
//
//   static rn::Signature sig("lock_func", {{"mutex", rn::POS, false},
//                                          {"timeout", rn::POS, false}});
//   PyObject* a[2];
//   if (!sig.parse(args, nargs, kwnames, a)) return nullptr;
//
// Parameters come positional-only first, then positional-or-keyword, then
// keyword-only; required positional ones precede the optional ones.
// `out` receives borrowed references, NULL for an optional parameter that
// was not given.  `self_in_count` makes the "takes N positional arguments"
// message count `self`, as CPython does for methods (name "Class.method").
class Signature {
public:
    struct Options {
        bool varargs = false;        // *args
        bool varkw = false;          // **kwargs
        bool self_in_count = false;
    };

    Signature(const char* name, std::initializer_list<Param> params)
        : Signature(name, params, Options()) {}
    Signature(const char* name, std::initializer_list<Param> params, Options opt)
        : name_(name), params_(params), opt_(opt) {
        for (const Param& p : params_) {
            if (p.kind == KWONLY) continue;
            ++npos_;
            if (p.kind == POSONLY) ++nposonly_;
            if (p.required) ++nreq_pos_;
        }
        simple_ = !opt_.varargs && !opt_.varkw && !has_required_kwonly();
    }

    Py_ssize_t size() const { return (Py_ssize_t)params_.size(); }

    // `star` (with varargs) receives the extra positional arguments as a
    // tuple, `starstar` (with varkw) the extra keywords as a dict.
    bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
               ptr* star = nullptr, ptr* starstar = nullptr) const {
        nargs = PyVectorcall_NARGS(nargs);
        const Py_ssize_t nparams = size();
        // The common call: positional arguments only, count in range.
        if (!kwnames && simple_ && nargs >= nreq_pos_ && nargs <= npos_) {
            Py_ssize_t i = 0;
            for (; i < nargs; ++i) out[i] = args[i];
            for (; i < nparams; ++i) out[i] = nullptr;
            return true;
        }
        return parse_slow(args, nargs, kwnames, out, star, starstar);
    }

private:
    bool has_required_kwonly() const {
        for (const Param& p : params_)
            if (p.kind == KWONLY && p.required) return true;
        return false;
    }

    PyObject* interned(Py_ssize_t i) const {
        if (names_.empty()) {
            names_.reserve(params_.size());
            for (const Param& p : params_) names_.push_back(PyUnicode_InternFromString(p.name));
        }
        return names_[i];
    }

    // Index of keyword `kw` among the parameters that accept keywords,
    // -1 if none; -2 if it names a positional-only parameter.
    Py_ssize_t find(PyObject* kw) const {
        const Py_ssize_t n = size();
        for (Py_ssize_t i = nposonly_; i < n; ++i)
            if (interned(i) == kw) return i;
        for (Py_ssize_t i = nposonly_; i < n; ++i)
            if (PyUnicode_Compare(interned(i), kw) == 0) return i;
        for (Py_ssize_t i = 0; i < nposonly_; ++i)
            if (PyUnicode_Compare(interned(i), kw) == 0) return -2;
        return -1;
    }

    bool parse_slow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                    ptr* star, ptr* starstar) const {
        const Py_ssize_t nparams = size();
        for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = nullptr;
        if (PyErr_Occurred()) return false;
        if (opt_.varkw) {
            starstar->set(PyDict_New());
            if (!*starstar) return false;
        }
        const Py_ssize_t ncopy = nargs < npos_ ? nargs : npos_;
        for (Py_ssize_t i = 0; i < ncopy; ++i) out[i] = args[i];
        if (opt_.varargs) {
            star->set(PyTuple_New(nargs > npos_ ? nargs - npos_ : 0));
            if (!*star) return false;
            for (Py_ssize_t i = npos_; i < nargs; ++i) {
                Py_INCREF(args[i]);
                PyTuple_SET_ITEM(star->get(), i - npos_, args[i]);
            }
        }
        std::vector<std::string> posonly_by_kw;
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            Py_ssize_t i = find(kw);
            if (i < 0) {
                if (opt_.varkw) {
                    if (PyDict_SetItem(starstar->get(), kw, value) < 0) return false;
                    continue;
                }
                if (i == -2) {
                    posonly_by_kw.push_back(PyUnicode_AsUTF8(kw));
                    continue;
                }
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                             name_, kw);
                return false;
            }
            if (out[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'",
                             name_, kw);
                return false;
            }
            out[i] = value;
        }
        if (!posonly_by_kw.empty()) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got some positional-only arguments passed as keyword "
                         "arguments: '%s'",
                         name_, join_names(posonly_by_kw).c_str());
            return false;
        }
        if (nargs > npos_ && !opt_.varargs) {
            too_many_positional(nargs, out);
            return false;
        }
        std::vector<std::string> missing;
        for (Py_ssize_t i = 0; i < npos_; ++i)
            if (params_[i].required && !out[i]) missing.push_back(params_[i].name);
        if (!missing.empty()) {
            report_missing(missing, "positional");
            return false;
        }
        for (Py_ssize_t i = npos_; i < nparams; ++i)
            if (params_[i].required && !out[i]) missing.push_back(params_[i].name);
        if (!missing.empty()) {
            report_missing(missing, "keyword-only");
            return false;
        }
        return true;
    }

    void report_missing(const std::vector<std::string>& missing, const char* what) const {
        PyErr_Format(PyExc_TypeError, "%s() missing %zd required %s argument%s: %s", name_,
                     (Py_ssize_t)missing.size(), what, missing.size() == 1 ? "" : "s",
                     join_quoted_names(missing).c_str());
    }

    void too_many_positional(Py_ssize_t nargs, PyObject** out) const {
        const Py_ssize_t self = opt_.self_in_count ? 1 : 0;
        const Py_ssize_t most = npos_ + self, least = nreq_pos_ + self;
        std::string sig;
        bool plural;
        if (least != most) {
            sig = "from " + std::to_string(least) + " to " + std::to_string(most);
            plural = true;
        } else {
            sig = std::to_string(most);
            plural = most != 1;
        }
        Py_ssize_t kwonly_given = 0;
        for (Py_ssize_t i = npos_; i < size(); ++i)
            if (out[i]) ++kwonly_given;
        const Py_ssize_t given = nargs + self;
        std::string kwonly_sig;
        if (kwonly_given) {
            kwonly_sig = std::string(" positional argument") + (given != 1 ? "s" : "") +
                         " (and " + std::to_string(kwonly_given) + " keyword-only argument" +
                         (kwonly_given != 1 ? "s" : "") + ")";
        }
        PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd%s %s given",
                     name_, sig.c_str(), plural ? "s" : "", given, kwonly_sig.c_str(),
                     (given == 1 && !kwonly_given) ? "was" : "were");
    }

    const char* name_;
    std::vector<Param> params_;
    Options opt_;
    Py_ssize_t npos_ = 0, nposonly_ = 0, nreq_pos_ = 0;
    bool simple_ = false;  // no *args, **kwargs or required keyword-only
    mutable std::vector<PyObject*> names_;  // interned, immortal for us
};

// Parses the (args tuple, kwargs dict) form, as tp_init receives it, with
// the same rules and messages.  `keep` holds what the borrowed `out`
// references need beyond the call's own tuple and dict.
inline bool parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out,
                        ptr& keep) {
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (!nkw) return sig.parse(&PyTuple_GET_ITEM(args, 0), n, nullptr, out);
    std::vector<PyObject*> flat(&PyTuple_GET_ITEM(args, 0), &PyTuple_GET_ITEM(args, 0) + n);
    keep.set(PyTuple_New(nkw));
    if (!keep) return false;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(keep.get(), k++, key);
        flat.push_back(value);
    }
    return sig.parse(flat.data(), n, keep.get(), out);
}

// The common case of a module function taking exactly one argument by
// position only.  Returns the argument (borrowed) or NULL with the TypeError
// a `def name(arg, /)` would raise.
inline PyObject* single_posonly(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    if (!kwnames && PyVectorcall_NARGS(nargs) == 1) return args[0];
    PyObject* out[1];
    return sig.parse(args, nargs, kwnames, out) ? out[0] : nullptr;
}

// Casts for PyMethodDef tables.
template <typename F>
inline PyCFunction fastcall_kw(F f) {
    return (PyCFunction)(void (*)(void))f;
}

}  // namespace rn
