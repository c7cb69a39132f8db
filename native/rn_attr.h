// Attributes of objects that keep their state in their instance dict, and
// the test whether a member is still the stock one.  Included through rn.h.
//
// For an object of exactly a class this library made (a plain-object
// layout, no data descriptors under the names read this way) the instance
// dict is the whole story, so it is read and written directly; any other
// object goes through the attribute protocol, its own __getattr__ and
// __setattr__ included.
//
// One rule for everything here: nothing borrowed survives a call that can
// run Python code.  Searching a dict may run a key's __eq__, which can give
// the object another dict (freeing this one) or rebind an entry already
// read, so the dict is held while it is searched and every value comes back
// as a new reference.
#pragma once

#include "rn_call.h"

namespace rn {

// ---------------------------------------------------------------- instance dict

// The instance dict of `obj` when its type keeps one at a fixed offset
// (and is exactly `exact`, when given), borrowed; NULL (no exception)
// otherwise, or when none was made yet.  Hold it before searching it.
inline PyObject* instance_dict(PyObject* obj, PyTypeObject* exact = nullptr) {
    if (exact && !Py_IS_TYPE(obj, exact)) return nullptr;
    const Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
    if (offset <= 0) return nullptr;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// The same, held; an empty ptr when there is none.
inline ptr held_dict(PyObject* obj, PyTypeObject* exact = nullptr) {
    return ptr(instance_dict(obj, exact), true);
}

// d[key] as a new reference; NULL when absent, with an exception only when
// the search failed.  `d` is held for the search (a search that sees the
// dict change under it starts again, so what it returns is an entry of `d`
// as it is now).
inline PyObject* dict_get_ref(PyObject* d, PyObject* key) {
    ptr held(d, true);
    return Py_XNewRef(PyDict_GetItemWithError(d, key));
}

// The values of `names` in dict `d` (which the caller holds), held in
// `out`, looked up in this order; false when one is missing, with an
// exception only when a search failed.
template <size_t N>
inline bool dict_entries(PyObject* d, PyObject* const (&names)[N], ptr (&out)[N]) {
    for (size_t i = 0; i < N; ++i) {
        out[i] = Py_XNewRef(PyDict_GetItemWithError(d, names[i]));
        if (!out[i]) return false;
    }
    return true;
}

// The instance dict's own entry for `name`, new reference; NULL without an
// exception when there is none (a failed search counts as none).
inline PyObject* own_entry(PyObject* obj, PyObject* name) {
    PyObject* d = instance_dict(obj);
    if (!d) return nullptr;
    PyObject* v = dict_get_ref(d, name);
    if (!v) PyErr_Clear();
    return v;
}

// obj.name, new reference.  For an object of exactly `exact` (NULL: of any
// type whose instances keep a dict) the instance dict first; a failed
// search is raised as the interpreter's own look-up raises it.
inline PyObject* get_attr(PyObject* obj, PyObject* name, PyTypeObject* exact = nullptr) {
    if (PyObject* d = instance_dict(obj, exact)) {
        if (PyObject* v = dict_get_ref(d, name)) return v;
        if (PyErr_Occurred()) return nullptr;
    }
    return PyObject_GetAttr(obj, name);
}

// obj.name = value; for an object of exactly `exact` straight into its
// instance dict (made first when it has none yet).  0 or -1.
inline int set_attr(PyObject* obj, PyObject* name, PyObject* value, PyTypeObject* exact) {
    if (!Py_IS_TYPE(obj, exact)) return PyObject_SetAttr(obj, name, value);
    ptr d = held_dict(obj);
    if (!d && !(d = PyObject_GenericGetDict(obj, nullptr))) return -1;
    return PyDict_SetItem(d.get(), name, value);
}

// Several attributes of one object of exactly `exact` read in a row: its
// instance dict is taken once (also one the interpreter manages, which has
// no fixed offset, through the public generic __dict__ getter) and held.
// After any step that may have run Python code, stale() drops it, so that
// the next read takes the object's dict anew.  A name missing there, and
// an object of any other type, go through the attribute protocol.
class DictReader {
public:
    DictReader(PyObject* obj, PyTypeObject* exact) : obj_(obj), exact_(exact) {}

    // obj.name, new reference.
    PyObject* get(PyObject* name) {
        if (!dict_ && Py_IS_TYPE(obj_, exact_)) {
            dict_ = PyObject_GenericGetDict(obj_, nullptr);
            if (!dict_) return nullptr;
        }
        if (dict_) {
            if (PyObject* v = PyDict_GetItemWithError(dict_.get(), name)) return Py_NewRef(v);
            if (PyErr_Occurred()) return nullptr;
        }
        return PyObject_GetAttr(obj_, name);
    }
    void stale() { dict_ = nullptr; }

private:
    PyObject* obj_;
    PyTypeObject* exact_;
    ptr dict_;
};

// ---------------------------------------------------------------- still the stock object?

// The class dict's own entry for `name` (borrowed: the class keeps it), as
// a type is made; SystemError when it has none.
inline PyObject* class_member(PyTypeObject* type, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(type->tp_dict, name);
    if (!v && !PyErr_Occurred())
        PyErr_Format(PyExc_SystemError, "%s has no member %U", type->tp_name, name);
    return v;
}

// True when obj.name() would run `original`, the class's member as made
// (see class_member), so that its work may be done in C: `obj` is exactly
// of `type`, the class still holds `original` and the instance dict does
// not shadow it.  False, with an error set only when a search failed.
inline bool is_stock_method(PyObject* obj, PyTypeObject* type, PyObject* name,
                            PyObject* original) {
    if (!Py_IS_TYPE(obj, type)) return false;
    if (PyDict_GetItemWithError(type->tp_dict, name) != original) return false;
    PyObject* d = instance_dict(obj);
    if (!d || !PyDict_GET_SIZE(d)) return true;  // the usual case: nothing to search
    ptr shadow(dict_get_ref(d, name));
    return !shadow && !PyErr_Occurred();
}

// owner.name, new reference, and in `*stock` whether it is still
// `original`, the object bound at import, so that its C equivalent may
// stand in for it.  A plain module's attributes are its dict's entries.
inline PyObject* get_stock(PyObject* owner, PyObject* name, PyObject* original, bool* stock) {
    PyObject* v = nullptr;
    if (PyModule_CheckExact(owner)) {
        v = dict_get_ref(PyModule_GetDict(owner), name);
        if (!v && PyErr_Occurred()) return nullptr;
    }
    if (!v) v = PyObject_GetAttr(owner, name);
    *stock = v && v == original;
    return v;
}

// <global>.name for the global `global` of `module` looked up now (see
// rn::global), with `*stock` as get_stock sets it.  New reference.
inline PyObject* global_stock(PyObject* module, PyObject* global_name, PyObject* name,
                              PyObject* original, bool* stock) {
    ptr owner(global(module, global_name));
    return owner ? get_stock(owner.get(), name, original, stock) : nullptr;
}

// 1 when owner.name is still `original`, 0 when not, -1 on error.
inline int is_stock(PyObject* owner, PyObject* name, PyObject* original) {
    bool stock;
    ptr v(get_stock(owner, name, original, &stock));
    return v ? stock : -1;
}

// Whether `f` is the builtin method `def` made for `self` (a bound C
// function of this library), still where it was put.
inline bool is_stock_builtin(PyObject* f, PyObject* self, PyCFunction def) {
    return PyCFunction_Check(f) && PyCFunction_GET_SELF(f) == self &&
           PyCFunction_GET_FUNCTION(f) == def;
}

}  // namespace rn
