// ravu.utils.lock: calls serialised through a plain lock taken with a
// time-out.  The wrapper is a small callable type of our own that behaves
// like the closure `decorator(*args, **kwargs)` would, function binding
// included, at a fraction of its per-call cost.
#include "rn.h"

namespace {

// The module's state, made once at import.
struct State {
    PyObject* module;                   // this module, for globals at call time
    PyTypeObject* lock_type;            // type(threading.Lock())
    PyObject* try_args;                 // (False,): acquire without waiting
    PyObject* timeout_kwnames;          // ("timeout",)
    PyTypeObject* wrapper_type;
    PyTypeObject* decorator_func_type;
};
State st;

// ---------------------------------------------------------------- wrapper

struct Wrapper {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* func;
    PyObject* timeout;
    PyObject* mutex;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* dict;
    PyObject* weakrefs;
    // For an exact threading.Lock, whose type is immutable so that
    // mutex.acquire and mutex.release are the same methods at every call:
    // those bound methods, and (True, timeout), acquire's arguments by
    // position; all NULL for any other mutex.  Called with argument tuples
    // made once, they run with no argument tuple or keyword dict per call.
    PyObject* acquire;
    PyObject* release;
    PyObject* wait_args;
    // An exact threading.Lock with a time-out its acquire accepts: a
    // non-blocking try first is then indistinguishable from the full call.
    bool try_first;
};

// Whether `timeout` is a value that Lock.acquire(timeout=...) accepts
// without error, so that skipping it on the fast path hides nothing.
bool plain_timeout(PyObject* timeout) {
    double t;
    if (PyLong_CheckExact(timeout)) {
        t = PyLong_AsDouble(timeout);
        if (t == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    } else if (PyFloat_CheckExact(timeout)) {
        t = PyFloat_AS_DOUBLE(timeout);
    } else {
        return false;
    }
    return (t >= 0 && t <= 1e6) || t == -1.0;
}

// The time-out exception: Exception(func.__name__ + " acquire timeout").
PyObject* raise_timeout(PyObject* func) {
    rn::ptr name(PyObject_GetAttr(func, RN_ID(__name__)));
    if (!name) return nullptr;
    rn::ptr msg(PyNumber_Add(name.get(), RN_STR(" acquire timeout")));
    if (!msg) return nullptr;
    return rn::raise_obj(PyExc_Exception, msg.get());
}

// mutex.acquire(timeout=timeout) taken for its truth value: 1, 0 or -1.
int acquire(Wrapper* w) {
    if (w->acquire) {
        if (w->try_first) {
            // On a free lock acquire(False) does what the full call does.
            rn::ptr r(PyObject_Call(w->acquire, st.try_args, nullptr));
            if (!r) return -1;
            if (r.get() == Py_True) return 1;
        }
        // acquire(True, timeout) is acquire(timeout=timeout); the lock
        // releases the GIL while it waits.
        rn::ptr r(PyObject_Call(w->acquire, w->wait_args, nullptr));
        return r ? PyObject_IsTrue(r.get()) : -1;
    }
    PyObject* a[2] = {w->mutex, w->timeout};
    rn::ptr r(PyObject_VectorcallMethod(RN_ID(acquire), a, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        st.timeout_kwnames));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

PyObject* release(Wrapper* w) {
    if (w->release) return PyObject_CallNoArgs(w->release);
    return PyObject_CallMethodNoArgs(w->mutex, RN_ID(release));
}

PyObject* wrapper_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) {
    Wrapper* w = reinterpret_cast<Wrapper*>(self);
    // Hold our references: the callable may drop the last outside one.
    rn::ptr func(w->func, true), mutex(w->mutex, true);
    const int got = acquire(w);
    if (got < 0) return nullptr;
    if (!got) return raise_timeout(func.get());
    rn::ptr result(PyObject_Vectorcall(func.get(), args, nargsf, kwnames));
    rn::SavedError saved;  // the callable's exception, if any, for after release
    rn::ptr released(release(w));
    if (!released) return nullptr;  // release's error wins, chained
    return result.release();
}

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Wrapper* w = reinterpret_cast<Wrapper*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(w->func);
    Py_VISIT(w->timeout);
    Py_VISIT(w->mutex);
    Py_VISIT(w->name);
    Py_VISIT(w->qualname);
    Py_VISIT(w->module);
    Py_VISIT(w->doc);
    Py_VISIT(w->dict);
    Py_VISIT(w->acquire);
    Py_VISIT(w->release);
    Py_VISIT(w->wait_args);
    return 0;
}

int wrapper_clear(PyObject* self) {
    Wrapper* w = reinterpret_cast<Wrapper*>(self);
    Py_CLEAR(w->func);
    Py_CLEAR(w->timeout);
    Py_CLEAR(w->mutex);
    Py_CLEAR(w->name);
    Py_CLEAR(w->qualname);
    Py_CLEAR(w->module);
    Py_CLEAR(w->doc);
    Py_CLEAR(w->dict);
    Py_CLEAR(w->acquire);
    Py_CLEAR(w->release);
    Py_CLEAR(w->wait_args);
    return 0;
}

// Binds like a function: through an instance it becomes a bound method.
PyObject* wrapper_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

// The wrapper takes any arguments and passes them on, so inspect.signature()
// shows `(*args, **kwargs)`; a signature assigned to the wrapper (as the
// capture module does for create_cap) is kept in its __dict__ and shown
// instead, as on a function.
const rn::Signature wrapper_sig("decorator", "*args, **kwargs", nullptr);

PyObject* wrapper_signature(PyObject* self, void* closure) {
    if (PyObject* d = reinterpret_cast<Wrapper*>(self)->dict) {
        rn::ptr hold(d, true);  // a key's __eq__ may give the wrapper another dict
        if (PyObject* v = PyDict_GetItemWithError(d, RN_ID(__signature__))) return Py_NewRef(v);
        if (PyErr_Occurred()) return nullptr;
    }
    return rn::signature_getter<wrapper_sig>(self, closure);
}

int wrapper_set_signature(PyObject* self, PyObject* value, void*) {
    rn::ptr d(PyObject_GenericGetDict(self, nullptr));
    if (!d) return -1;
    if (value) return PyDict_SetItem(d.get(), RN_ID(__signature__), value);
    if (PyDict_DelItem(d.get(), RN_ID(__signature__)) == 0) return 0;
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_AttributeError, "__signature__");
    }
    return -1;
}

