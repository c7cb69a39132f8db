// The per-process pools of segments (MemArrayOncePool, found by their
// array pool key in a class-wide registry) and MemArrayReuse, the array
// that borrows a pool's segment and gives it back at release.
#include "mem_array.h"

namespace mem_array {
namespace {

// ---------------------------------------------------------------- queue

// The pool's queue is a standard queue.Queue.  For the exact class its
// put and non-blocking take are done here under the queue's own `mutex`,
// with exactly the effects of the methods (deque append / popleft, the
// task count, a notify when someone waits), which keeps lending and
// returning free of interpreter-level calls.
struct QueueParts {
    PyObject* dict;
    PyObject* mutex;
    PyObject* deque;
};

bool queue_parts(PyObject* q, QueueParts* p) {
    if (!Py_IS_TYPE(q, g_queue_type)) return false;
    PyObject** dp = _PyObject_GetDictPtr(q);
    if (!dp || !*dp) return false;
    p->dict = *dp;
    p->mutex = PyDict_GetItemWithError(p->dict, RN_ID(mutex));
    p->deque = PyDict_GetItemWithError(p->dict, RN_ID(queue));
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return p->mutex && p->deque && Py_IS_TYPE(p->mutex, g_lock_type) &&
           Py_IS_TYPE(p->deque, g_deque_type);
}

// cond.notify() unless the condition provably has no waiter.
int notify(PyObject* qdict, PyObject* cond_name) {
    PyObject* cond = PyDict_GetItemWithError(qdict, cond_name);
    if (!cond) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, cond_name);
        return -1;
    }
    if (Py_IS_TYPE(cond, g_condition_type)) {
        PyObject* w = rn::instance_dict_get(cond, RN_ID(_waiters));
        if (w && Py_IS_TYPE(w, g_deque_type) && PyObject_Length(w) == 0) return 0;
    }
    rn::ptr cond_ref(cond, true);
    rn::ptr r(call_method0(cond, RN_ID(notify)));
    return r ? 0 : -1;
}

// q.get_nowait(): 1 with *out set, 0 when empty, -1 on error.
int queue_take(PyObject* q, PyObject** out) {
    QueueParts p;
    if (!queue_parts(q, &p)) {
        rn::ptr v(call_method0(q, RN_ID(get_nowait)));
        if (!v) return -1;
        *out = v.release();
        return 1;
    }
    rn::ptr keep(Py_NewRef(q)), mutex(Py_NewRef(p.mutex)), deque(Py_NewRef(p.deque));
    int rc = 0;
    rn::ptr r(with_lock(p.mutex, [&]() -> PyObject* {
        if (PyObject_Length(deque.get()) == 0) Py_RETURN_NONE;
        PyObject* a[1] = {deque.get()};
        rn::ptr v(PyObject_Vectorcall(g_deque_popleft, a, 1, nullptr));
        if (!v) return nullptr;
        if (notify(p.dict, RN_ID(not_full)) < 0) return nullptr;
        *out = v.release();
        rc = 1;
        Py_RETURN_NONE;
    }));
    if (!r) {
        if (rc == 1) Py_CLEAR(*out);
        return -1;
    }
    return rc;
}

// q.put(item)
int queue_put(PyObject* q, PyObject* v) {
    QueueParts p;
    long long maxsize = 0;
    PyObject* ms = nullptr;
    if (queue_parts(q, &p)) ms = PyDict_GetItemWithError(p.dict, RN_ID(maxsize));
    if (PyErr_Occurred()) return -1;
    if (!ms || !exact_ll(ms, &maxsize) || maxsize != 0) {
        rn::ptr r(PyObject_CallMethodOneArg(q, RN_ID(put), v));
        return r ? 0 : -1;
    }
    rn::ptr keep(Py_NewRef(q)), deque(Py_NewRef(p.deque));
    rn::ptr r(with_lock(p.mutex, [&]() -> PyObject* {
        PyObject* args[2] = {deque.get(), v};
        rn::ptr a(PyObject_Vectorcall(g_deque_append, args, 2, nullptr));
        if (!a) return nullptr;
        rn::ptr n(item(p.dict, RN_ID(unfinished_tasks)));
        if (!n) return nullptr;
        rn::ptr n1(PyNumber_Add(n.get(), one()));
        if (!n1 || PyDict_SetItem(p.dict, RN_ID(unfinished_tasks), n1.get()) < 0) return nullptr;
        if (notify(p.dict, RN_ID(not_empty)) < 0) return nullptr;
        Py_RETURN_NONE;
    }));
    return r ? 0 : -1;
}

