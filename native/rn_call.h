// Module globals looked up at call time, as the body of a Python function
// looks them up at every call, and calls of them: `print(x)`,
// `os.path.join(a, b)`, `np.array(x)`.  Included through rn.h.
//
//   rn::ptr f(rn::global(m, RN_ID(print)));                 // print
//   rn::ptr j(rn::global(m, {RN_ID(os), RN_ID(path)}));       // os.path
//   rn::ptr r(rn::call_global(m, {RN_ID(os), RN_ID(path), RN_ID(join)}, a, b));
//
// Each step is the interpreter's own: the global from the module dict,
// then builtins, NameError like the interpreter's when both lack it; each
// attribute through the full attribute protocol.  Nothing is cached, so
// rebinding a global or patching an attribute takes effect at the next
// call.
#pragma once

#include "rn_base.h"

namespace rn {

// Module global `name` looked up now, falling back to builtins as Python
// code does; NameError like the interpreter's when missing.  New reference.
inline PyObject* global(PyObject* module, PyObject* name) {
    // A module's dict is its own for life: no key's __eq__ can free it.
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (!v) {
        if (PyErr_Occurred()) return nullptr;
        v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
        if (!v) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            return nullptr;
        }
    }
    return Py_NewRef(v);
}

// `a.b.c` with the global `a` looked up now and each attribute read in
// turn: {RN_ID(os), RN_ID(path)} is os.path.  New reference.
inline PyObject* global(PyObject* module, std::initializer_list<PyObject*> dotted) {
    auto name = dotted.begin();
    ptr v(global(module, *name));
    while (v && ++name != dotted.end()) v = PyObject_GetAttr(v.get(), *name);
    return v.release();
}

// f(args...) with positional arguments, all borrowed.  New reference.
template <typename... A>
PyObject* call(PyObject* f, A... args) {
    // Slot 0 is free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* argv[] = {nullptr, args...};
    return PyObject_Vectorcall(f, argv + 1, sizeof...(args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               nullptr);
}

// f(*args) for arguments gathered in a list: rn::call(f, {a, b}).
inline PyObject* call(PyObject* f, std::initializer_list<PyObject*> args) {
    return PyObject_Vectorcall(f, const_cast<PyObject**>(args.begin()), args.size(), nullptr);
}

// The global (or dotted name) looked up now and called with `args`.
template <typename... A>
PyObject* call_global(PyObject* module, PyObject* name, A... args) {
    ptr f(global(module, name));
    return f ? call(f.get(), args...) : nullptr;
}

template <typename... A>
PyObject* call_global(PyObject* module, std::initializer_list<PyObject*> dotted, A... args) {
    ptr f(global(module, dotted));
    return f ? call(f.get(), args...) : nullptr;
}

}  // namespace rn
