// Test-only module: functions with the signatures of tests/test_native.py
// parsed by rn::Signature; each returns what it bound, so the tests can
// compare binding and errors with the same `def` in Python.
#include "rn.h"

namespace {

// Binding result as (params tuple with None for missing, args, kwargs).
PyObject* bound(const rn::Signature& sig, PyObject** out, rn::ptr* star, rn::ptr* starstar) {
    rn::ptr t(PyTuple_New(sig.size()));
    if (!t) return nullptr;
    for (Py_ssize_t i = 0; i < sig.size(); ++i) {
        PyObject* v = out[i] ? out[i] : Py_None;
        Py_INCREF(v);
        PyTuple_SET_ITEM(t.get(), i, v);
    }
    PyObject* a = star && *star ? star->get() : Py_None;
    PyObject* k = starstar && *starstar ? starstar->get() : Py_None;
    return Py_BuildValue("(OOO)", t.get(), a, k);
}

// def f(a, b, /, c, d=None, *, e, g=None)
const rn::Signature f_sig("f", "a, b, /, c, d=None, *, e, g=None", "Mixed kinds.");
PyObject* mixed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* out[6];
    if (!f_sig.parse(args, nargs, kwnames, out)) return nullptr;
    return bound(f_sig, out, nullptr, nullptr);
}

// def h(x, /)
const rn::Signature h_sig("h", "x, /", "One positional-only parameter.");
PyObject* single(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* x = h_sig.single(args, nargs, kwnames);
    return x ? Py_NewRef(x) : nullptr;
}

// def v(a, b=None, *args, **kwargs)
const rn::Signature v_sig("v", "a, b=None, *args, **kwargs", "Extra arguments.");
PyObject* varargs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* out[2];
    rn::ptr star, starstar;
    if (!v_sig.parse(args, nargs, kwnames, out, &star, &starstar)) return nullptr;
    return bound(v_sig, out, &star, &starstar);
}

// def w(p, /, **kwargs): a positional-only name may come back as a keyword
const rn::Signature w_sig("w", "p, /, **kwargs", "Keywords beside a positional-only name.");
PyObject* posonly_kwargs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* out[1];
    rn::ptr starstar;
    if (!w_sig.parse(args, nargs, kwnames, out, nullptr, &starstar)) return nullptr;
    return bound(w_sig, out, nullptr, &starstar);
}

// class C: def m(self, x, y=None) -- messages count self
const rn::Signature m_sig("C.m", "x, y=None", "A method.", rn::METHOD);
PyObject* method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* out[2];
    if (!m_sig.parse(args, nargs, kwnames, out)) return nullptr;
    return bound(m_sig, out, nullptr, nullptr);
}

// global_of(name): the module global `name`, looked up now
PyObject* global_of(PyObject* module, PyObject* name) { return rn::global(module, name); }

// finally_raises(cleanup): raise KeyError, then run cleanup() as a
// `finally` would; shows that SavedError chains like the interpreter.
PyObject* finally_raises(PyObject*, PyObject* cleanup) {
    PyErr_SetString(PyExc_KeyError, "first");
    {
        rn::SavedError saved;
        rn::ptr r(PyObject_CallNoArgs(cleanup));
    }
    return nullptr;
}

// run_script(retry, digest, run, load): rn::run_script with the Python
// callables run(digest) and load(); retry is the ScriptRetry's position
// (lost, reload any, rerun any), a digest of None loads first.
PyObject* run_script(PyObject*, PyObject* args) {
    int retry;
    PyObject *digest, *run, *load;
    if (!PyArg_ParseTuple(args, "iOOO", &retry, &digest, &run, &load)) return nullptr;
    return rn::run_script(
        digest == Py_None ? nullptr : digest, static_cast<rn::ScriptRetry>(retry),
        [&](PyObject* d) { return PyObject_CallOneArg(run, d); },
        [&] { return PyObject_CallNoArgs(load); });
}

// The same signatures stated once, as text: parsing, defaults and the
// text signature all come from it.
const rn::Signature f2_sig("f2", "a, b, /, c, d=None, *, e, g=-1.5", "Mixed kinds.");
PyObject* f2(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* out[6];
    if (!f2_sig.parse(args, nargs, kwnames, out)) return nullptr;
    return bound(f2_sig, out, nullptr, nullptr);
}

const rn::Signature v2_sig("v2", "a, b='x, y', *args, **kwargs", "Varargs.");
PyObject* v2(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* out[2];
    rn::ptr star, starstar;
    if (!v2_sig.parse(args, nargs, kwnames, out, &star, &starstar)) return nullptr;
    return bound(v2_sig, out, &star, &starstar);
}

const rn::Signature m2_sig("C.m2", "x, y=3", "A method.", rn::METHOD);
PyObject* m2(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* out[2];
    if (!m2_sig.parse(args, nargs, kwnames, out)) return nullptr;
    return bound(m2_sig, out, nullptr, nullptr);
}

const rn::Signature n_sig("n", "", "No parameters.");
PyObject* n_impl(PyObject*) { return PyUnicode_FromString("called"); }

PyMethodDef methods[] = {
    f2_sig.def(f2),
    v2_sig.def(v2),
    m2_sig.def(m2),
    n_sig.def(rn::noargs<n_sig, n_impl>),
    f_sig.def(mixed),
    h_sig.def(single),
    v_sig.def(varargs),
    w_sig.def(posonly_kwargs),
    m_sig.def(method),
    {"global_of", global_of, METH_O, nullptr},
    {"finally_raises", finally_raises, METH_O, nullptr},
    {"run_script", run_script, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "_native_probe", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit__native_probe() {
    PyObject* m = PyModule_Create(&moduledef);
    if (m && rn::set_all(m, {"f", "h"}) < 0) Py_CLEAR(m);
    return m;
}
