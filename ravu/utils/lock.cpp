// ravu.utils.lock: calls serialised through a plain lock taken with a
// time-out.  The wrapper is a function object of our own (rn_callable.h)
// that behaves like the closure `decorator(*args, **kwargs)` would,
// function binding included, at a fraction of its per-call cost.
#include "rn.h"

namespace {

// The module's state, made once at import.
struct State {
    PyObject* module;                   // this module, for globals at call time
    PyTypeObject* lock_type;            // type(threading.Lock())
    PyObject* try_args;                 // (False,): acquire without waiting
    PyObject* timeout_kwnames;          // ("timeout",)
    PyTypeObject* function_type;
};
State st;

// ---------------------------------------------------------------- wrapper

// The wrapper's cells.  For an exact threading.Lock, whose type is
// immutable so that mutex.acquire and mutex.release are the same methods at
// every call: those bound methods, and (True, timeout), acquire's arguments
// by position; all NULL for any other mutex.  Called with argument tuples
// made once, they run with no argument tuple or keyword dict per call.
// TRY is (False,) when, besides, the time-out is one acquire accepts: a
// non-blocking try first is then indistinguishable from the full call.
// This road pays: a wrapper call over a free threading.Lock takes 77 ns
// here against 230 ns through acquire(timeout=) and release() looked up
// by name (bench/bench_lock_ring.py).
enum WrapperCell { FUNC, TIMEOUT, MUTEX, ACQUIRE, RELEASE, WAIT_ARGS, TRY };

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
int acquire(PyObject** c) {
    if (c[ACQUIRE]) {
        if (c[TRY]) {
            // On a free lock acquire(False) does what the full call does.
            rn::ptr r(PyObject_Call(c[ACQUIRE], c[TRY], nullptr));
            if (!r) return -1;
            if (r.get() == Py_True) return 1;
        }
        // acquire(True, timeout) is acquire(timeout=timeout); the lock
        // releases the GIL while it waits.
        rn::ptr r(PyObject_Call(c[ACQUIRE], c[WAIT_ARGS], nullptr));
        return r ? PyObject_IsTrue(r.get()) : -1;
    }
    PyObject* a[2] = {c[MUTEX], c[TIMEOUT]};
    rn::ptr r(PyObject_VectorcallMethod(RN_ID(acquire), a, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        st.timeout_kwnames));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

PyObject* release(PyObject** c) {
    if (c[RELEASE]) return PyObject_CallNoArgs(c[RELEASE]);
    return PyObject_CallMethodNoArgs(c[MUTEX], RN_ID(release));
}

PyObject* wrapper_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) {
    PyObject** c = rn::cells(self);
    // The wait and the callable both let the interpreter end a daemon
    // thread here at exit, with our references below; one test per call.
    rn::park_at_exit();
    // Hold ourselves: the callable may drop the last outside reference.
    rn::ptr held(self, true);
    const int got = acquire(c);
    if (got < 0) return nullptr;
    if (!got) return raise_timeout(c[FUNC]);
    rn::ptr result(PyObject_Vectorcall(c[FUNC], args, nargsf, kwnames));
    rn::SavedError saved;  // the callable's exception, if any, for after release
    rn::ptr released(release(c));
    if (!released) return nullptr;  // release's error wins, chained
    return result.release();
}

// The wrapper takes any arguments and passes them on, so inspect.signature()
// shows `(*args, **kwargs)`; a signature assigned to the wrapper (as the
// capture module does for create_cap) is kept in its __dict__ and shown
// instead, as on a function.
const rn::Signature wrapper_sig("get_new_func.<locals>.decorator", "*args, **kwargs", nullptr);

const rn::FunctionKind wrapper_kind{wrapper_sig, wrapper_vectorcall, rn::BINDS};

PyObject* new_wrapper(PyObject* func, PyObject* timeout, PyObject* mutex) {
    const bool lock = Py_IS_TYPE(mutex, st.lock_type);
    rn::ptr acquire(lock ? PyObject_GetAttr(mutex, RN_ID(acquire)) : nullptr);
    rn::ptr release(acquire ? PyObject_GetAttr(mutex, RN_ID(release)) : nullptr);
    rn::ptr wait_args(release ? PyTuple_Pack(2, Py_True, timeout) : nullptr);
    if (lock && !wait_args) return nullptr;
    PyObject* try_args = lock && plain_timeout(timeout) ? st.try_args : nullptr;
    return rn::new_function(st.function_type, wrapper_kind,
                            {func, timeout, mutex, acquire.get(), release.get(), wait_args.get(),
                             try_args});
}

// ---------------------------------------------------------------- decorator_func

enum DecoratorFuncCell { D_MUTEX, D_TIMEOUT };

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
    PyObject** d = rn::cells(self);
    rn::ptr lock;
    if (d[D_MUTEX] == Py_None) {
        lock = rn::call_global(st.module, {RN_ID(threading), RN_ID(Lock)});
    } else {
        lock.set(d[D_MUTEX], true);
    }
    if (!lock || PyObject_SetAttr(func, RN_ID(mutex), lock.get()) < 0) return nullptr;
    rn::ptr stored(PyObject_GetAttr(func, RN_ID(mutex)));
    if (!stored) return nullptr;
    return rn::call_global(st.module, RN_ID(get_new_func), func, d[D_TIMEOUT], stored.get());
}

const rn::FunctionKind decorator_func_kind{decorator_func_sig, decorator_func_vectorcall,
                                           rn::STAYS};

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
    return rn::new_function(st.function_type, decorator_func_kind, {a[0], a[1]});
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
        lock = rn::call_global(st.module, {RN_ID(threading), RN_ID(Lock)});
        if (!lock) return nullptr;
        rn::ptr r(PyObject_CallMethodObjArgs(instance, RN_ID(__setattr__), name.get(), lock.get(),
                                             nullptr));
        if (!r) return nullptr;
    }
    rn::ptr wrapper(rn::call_global(st.module, RN_ID(get_new_func), func, timeout, lock.get()));
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
    if (rn::bind_import(m, nullptr, "threading") < 0) return -1;
    rn::ptr probe(rn::call_global(m, {RN_ID(threading), RN_ID(Lock)}));
    if (!probe) return -1;
    st.lock_type = Py_TYPE(probe.get());
    Py_INCREF(st.lock_type);
    st.try_args = PyTuple_Pack(1, Py_False);
    st.timeout_kwnames = Py_BuildValue("(s)", "timeout");
    if (!st.try_args || !st.timeout_kwnames) return -1;
    st.function_type = rn::function_type(m, "ravu.utils.lock.function");
    if (!st.function_type) return -1;
    return rn::set_all(m, {"lock_class_func", "lock_func"});
}

}  // namespace

PyMODINIT_FUNC PyInit_lock() { return rn::create_module(&moduledef, init, &st.module); }
