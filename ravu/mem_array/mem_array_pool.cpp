// MemArrayOncePool: the per-process pool of the segments of one array pool
// key, found in a class-wide registry, lending its free arrays from a
// queue.Queue and creating them on demand up to its limit.
#include "mem_array.h"

namespace mem_array {
namespace {

// ---------------------------------------------------------------- queue

// The pool's queue is a standard queue.Queue.  For the exact class, whose
// _put, _get and _qsize are the deque's append, popleft and len, put and
// the non-blocking take are done here with the effects of its methods,
// through its public attributes: under `mutex`, the deque `queue` changed,
// `unfinished_tasks` counted, and waiters woken through the conditions'
// own notify().  Any other queue gets its methods called.

// The exact class defines none of the attributes used here, so each is the
// entry of the instance dict (public through __dict__); the attribute
// protocol is asked only when one is missing, and raises for it.
struct QueueView {
    rn::ptr dict;

    bool open(PyObject* q) {
        dict = PyObject_GenericGetDict(q, nullptr);
        return bool(dict);
    }
    // q.name, new reference.
    PyObject* get(PyObject* q, PyObject* name) const {
        if (PyObject* v = PyDict_GetItemWithError(dict.get(), name)) return Py_NewRef(v);
        return PyErr_Occurred() ? nullptr : PyObject_GetAttr(q, name);
    }
};

// Whether this thread is the only one of the interpreter.  Only a thread
// can wait on a condition, and every thread that has run Python, blocked or
// not, keeps its state in the interpreter's list; a thread being made or
// ended at this moment is not waiting.  Only our own state is read: the
// list's head, and what follows it.
bool only_thread() {
    PyThreadState* me = PyThreadState_Get();
    return PyInterpreterState_ThreadHead(PyThreadState_GetInterpreter(me)) == me &&
           PyThreadState_Next(me) == nullptr;
}

// q.maxsize <= 0: 1 for an unbounded queue, 0, or -1 with an error.
int unbounded(PyObject* q, const QueueView& view) {
    rn::ptr maxsize(view.get(q, RN_ID(maxsize)));
    if (!maxsize) return -1;
    long long m;
    if (exact_ll(maxsize.get(), &m)) return m <= 0;
    if (PyErr_Occurred()) return -1;
    rn::ptr zero(PyLong_FromLong(0));
    return zero ? PyObject_RichCompareBool(maxsize.get(), zero.get(), Py_LE) : -1;
}

// q.<cond_name>.notify(), the lock held; skipped while no other thread
// exists that could be waiting.
int notify(PyObject* q, const QueueView& view, PyObject* cond_name) {
    if (only_thread()) return 0;
    rn::ptr cond(view.get(q, cond_name));
    if (!cond) return -1;
    PyObject* a[1] = {cond.get()};
    rn::ptr r(PyObject_VectorcallMethod(RN_ID(notify), a, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        nullptr));
    return r ? 0 : -1;
}

// deque.<name>(arg), through deque's own method when exact.
PyObject* deque_call(PyObject* deque, PyObject* method, PyObject* name, PyObject* arg = nullptr) {
    PyObject* a[3] = {nullptr, deque, arg};
    const size_t n = arg ? 2 : 1;
    if (Py_IS_TYPE(deque, state.deque_type)) return PyObject_Vectorcall(method, a + 1, n, nullptr);
    return PyObject_VectorcallMethod(name, a + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// q.get_nowait(): 1 with *out set, 0 when empty, -1 on error.
int queue_take(PyObject* q, PyObject** out) {
    if (!Py_IS_TYPE(q, state.queue_type)) {
        rn::ptr v(call_method0(q, RN_ID(get_nowait)));
        if (!v) return -1;
        *out = v.release();
        return 1;
    }
    QueueView view;
    if (!view.open(q)) return -1;
    rn::ptr mutex(view.get(q, RN_ID(mutex)));
    if (!mutex) return -1;
    rn::ptr item;
    rn::ptr r(with_lock(mutex.get(), [&]() -> PyObject* {
        rn::ptr deque(view.get(q, RN_ID(queue)));
        if (!deque) return nullptr;
        const Py_ssize_t n = PyObject_Length(deque.get());
        if (n <= 0) return n < 0 ? nullptr : Py_NewRef(Py_None);
        item = deque_call(deque.get(), state.deque_popleft, RN_ID(popleft));
        if (!item) return nullptr;
        // Only a put into a full bounded queue waits on not_full: for an
        // unbounded one (the pool's own), or with no other thread, nobody
        // can be waiting there.
        if (only_thread()) Py_RETURN_NONE;
        const int no_waiter = unbounded(q, view);
        if (no_waiter < 0 || (!no_waiter && notify(q, view, RN_ID(not_full)) < 0)) return nullptr;
        Py_RETURN_NONE;
    }));
    if (!r) return -1;  // as in get_nowait, an item taken before the error is gone
    if (!item) return 0;
    *out = item.release();
    return 1;
}

// q.put(item)
int queue_put(PyObject* q, PyObject* v) {
    QueueView view;
    const bool exact = Py_IS_TYPE(q, state.queue_type);
    if (exact && !view.open(q)) return -1;
    const int no_wait = exact ? unbounded(q, view) : 0;
    if (no_wait < 0) return -1;
    if (!no_wait) {  // a bounded queue's put may wait for room
        rn::ptr r(PyObject_CallMethodOneArg(q, RN_ID(put), v));
        return r ? 0 : -1;
    }
    rn::ptr mutex(view.get(q, RN_ID(mutex)));
    if (!mutex) return -1;
    rn::ptr r(with_lock(mutex.get(), [&]() -> PyObject* {
        rn::ptr deque(view.get(q, RN_ID(queue)));
        if (!deque) return nullptr;
        rn::ptr appended(deque_call(deque.get(), state.deque_append, RN_ID(append), v));
        if (!appended) return nullptr;
        rn::ptr n(view.get(q, RN_ID(unfinished_tasks)));
        if (!n) return nullptr;
        rn::ptr n1(PyNumber_Add(n.get(), state.increment));
        if (!n1 || PyDict_SetItem(view.dict.get(), RN_ID(unfinished_tasks), n1.get()) < 0)
            return nullptr;
        if (notify(q, view, RN_ID(not_empty)) < 0) return nullptr;
        Py_RETURN_NONE;
    }));
    return r ? 0 : -1;
}

// q.qsize()
PyObject* queue_size(PyObject* q) {
    if (!Py_IS_TYPE(q, state.queue_type)) return call_method0(q, RN_ID(qsize));
    QueueView view;
    if (!view.open(q)) return nullptr;
    rn::ptr mutex(view.get(q, RN_ID(mutex)));
    if (!mutex) return nullptr;
    return with_lock(mutex.get(), [&]() -> PyObject* {
        rn::ptr deque(view.get(q, RN_ID(queue)));
        if (!deque) return nullptr;
        const Py_ssize_t n = PyObject_Length(deque.get());
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
    rn::ptr q(rn::call_global(state.module, RN_ID(Queue)));
    if (!q || set_field(self, RN_ID(pool), q.get()) < 0) return -1;
    rn::ptr zero(PyLong_FromLong(0));
    if (!zero || set_field(self, RN_ID(size), zero.get()) < 0) return -1;
    rn::ptr lock(rn::call_global(state.module, {RN_ID(threading), RN_ID(Lock)}));
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
        rn::ptr ma(PyObject_Vectorcall((PyObject*)state.once_type, a, 2, nullptr));
        if (!ma) return nullptr;
        rn::ptr q(field(self, RN_ID(pool)));
        if (!q || queue_put(q.get(), ma.get()) < 0) return nullptr;
        rn::ptr size(field(self, RN_ID(size)));
        if (!size) return nullptr;
        rn::ptr size1(PyNumber_Add(size.get(), state.increment));
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
    if (Py_IS_TYPE(self, state.pool_type)) return impl(self);
    return call_method0(self, name);
}

}  // namespace

PyObject* pool_get_impl(PyObject* self) {
    rn::ptr q;
    if (Py_IS_TYPE(self, state.pool_type) && (q = field(self, RN_ID(pool))) &&
        Py_IS_TYPE(q.get(), state.queue_type)) {
        // Our own is_empty() and take: the take alone, which finds the
        // queue empty under the queue's mutex, is one of the interleavings
        // the two separate steps allow.
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

namespace {

const rn::Signature get_sig(
    "MemArrayOncePool.get", "",
    "Lend a free array, creating one first when none is queued.\n"
    "\n"
    "Returns a MemArrayOnce, or None when the limit is reached or another\n"
    "thread took the free array first (None means nothing free now).\n"
    "Never waits; free arrays are lent oldest-returned first.",
    rn::METHOD);

}  // namespace

PyObject* pool_push_back_impl(PyObject* self, PyObject* ma) {
    rn::ptr q(field(self, RN_ID(pool)));
    if (!q || queue_put(q.get(), ma) < 0) return nullptr;
    Py_RETURN_NONE;
}

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace mem_array
