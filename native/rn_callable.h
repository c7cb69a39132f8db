// Function-like objects of our own type: what a module returns where the
// Python it stands for returns a def (a closure, a decorator, a function
// that carries attributes).  Included through rn.h.
//
// One type per module, made at import by function_type(); each object is
// made by new_function() from a FunctionKind, which names its body and the
// rn::Signature that states everything else:
//
//   const rn::Signature decorator_sig("response_route.<locals>.decorator",
//       "func", "Register func ...");
//   PyObject* decorator_call(PyObject* self, PyObject* const* args,
//                            size_t nargsf, PyObject* kwnames) {
//       PyObject* url = rn::cells(self)[0];  ...
//   const rn::FunctionKind decorator_kind{decorator_sig, decorator_call,
//                                         rn::BINDS};
//   rn::new_function(g_function_type, decorator_kind, {url, phase});
//
// From the signature: __qualname__ (its name), __name__ (the last part of
// it), __doc__ (its docstring, None when it gives none) and __signature__;
// __module__ is the module's name.  As on a def: __name__ and __qualname__
// take only str, __module__ and __doc__ anything, other attributes go to
// the object's __dict__ (a __signature__ stored there is shown instead of
// the stated one), the repr is "<function qualname at 0x...>", and copy and
// pickle take it by its qualified name.  The body is the vectorcall itself;
// the object's state is a few cells, references it holds for its life.
#pragma once

#include "rn_signature.h"

namespace rn {

// How a kind of function acts as a class attribute: BINDS gives a bound
// method through an instance, as a def does; STAYS gives itself, as a
// builtin function does.
enum FunctionBinding : bool { STAYS = false, BINDS = true };

struct FunctionKind {
    const Signature& sig;
    vectorcallfunc call;
    FunctionBinding binding;
    // __name__, __qualname__, __doc__ and __module__ of its objects, made
    // with the first one and shared by all.
    mutable PyObject* made[4] = {nullptr, nullptr, nullptr, nullptr};
};

inline constexpr int kFunctionCells = 7;

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* dict;
    PyObject* weakrefs;
    const Signature* sig;
    bool binds;
    PyObject* cells[kFunctionCells];  // NULL where unused
};

// The state of a function object: its cells, in the order given to
// new_function().
inline PyObject** cells(PyObject* self) { return reinterpret_cast<FunctionObject*>(self)->cells; }

namespace function_detail {

inline FunctionObject* as_fn(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

inline int traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_fn(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    for (PyObject* c : f->cells) Py_VISIT(c);
    return 0;
}

inline int clear(PyObject* self) {
    FunctionObject* f = as_fn(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    for (PyObject*& c : f->cells) Py_CLEAR(c);
    return 0;
}

inline PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None || !as_fn(self)->binds) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

// Copied and pickled as the name it is found under, as a def is.
inline PyObject* reduce(PyObject* self, PyObject*) { return Py_NewRef(as_fn(self)->qualname); }

template <PyObject* FunctionObject::*Field>
PyObject* get_text(PyObject* self, void*) {
    return Py_NewRef(as_fn(self)->*Field);
}

template <PyObject* FunctionObject::*Field>
int set_text(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                     Field == &FunctionObject::name ? "__name__" : "__qualname__");
        return -1;
    }
    Py_SETREF(as_fn(self)->*Field, Py_NewRef(value));
    return 0;
}

// The __signature__ stored in the instance dict, else the stated one.
inline PyObject* get_signature(PyObject* self, void*) {
    if (PyObject* d = as_fn(self)->dict) {
        ptr held(d, true);  // a key's __eq__ may give the object another dict
        if (PyObject* v = PyDict_GetItemWithError(d, RN_ID(__signature__))) return Py_NewRef(v);
        if (PyErr_Occurred()) return nullptr;
    }
    return as_fn(self)->sig->inspected();
}

inline int set_signature(PyObject* self, PyObject* value, void*) {
    ptr d(PyObject_GenericGetDict(self, nullptr));
    if (!d) return -1;
    if (value) return PyDict_SetItem(d.get(), RN_ID(__signature__), value);
    if (PyDict_DelItem(d.get(), RN_ID(__signature__)) == 0) return 0;
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_AttributeError, "__signature__");
    }
    return -1;
}

inline PyGetSetDef getset[] = {
    {"__name__", get_text<&FunctionObject::name>, set_text<&FunctionObject::name>, nullptr,
     nullptr},
    {"__qualname__", get_text<&FunctionObject::qualname>, set_text<&FunctionObject::qualname>,
     nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

inline PyMemberDef members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

inline PyMethodDef methods[] = {{"__reduce__", reduce, METH_NOARGS, nullptr}, {}};

inline PyType_Slot slots[] = {{Py_tp_call, (void*)PyVectorcall_Call},
                              {Py_tp_descr_get, (void*)descr_get},
                              {Py_tp_repr, (void*)repr},
                              {Py_tp_traverse, (void*)traverse},
                              {Py_tp_clear, (void*)clear},
                              {Py_tp_dealloc, (void*)gc_dealloc<clear>},
                              {Py_tp_getset, getset},
                              {Py_tp_members, members},
                              {Py_tp_methods, methods},
                              {0, nullptr}};

}  // namespace function_detail

// The function type of `module`, named `name` ("ravu.utils.lock.function").
// New reference.  Objects that do not bind share it with those that do, so
// it does not claim the method-descriptor call protocol: through a class,
// a binding object is bound by its __get__ at each call.
inline PyTypeObject* function_type(PyObject* module, const char* name) {
    PyType_Spec spec = {name, sizeof(FunctionObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_DISALLOW_INSTANTIATION,
                        function_detail::slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

// A new function of `kind`, of the module's function type, holding `state`
// (borrowed; NULL entries stay empty) in its cells.
inline PyObject* new_function(PyTypeObject* type, const FunctionKind& kind,
                              std::initializer_list<PyObject*> state = {}) {
    if (state.size() > kFunctionCells)
        return raise(PyExc_SystemError, "%s: more state than cells", kind.sig.name());
    PyObject** made = kind.made;
    if (!made[3]) {
        const char* qualname = kind.sig.name();
        const char* dot = std::strrchr(qualname, '.');
        const char* body = kind.sig.doc_body();
        PyObject* module = PyType_GetModule(type);
        if (!module) return nullptr;
        ptr name(PyUnicode_InternFromString(dot ? dot + 1 : qualname));
        ptr qual(name ? PyUnicode_InternFromString(qualname) : nullptr);
        ptr doc(body ? PyUnicode_FromString(body) : Py_NewRef(Py_None));
        ptr module_name(doc && qual ? PyModule_GetNameObject(module) : nullptr);
        if (!module_name) return nullptr;
        made[0] = name.release();
        made[1] = qual.release();
        made[2] = doc.release();
        made[3] = module_name.release();
    }
    FunctionObject* f = PyObject_GC_New(FunctionObject, type);
    if (!f) return nullptr;
    f->vectorcall = kind.call;
    f->name = Py_NewRef(made[0]);
    f->qualname = Py_NewRef(made[1]);
    f->doc = Py_NewRef(made[2]);
    f->module = Py_NewRef(made[3]);
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->sig = &kind.sig;
    f->binds = kind.binding == BINDS;
    int i = 0;
    for (PyObject*& c : f->cells) c = nullptr;
    for (PyObject* v : state) f->cells[i++] = Py_XNewRef(v);
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace rn
