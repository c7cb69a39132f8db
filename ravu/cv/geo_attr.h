// Attributes of the geometry classes' instances, shared by the box and zone
// modules.  Their state lives in the instance dict of a plain-object layout
// (rn::PlainObject); for an instance of exactly the module's class, which
// defines no descriptors of those names, the dict is the whole story, so it
// is read and written directly.  Instances of subclasses go through the
// attribute protocol, their own __getattr__ and __setattr__ included.
#pragma once

#include "rn.h"

namespace geo {

// self.name, new reference.
inline PyObject* get_attr(PyTypeObject* cls, PyObject* self, PyObject* name) {
    if (Py_IS_TYPE(self, cls)) {
        if (PyObject* d = reinterpret_cast<rn::PlainObject*>(self)->dict) {
            if (PyObject* v = rn::dict_get_ref(d, name)) return v;
            if (PyErr_Occurred()) return nullptr;
        }
    }
    return PyObject_GetAttr(self, name);
}

// self.name = value.
inline int set_attr(PyTypeObject* cls, PyObject* self, PyObject* name, PyObject* value) {
    if (!Py_IS_TYPE(self, cls)) return PyObject_SetAttr(self, name, value);
    PyObject* d = reinterpret_cast<rn::PlainObject*>(self)->dict;
    rn::ptr held(d ? Py_NewRef(d) : PyObject_GenericGetDict(self, nullptr));
    if (!held) return -1;
    return PyDict_SetItem(held.get(), name, value);
}

// True when self.name() would run `original`, the method the class was made
// with: `self` is exactly of `cls`, the class still holds `original` and the
// instance dict does not shadow it.  False with an error set when a look-up
// failed.
inline bool own_method(PyTypeObject* cls, PyObject* self, PyObject* name, PyObject* original) {
    if (!Py_IS_TYPE(self, cls)) return false;
    if (PyDict_GetItemWithError(cls->tp_dict, name) != original) return false;
    PyObject* d = reinterpret_cast<rn::PlainObject*>(self)->dict;
    if (!d) return true;
    rn::ptr shadow(rn::dict_get_ref(d, name));
    return !shadow && !PyErr_Occurred();
}

}  // namespace geo
