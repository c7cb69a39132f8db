// The bindings a module's import runs (`from x import *`, `import x as y`).
// Included through rn.h.
#pragma once

#include "rn_base.h"

namespace rn {

// ---------------------------------------------------------------- module body bindings

// `from module import name`, new reference: the value a module keeps for
// itself at import (a binding of its body goes through bind_import).
inline PyObject* import_attr(const char* module, const char* name) {
    ptr mod(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    return PyObject_GetAttrString(mod.get(), name);
}

// `from <from> import *` run in module `m`: the names of its __all__, or,
// without one, every name of its dict that does not begin with "_".
inline int star_import(PyObject* m, const char* from) {
    ptr src(PyImport_ImportModule(from));
    if (!src) return -1;
    ptr names(PyObject_GetAttr(src.get(), RN_ID(__all__)));
    if (!names) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        ptr keys(PyDict_Keys(PyModule_GetDict(src.get())));
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
    ptr it(PyObject_GetIter(names.get()));
    if (!it) return -1;
    PyObject* dict = PyModule_GetDict(m);
    while (ptr name{PyIter_Next(it.get())}) {
        if (!PyUnicode_Check(name.get())) {
            PyErr_Format(PyExc_TypeError, "Item in %s.__all__ must be str, not %.100s", from,
                         Py_TYPE(name.get())->tp_name);
            return -1;
        }
        ptr value(PyObject_GetAttr(src.get(), name.get()));
        if (!value || PyDict_SetItem(dict, name.get(), value.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Binds in module `m`, as its body would: `from module import name [as as]`,
// or `import name [as as]` when `module` is NULL.
inline int bind_import(PyObject* m, const char* module, const char* name,
                       const char* as = nullptr) {
    ptr v(module ? import_attr(module, name) : PyImport_ImportModule(name));
    if (!v) return -1;
    return PyModule_AddObjectRef(m, as ? as : name, v.get());
}

// The bindings of a module body, in order, as one table:
//   rn::bind_imports(m, {{nullptr, "numpy", "np"}, {"threading", "Lock"}})
// is `import numpy as np` then `from threading import Lock`.
struct Import {
    const char* module;  // NULL for `import name`
    const char* name;
    const char* as = nullptr;
};

inline int bind_imports(PyObject* m, std::initializer_list<Import> imports) {
    for (const Import& i : imports)
        if (bind_import(m, i.module, i.name, i.as) < 0) return -1;
    return 0;
}

}  // namespace rn