// q.qsize()
PyObject* queue_size(PyObject* q) {
    QueueParts p;
    if (!queue_parts(q, &p)) return call_method0(q, RN_ID(qsize));
    rn::ptr keep(Py_NewRef(q)), deque(Py_NewRef(p.deque));
    return with_lock(p.mutex, [&]() -> PyObject* {
        Py_ssize_t n = PyObject_Length(deque.get());
        return n < 0 ? nullptr : PyLong_FromSsize_t(n);
    });
}

// ---------------------------------------------------------------- MemArrayOncePool

PyObject* pool_key_of(PyObject* self) {
    rn::ptr shape(field(self, RN_ID(shape)));
    if (!shape) return nullptr;
    rn::ptr dtype(field(self, RN_ID(dtype)));
    if (!dtype) return nullptr;
    return pool_key(shape.get(), dtype.get());
}

int pool_init_with(PyObject* self, PyObject* shape, PyObject* dtype, PyObject* max_pool_size) {
    if (set_field(self, RN_ID(max_pool_size), max_pool_size) < 0 ||
        set_field(self, RN_ID(shape), shape) < 0 || set_field(self, RN_ID(dtype), dtype) < 0)
        return -1;
    rn::ptr queue_cls(rn::global(g_module, RN_ID(Queue)));
    if (!queue_cls) return -1;
    rn::ptr q(PyObject_CallNoArgs(queue_cls.get()));
    if (!q || set_field(self, RN_ID(pool), q.get()) < 0) return -1;
    rn::ptr zero(PyLong_FromLong(0));
    if (!zero || set_field(self, RN_ID(size), zero.get()) < 0) return -1;
    rn::ptr threading(rn::global(g_module, RN_ID(threading)));
    if (!threading) return -1;
    rn::ptr lock(PyObject_CallMethodNoArgs(threading.get(), RN_ID(Lock)));
    if (!lock || set_field(self, RN_ID(mutex), lock.get()) < 0) return -1;
    return 0;
}

const rn::Signature pool_init_sig(
    "MemArrayOncePool.__init__", "shape, dtype, max_pool_size",
    "A per-process pool of MemArrayOnce arrays of one shape and element type.\n"
    "\n"
    "A pool lends its free arrays (get) and takes them back (push_back); it\n"
    "creates a new array only when none is free, never more than\n"
    "max_pool_size in all (none when that is 0 or negative), and never frees\n"
    "one: its segments live as long as the process.  get() never waits: it\n"
    "refuses with None when nothing is free at that moment.  Fields: shape,\n"
    "dtype, max_pool_size (as first given), pool (the queue.Queue of free\n"
    "arrays), size (arrays created so far), mutex (serialises creation).\n"
    "Pools are found by get_pool(); the constructor creates no array.",
    rn::INIT);

int pool_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    rn::ptr keep;
    if (!pool_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    return pool_init_with(self, a[0], a[1], a[2]);
}

const rn::Signature pool_name_sig(
    "MemArrayOncePool.name", "",
    "The array pool key of the pool's shape and dtype (see MemArray.Name).",
    rn::METHOD);

// self.pool.qsize() == 0
PyObject* pool_is_empty_impl(PyObject* self) {
    rn::ptr q(field(self, RN_ID(pool)));
    if (!q) return nullptr;
    rn::ptr n(queue_size(q.get()));
    if (!n) return nullptr;
    rn::ptr zero(PyLong_FromLong(0));
    if (!zero) return nullptr;
    return PyObject_RichCompare(n.get(), zero.get(), Py_EQ);
}

const rn::Signature is_empty_sig(
    "MemArrayOncePool.is_empty", "",
    "True when no free array is queued at this moment.",
    rn::METHOD);

// self.size >= self.max_pool_size: 1, 0 or -1.
int pool_full(PyObject* self) {
    rn::ptr size(field(self, RN_ID(size)));
    if (!size) return -1;
    rn::ptr limit(field(self, RN_ID(max_pool_size)));
    if (!limit) return -1;
    long long s, m;
    if (exact_ll(size.get(), &s) && exact_ll(limit.get(), &m)) return s >= m;
    if (PyErr_Occurred()) return -1;
    return PyObject_RichCompareBool(size.get(), limit.get(), Py_GE);
}