PyObject* wrapper_repr(PyObject* self) {
    Wrapper* w = reinterpret_cast<Wrapper*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", w->qualname, self);
}

// __name__ and __qualname__ accept only str, as on functions.
template <PyObject* Wrapper::*Field>
int set_text(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                     Field == &Wrapper::name ? "__name__" : "__qualname__");
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(reinterpret_cast<Wrapper*>(self)->*Field, value);
    return 0;
}

template <PyObject* Wrapper::*Field>
PyObject* get_field(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<Wrapper*>(self)->*Field;
    Py_INCREF(v);
    return v;
}

PyGetSetDef wrapper_getset[] = {
    {"__name__", get_field<&Wrapper::name>, set_text<&Wrapper::name>, nullptr, nullptr},
    {"__qualname__", get_field<&Wrapper::qualname>, set_text<&Wrapper::qualname>, nullptr,
     nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", wrapper_signature, wrapper_set_signature, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef wrapper_members[] = {
    {"__module__", T_OBJECT, offsetof(Wrapper, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Wrapper, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Wrapper, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Wrapper, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Wrapper, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot wrapper_slots[] = {
    {Py_tp_call, (void*)PyVectorcall_Call},
    {Py_tp_descr_get, (void*)wrapper_descr_get},
    {Py_tp_repr, (void*)wrapper_repr},
    {Py_tp_traverse, (void*)wrapper_traverse},
    {Py_tp_clear, (void*)wrapper_clear},
    {Py_tp_dealloc, (void*)rn::gc_dealloc<wrapper_clear>},
    {Py_tp_getset, wrapper_getset},
    {Py_tp_members, wrapper_members},
    {0, nullptr}};

PyType_Spec wrapper_spec = {
    "ravu.utils.lock.locked_function", sizeof(Wrapper), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_METHOD_DESCRIPTOR,
    wrapper_slots};

PyObject* new_wrapper(PyObject* func, PyObject* timeout, PyObject* mutex) {
    Wrapper* w = PyObject_GC_New(Wrapper, st.wrapper_type);
    if (!w) return nullptr;
    w->vectorcall = wrapper_vectorcall;
    w->func = rn::ptr(func, true).release();
    w->timeout = rn::ptr(timeout, true).release();
    w->mutex = rn::ptr(mutex, true).release();
    w->name = rn::ptr(RN_STR("decorator"), true).release();
    w->qualname = rn::ptr(RN_STR("get_new_func.<locals>.decorator"), true).release();
    w->module = rn::ptr(RN_STR("ravu.utils.lock"), true).release();
    w->doc = rn::ptr(Py_None, true).release();
    w->dict = nullptr;
    w->weakrefs = nullptr;
    w->acquire = w->release = w->wait_args = nullptr;
    w->try_first = plain_timeout(timeout);
    PyObject_GC_Track(w);
    rn::ptr made(reinterpret_cast<PyObject*>(w));
    if (Py_IS_TYPE(mutex, st.lock_type)) {
        w->acquire = PyObject_GetAttr(mutex, RN_ID(acquire));
        w->release = PyObject_GetAttr(mutex, RN_ID(release));
        w->wait_args = PyTuple_Pack(2, Py_True, timeout);
        if (!w->acquire || !w->release || !w->wait_args) return nullptr;
    }
    return made.release();
}

// ---------------------------------------------------------------- decorator_func

struct DecoratorFunc {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* mutex;
    PyObject* timeout;
};

PyObject* call_global(PyObject* name, PyObject* const* args, size_t nargs) {
    rn::ptr fn(rn::global(st.module, name));
    if (!fn) return nullptr;
    return PyObject_Vectorcall(fn.get(), args, nargs, nullptr);
}

const rn::Signature decorator_func_sig(
    "lock_func.<locals>.decorator_func", "func, /",
    "Give func its lock and return the locked wrapper of func.\n\n"
    "The lock (the one given to lock_func, else a new threading.Lock) is stored\n"
    "as func.mutex and read back from there; the wrapper itself copies nothing\n"
    "from func (its __name__ is 'decorator', its __doc__ None).");

// Gives func its lock in func.mutex, then wraps it with the lock read back
// from that attribute.
PyObject* decorator_func_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                    PyObject* kwnames) {
    PyObject* func = decorator_func_sig.single(args, nargsf, kwnames);
    if (!func) return nullptr;
    DecoratorFunc* d = reinterpret_cast<DecoratorFunc*>(self);
    rn::ptr lock;
    if (d->mutex == Py_None) {
        rn::ptr threading(rn::global(st.module, RN_ID(threading)));
        if (!threading) return nullptr;
        rn::ptr factory(PyObject_GetAttr(threading.get(), RN_ID(Lock)));
        if (!factory) return nullptr;
        lock = PyObject_CallNoArgs(factory.get());
    } else {
        lock.set(d->mutex, true);
    }
    if (!lock || PyObject_SetAttr(func, RN_ID(mutex), lock.get()) < 0) return nullptr;
    rn::ptr stored(PyObject_GetAttr(func, RN_ID(mutex)));
    if (!stored) return nullptr;
    PyObject* a[3] = {func, d->timeout, stored.get()};
    return call_global(RN_ID(get_new_func), a, 3);
}

int decorator_func_traverse(PyObject* self, visitproc visit, void* arg) {
    DecoratorFunc* d = reinterpret_cast<DecoratorFunc*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(d->mutex);
    Py_VISIT(d->timeout);
    return 0;
}

int decorator_func_clear(PyObject* self) {
    DecoratorFunc* d = reinterpret_cast<DecoratorFunc*>(self);
    Py_CLEAR(d->mutex);
    Py_CLEAR(d->timeout);
    return 0;
}

PyObject* decorator_func_name(PyObject*, void*) { return Py_NewRef(RN_STR("decorator_func")); }
PyObject* decorator_func_qualname(PyObject*, void*) {
    return Py_NewRef(RN_STR("lock_func.<locals>.decorator_func"));
}
PyObject* decorator_func_module(PyObject*, void*) { return Py_NewRef(RN_STR("ravu.utils.lock")); }

PyGetSetDef decorator_func_getset[] = {
    {"__name__", decorator_func_name, nullptr, nullptr, nullptr},
    {"__qualname__", decorator_func_qualname, nullptr, nullptr, nullptr},
    {"__module__", decorator_func_module, nullptr, nullptr, nullptr},
    {"__signature__", rn::signature_getter<decorator_func_sig>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef decorator_func_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(DecoratorFunc, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot decorator_func_slots[] = {
    {Py_tp_doc, (void*)decorator_func_sig.doc()},
    {Py_tp_call, (void*)PyVectorcall_Call},
    {Py_tp_traverse, (void*)decorator_func_traverse},
    {Py_tp_clear, (void*)decorator_func_clear},
    {Py_tp_dealloc, (void*)rn::gc_dealloc<decorator_func_clear>},
    {Py_tp_getset, decorator_func_getset},
    {Py_tp_members, decorator_func_members},
    {0, nullptr}};

PyType_Spec decorator_func_spec = {
    "ravu.utils.lock.decorator_func", sizeof(DecoratorFunc), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    decorator_func_slots};

// ---------------------------------------------------------------- functions

const rn::Signature get_new_func_sig(
    "get_new_func", "func, timeout, mutex",
    "Return a wrapper that calls func while holding mutex.\n\n"
    "Each call takes mutex.acquire(timeout=timeout), calls func with the\n"
    "call's arguments, and releases the lock even when func raises.  When the\n"
    "lock is not had in time, raises Exception(func.__name__ + ' acquire\n"
    "timeout') and func is not called.  The wrapper binds to instances like a\n"
    "function; its __name__ is 'decorator' and its __doc__ None.");

PyObject* get_new_func(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!get_new_func_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return new_wrapper(a[0], a[1], a[2]);
}

const rn::Signature lock_func_sig(
    "lock_func", "mutex=None, timeout=3",
    "Decorator factory: serialise every call of a function through one lock.\n\n"
    "    @lock_func()\n"
    "    def f(...): ...\n\n"
    "mutex: the lock to share (anything with acquire(timeout=) and release());\n"
    "  None gives each decorated function a new threading.Lock, stored as\n"
    "  f.mutex.\n"
    "timeout: seconds to wait for the lock; a call that waits longer raises\n"
    "  Exception('<name> acquire timeout') without calling the function.\n"
    "The lock is not re-entrant: a locked call that reaches another call under\n"
    "the same lock waits out the time-out and raises.");

PyObject* lock_func(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!lock_func_sig.parse(args, nargs, kwnames, a)) return nullptr;
    DecoratorFunc* d = PyObject_GC_New(DecoratorFunc, st.decorator_func_type);
    if (!d) return nullptr;
    d->vectorcall = decorator_func_vectorcall;
    d->mutex = Py_NewRef(a[0]);
    d->timeout = Py_NewRef(a[1]);
    PyObject_GC_Track(d);
    return reinterpret_cast<PyObject*>(d);
}

const rn::Signature lock_class_func_sig(
    "lock_class_func", "instance, func, mutex_name='', timeout=3",
    "Lock one method of one object: instance.<func.__name__> becomes a wrapper\n"
    "that calls func under the object's lock.\n\n"
    "The lock is the attribute '_mutex_' + mutex_name of instance (also found\n"
    "on its class), made as a threading.Lock when missing, so every method\n"
    "locked with the same mutex_name shares it.  Other objects and calls\n"
    "through the class are not affected.  A call that waits more than timeout\n"
    "seconds raises Exception('<name> acquire timeout').  Returns None.");

PyObject* lock_class_func(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!lock_class_func_sig.parse(args, nargs, kwnames, a)) return nullptr;
    PyObject *instance = a[0], *func = a[1], *timeout = a[3];
    rn::ptr name(PyNumber_Add(RN_STR("_mutex_"), a[2]));
    if (!name) return nullptr;

    // dir() sees the class too, so a class attribute is every instance's lock.
    rn::ptr names(PyObject_Dir(instance));
    if (!names) return nullptr;
    const int known = PySequence_Contains(names.get(), name.get());
    if (known < 0) return nullptr;
    rn::ptr lock;
    if (known) {
        lock = PyObject_CallMethodOneArg(instance, RN_ID(__getattribute__), name.get());
        if (!lock) return nullptr;
    } else {
        rn::ptr threading(rn::global(st.module, RN_ID(threading)));
        if (!threading) return nullptr;
        rn::ptr factory(PyObject_GetAttr(threading.get(), RN_ID(Lock)));
        if (!factory) return nullptr;
        lock = PyObject_CallNoArgs(factory.get());
        if (!lock) return nullptr;
        rn::ptr r(PyObject_CallMethodObjArgs(instance, RN_ID(__setattr__), name.get(), lock.get(),
                                             nullptr));
        if (!r) return nullptr;
    }
    PyObject* g[3] = {func, timeout, lock.get()};
    rn::ptr wrapper(call_global(RN_ID(get_new_func), g, 3));
    if (!wrapper) return nullptr;
    PyObject* method_name = PyObject_GetAttr(func, RN_ID(__name__));
    if (!method_name) return nullptr;
    // Interned like the names in code, so that obj.put finds the wrapper in
    // the instance dict by identity instead of comparing texts.
    if (PyUnicode_CheckExact(method_name)) PyUnicode_InternInPlace(&method_name);
    rn::ptr name_ref(method_name);
    rn::ptr r(PyObject_CallMethodObjArgs(instance, RN_ID(__setattr__), method_name,
                                         wrapper.get(), nullptr));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {get_new_func_sig.def(get_new_func), lock_func_sig.def(lock_func),
                         lock_class_func_sig.def(lock_class_func), {}};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "ravu.utils.lock",
    "Serialise calls through plain locks taken with a time-out.\n\n"
    "lock_func(mutex=None, timeout=3) -- decorator: one lock per function (or the\n"
    "    lock given), taken around every call.\n"
    "lock_class_func(instance, func, mutex_name='', timeout=3) -- lock one method\n"
    "    of one object with the object's lock '_mutex_' + mutex_name.\n"
    "get_new_func(func, timeout, mutex) -- the wrapper both use: calls func\n"
    "    under mutex (outside __all__).\n\n"
    "A call that cannot take its lock within timeout seconds raises\n"
    "Exception('<function name> acquire timeout') and the function is not\n"
    "called.  The locks are plain, not re-entrant.",
    -1, methods};

int init(PyObject* m) {
    rn::ptr threading(PyImport_ImportModule("threading"));
    if (!threading || PyModule_AddObjectRef(m, "threading", threading.get()) < 0) return -1;
    rn::ptr probe(PyObject_CallMethod(threading.get(), "Lock", nullptr));
    if (!probe) return -1;
    st.lock_type = Py_TYPE(probe.get());
    Py_INCREF(st.lock_type);
    st.try_args = PyTuple_Pack(1, Py_False);
    st.timeout_kwnames = Py_BuildValue("(s)", "timeout");
    if (!st.try_args || !st.timeout_kwnames) return -1;
    st.wrapper_type = (PyTypeObject*)PyType_FromModuleAndSpec(m, &wrapper_spec, nullptr);
    st.decorator_func_type =
        (PyTypeObject*)PyType_FromModuleAndSpec(m, &decorator_func_spec, nullptr);
    if (!st.wrapper_type || !st.decorator_func_type) return -1;
    return rn::set_all(m, {"lock_class_func", "lock_func"});
}

}  // namespace

PyMODINIT_FUNC PyInit_lock() { return rn::create_module(&moduledef, init, &st.module); }