PyObject* pool_add_impl(PyObject* self) {
    const int full = pool_full(self);  // the common refusal takes no lock
    if (full < 0) return nullptr;
    if (full) Py_RETURN_FALSE;
    rn::ptr mutex(field(self, RN_ID(mutex)));
    if (!mutex) return nullptr;
    return with_lock(mutex.get(), [self]() -> PyObject* {
        const int again = pool_full(self);
        if (again < 0) return nullptr;
        if (again) Py_RETURN_FALSE;
        rn::ptr shape(field(self, RN_ID(shape)));
        if (!shape) return nullptr;
        rn::ptr dtype(field(self, RN_ID(dtype)));
        if (!dtype) return nullptr;
        PyObject* a[2] = {shape.get(), dtype.get()};
        rn::ptr ma(PyObject_Vectorcall((PyObject*)g_once_type, a, 2, nullptr));
        if (!ma) return nullptr;
        rn::ptr q(field(self, RN_ID(pool)));
        if (!q || queue_put(q.get(), ma.get()) < 0) return nullptr;
        rn::ptr size(field(self, RN_ID(size)));
        if (!size) return nullptr;
        rn::ptr size1(PyNumber_Add(size.get(), one()));
        if (!size1 || set_field(self, RN_ID(size), size1.get()) < 0) return nullptr;
        Py_RETURN_TRUE;
    });
}

const rn::Signature add_sig(
    "MemArrayOncePool._add", "",
    "Create one array into the queue if the limit allows; True if it did.\n"
    "\n"
    "False once `size` has reached `max_pool_size`; errors of the segment\n"
    "class propagate and leave `size` unchanged.",
    rn::METHOD);

// The take of get(): the front array, or None when there is none at this
// moment or the take fails in any ordinary way.
PyObject* pool_take(PyObject* q) {
    PyObject* v = nullptr;
    const int rc = queue_take(q, &v);
    if (rc == 1) return v;
    if (rc < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
    }
    Py_RETURN_NONE;
}

// Calls self.<name>() through the type for subclasses, `impl` for ours.
PyObject* pool_call(PyObject* self, PyObject* name, PyObject* (*impl)(PyObject*)) {
    if (Py_IS_TYPE(self, g_pool_type)) return impl(self);
    return call_method0(self, name);
}

PyObject* pool_get_impl(PyObject* self) {
    rn::ptr q;
    QueueParts parts;
    if (Py_IS_TYPE(self, g_pool_type) && (q = field(self, RN_ID(pool))) &&
        queue_parts(q.get(), &parts)) {
        // is_empty() and the take under one hold of the queue's mutex: one
        // of the interleavings the two separate steps allow.
        PyObject* v = nullptr;
        const int rc = queue_take(q.get(), &v);
        if (rc == 1) return v;
        if (rc < 0) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            PyErr_Clear();  // the take's error: nothing free
            Py_RETURN_NONE;
        }
        rn::ptr added(pool_add_impl(self));
        if (!added) return nullptr;
        const int ok = PyObject_IsTrue(added.get());
        if (ok < 0) return nullptr;
        if (!ok) Py_RETURN_NONE;
        q = field(self, RN_ID(pool));
        if (!q) return nullptr;
        return pool_take(q.get());
    }
    if (PyErr_Occurred()) return nullptr;
    rn::ptr empty(pool_call(self, RN_ID(is_empty), pool_is_empty_impl));
    if (!empty) return nullptr;
    const int is_empty = PyObject_IsTrue(empty.get());
    if (is_empty < 0) return nullptr;
    if (is_empty) {
        rn::ptr added(pool_call(self, RN_ID(_add), pool_add_impl));
        if (!added) return nullptr;
        const int ok = PyObject_IsTrue(added.get());
        if (ok < 0) return nullptr;
        if (!ok) Py_RETURN_NONE;
    }
    q = field(self, RN_ID(pool));
    if (!q) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return pool_take(q.get());
}

const rn::Signature get_sig(
    "MemArrayOncePool.get", "",
    "Lend a free array, creating one first when none is queued.\n"
    "\n"
    "Returns a MemArrayOnce, or None when the limit is reached or another\n"
    "thread took the free array first (None means nothing free now).\n"
    "Never waits; free arrays are lent oldest-returned first.",
    rn::METHOD);

PyObject* pool_push_back_impl(PyObject* self, PyObject* ma) {
    rn::ptr q(field(self, RN_ID(pool)));
    if (!q || queue_put(q.get(), ma) < 0) return nullptr;
    Py_RETURN_NONE;
}

const rn::Signature push_back_sig(
    "MemArrayOncePool.push_back", "ma",
    "Put ma at the back of the free queue, unchecked; `size` stays.",
    rn::METHOD);

PyObject* pool_push_back(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    PyObject* a[1];
    if (!push_back_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return pool_push_back_impl(self, a[0]);
}

// registry.get(key): borrowed-free new reference or None.
PyObject* registry_get(PyObject* registry, PyObject* key) {
    if (PyDict_CheckExact(registry)) {
        PyObject* v = PyDict_GetItemWithError(registry, key);
        if (!v && PyErr_Occurred()) return nullptr;
        return Py_NewRef(v ? v : Py_None);
    }
    return PyObject_CallMethodOneArg(registry, RN_ID(get), key);
}

PyObject* get_pool_impl(PyObject* cls, PyObject* shape, PyObject* dtype, PyObject* limit) {
    rn::ptr key(pool_key(shape, dtype));
    if (!key) return nullptr;
    rn::ptr registry(PyObject_GetAttr(cls, RN_ID(_pool_dict)));
    if (!registry) return nullptr;
    rn::ptr found(registry_get(registry.get(), key.get()));  // no lock: the common path
    if (!found) return nullptr;
    if (found.get() != Py_None) return found.release();
    rn::ptr mutex(PyObject_GetAttr(cls, RN_ID(_pool_mutex)));
    if (!mutex) return nullptr;
    return with_lock(mutex.get(), [&]() -> PyObject* {
        rn::ptr again(registry_get(registry.get(), key.get()));
        if (!again) return nullptr;
        if (again.get() != Py_None) return again.release();
        PyObject* a[3] = {shape, dtype, limit};
        rn::ptr pool(PyObject_Vectorcall(cls, a, 3, nullptr));
        if (!pool || PyObject_SetItem(registry.get(), key.get(), pool.get()) < 0) return nullptr;
        return pool.release();
    });
}

const rn::Signature get_pool_sig(
    "MemArrayOncePool.get_pool", "shape, dtype, max_pool_size",
    "The registry's pool for the pool key of shape and dtype, made on first use.\n\n"
    "The first call for a key fixes the pool's shape, dtype and limit; later\n"
    "calls get that pool whatever limit they pass.  Works on the class it is\n"
    "called on (its _pool_dict and _pool_mutex).  Raises KeyError for an\n"
    "unknown element type before any pool is made.",
    rn::METHOD);

PyObject* pool_get_pool(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* a[3];
    if (!get_pool_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return get_pool_impl(cls, a[0], a[1], a[2]);
}

PyMethodDef pool_methods[] = {
    pool_name_sig.def(rn::noargs<pool_name_sig, pool_key_of>),
    is_empty_sig.def(rn::noargs<is_empty_sig, pool_is_empty_impl>),
    add_sig.def(rn::noargs<add_sig, pool_add_impl>),
    get_sig.def(rn::noargs<get_sig, pool_get_impl>),
    push_back_sig.def(pool_push_back),
    with_flags(get_pool_sig.def(pool_get_pool), METH_CLASS),
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef pool_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot pool_slots[] = {{Py_tp_doc, (void*)pool_init_sig.doc()},
                            {Py_tp_init, (void*)pool_init},
                            {Py_tp_getset, pool_getset},
                            {Py_tp_traverse, (void*)rn::plain_traverse},
                            {Py_tp_clear, (void*)rn::plain_clear},
                            {Py_tp_dealloc, (void*)rn::gc_dealloc<rn::plain_clear>},
                            {Py_tp_members, rn::plain_members},
                            {Py_tp_methods, pool_methods},
                            {0, nullptr}};

}  // namespace

PyType_Spec pool_spec = {"ravu.mem_array.mem_array.MemArrayOncePool", sizeof(Obj), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                         pool_slots};

int init_pool_class(PyTypeObject* pool_type, PyObject* lock_factory) {
    rn::ptr registry(PyDict_New());
    if (!registry) return -1;
    rn::ptr lock(PyObject_CallNoArgs(lock_factory));
    if (!lock) return -1;
    if (PyObject_SetAttr((PyObject*)pool_type, RN_ID(_pool_dict), registry.get()) < 0 ||
        PyObject_SetAttr((PyObject*)pool_type, RN_ID(_pool_mutex), lock.get()) < 0)
        return -1;
    return 0;
}

// ---------------------------------------------------------------- MemArrayReuse

int reuse_init_with(PyObject* self, PyObject* shape, PyObject* dtype, PyObject* limit) {
    if (clear_fields(self) < 0) return -1;
    if (set_field(self, RN_ID(shape), shape) < 0 || set_field(self, RN_ID(dtype), dtype) < 0 ||
        set_field(self, RN_ID(max_pool_size), limit) < 0)
        return -1;
    // The pool is found from the stored values: for our own class those are
    // the arguments themselves.
    rn::ptr s(shape, true), d(dtype, true), m(limit, true);
    if (!is_exact_array(self)) {
        s = field(self, RN_ID(shape));
        d = field(self, RN_ID(dtype));
        m = field(self, RN_ID(max_pool_size));
        if (!s || !d || !m) return -1;
    }
    rn::ptr pool(get_pool_impl((PyObject*)g_pool_type, s.get(), d.get(), m.get()));
    if (!pool || set_field(self, RN_ID(pool), pool.get()) < 0) return -1;
    rn::ptr src(pool_call(pool.get(), RN_ID(get), pool_get_impl));
    if (!src || set_field(self, RN_ID(src_ma), src.get()) < 0) return -1;
    if (src.get() == Py_None) return 0;
    for (int i = 0; i < 5; ++i) {
        PyObject* name = array_fields()[i];
        rn::ptr v(field(src.get(), name));
        if (!v || set_field(self, name, v.get()) < 0) return -1;
    }
    return 0;
}

namespace {

const rn::Signature reuse_init_sig(
    "MemArrayReuse.__init__", "shape, dtype, max_pool_size",
    "A shared array borrowed from the pool of its shape and element type.\n"
    "\n"
    "Borrows from MemArrayOncePool.get_pool(shape, dtype, max_pool_size) and\n"
    "takes the borrowed array's uuid, shape, dtype (those of the pool's first\n"
    "caller), shm and data, the same objects.  When nothing can be lent the\n"
    "object is empty (uuid and data None), without an error: check uuid.\n"
    "release() returns the segment to the pool, where the next borrower gets\n"
    "it with whatever was left in it.  Fields of its own: max_pool_size,\n"
    "pool, src_ma (the borrowed MemArrayOnce, None when nothing is borrowed).",
    rn::INIT);

int reuse_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    rn::ptr keep;
    if (!reuse_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    return reuse_init_with(self, a[0], a[1], a[2]);
}

}  // namespace

PyObject* reuse_release_impl(PyObject* self) {
    rn::ptr pool(field(self, RN_ID(pool)));
    if (!pool) return nullptr;
    rn::ptr src(field(self, RN_ID(src_ma)));
    if (!src) return nullptr;
    rn::ptr r(Py_IS_TYPE(pool.get(), g_pool_type)
                  ? pool_push_back_impl(pool.get(), src.get())
                  : PyObject_CallMethodOneArg(pool.get(), RN_ID(push_back), src.get()));
    if (!r || set_field(self, RN_ID(src_ma), Py_None) < 0) return nullptr;
    Py_RETURN_NONE;
}

namespace {

const rn::Signature reuse_release_sig(
    "MemArrayReuse._release", "",
    "Return the borrowed array to its pool; src_ma becomes None.",
    rn::METHOD);

PyMethodDef reuse_methods[] = {
    reuse_release_sig.def(rn::noargs<reuse_release_sig, reuse_release_impl>),
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot reuse_slots[] = {{Py_tp_doc, (void*)reuse_init_sig.doc()},
                             {Py_tp_init, (void*)reuse_init},
                            {Py_tp_traverse, (void*)rn::plain_traverse},
                            {Py_tp_clear, (void*)rn::plain_clear},
                             {Py_tp_methods, reuse_methods},
                             {0, nullptr}};

}  // namespace

PyType_Spec reuse_spec = {"ravu.mem_array.mem_array.MemArrayReuse", sizeof(Obj), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                          reuse_slots};

}  // namespace mem_array
