// ravu.utils.datakit: dictionary get-or-insert and CircularQueue, the ring
// whose `put` and `getall` run under one per-object time-out lock.
//
// The ring keeps its state in plain instance attributes that callers read.
// For the exact class those live in the instance dict, which the hot paths
// use directly (rn_attr.h); subclasses go through the ordinary attribute
// protocol.
#include "rn.h"

namespace {

// The module's state, made once at import.
struct State {
    PyObject* module;
    PyTypeObject* queue_type;
    PyTypeObject* iter_type;
};
State st;

// ---------------------------------------------------------------- get-or-insert

// v = obj.get(key); if v is None: v = make(); obj[key] = v; return v
template <typename Make>
PyObject* get_or_insert(PyObject* obj, PyObject* key, Make make) {
    rn::ptr v;
    if (PyDict_CheckExact(obj)) {
        PyObject* found = PyDict_GetItemWithError(obj, key);
        if (found && found != Py_None) return Py_NewRef(found);
        if (!found && PyErr_Occurred()) return nullptr;
    } else {
        v = PyObject_CallMethodOneArg(obj, RN_ID(get), key);
        if (!v) return nullptr;
    }
    if (v && v.get() != Py_None) return v.release();
    v = make();
    if (!v) return nullptr;
    const int rc = PyDict_CheckExact(obj) ? PyDict_SetItem(obj, key, v.get())
                                          : PyObject_SetItem(obj, key, v.get());
    if (rc < 0) return nullptr;
    return v.release();
}

const rn::Signature get_dict_sig(
    "get_dict_from_dict", "obj, key",
    "Return obj[key], first storing a new empty dict there when the key is\n"
    "missing or holds None.  obj is a dict or anything with get() and item\n"
    "assignment.");

PyObject* get_dict_from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    PyObject* a[2];
    if (!get_dict_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return get_or_insert(a[0], a[1], [] { return PyDict_New(); });
}

const rn::Signature get_list_sig(
    "get_list_from_dict", "obj, key",
    "Return obj[key], first storing a new empty list there when the key is\n"
    "missing or holds None.");

PyObject* get_list_from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    PyObject* a[2];
    if (!get_list_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return get_or_insert(a[0], a[1], [] { return PyList_New(0); });
}

const rn::Signature get_any_sig(
    "get_any_from_dict", "obj, key, creator",
    "Return obj[key], first storing creator() there when the key is missing or\n"
    "holds None.  creator is called with no arguments, only on a miss.");

PyObject* get_any_from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* a[3];
    if (!get_any_sig.parse(args, nargs, kwnames, a)) return nullptr;
    PyObject* creator = a[2];
    return get_or_insert(a[0], a[1], [creator] {
        // list() and dict() with no arguments are exactly these.
        if (creator == (PyObject*)&PyList_Type) return PyList_New(0);
        if (creator == (PyObject*)&PyDict_Type) return PyDict_New();
        return PyObject_CallNoArgs(creator);
    });
}

// ---------------------------------------------------------------- ring state

// The ring's state as the fast paths use it, held.
struct Ring {
    rn::ptr queue;
    long long cur, size;
};

PyObject* get_attr(PyObject* self, PyObject* name) {
    return rn::get_attr(self, name, st.queue_type);
}

int set_attr(PyObject* self, PyObject* name, PyObject* value) {
    return rn::set_attr(self, name, value, st.queue_type);
}

// A small non-negative C integer from an exact int, or -1.
long long small_int(PyObject* v) {
    long long x;
    return rn::exact_ll(v, &x) && x >= 0 && x <= (1LL << 40) ? x : -1;
}

// The state of an exact ring for the fast paths: an exact list, 0 <= cur,
// size > 0, all exact ints.  False (maybe with an exception set) sends the
// caller to the general path.  Each value is taken before the next search,
// which may run a key's __eq__: the list held, the numbers as C values.
bool fast_state(PyObject* self, rn::ptr& dict, Ring* q) {
    dict = rn::held_dict(self, st.queue_type);
    if (!dict) return false;
    PyObject* d = dict.get();
    q->queue = Py_XNewRef(PyDict_GetItemWithError(d, RN_ID(queue)));
    q->cur = q->queue ? small_int(PyDict_GetItemWithError(d, RN_ID(cur_index))) : -1;
    q->size = q->cur >= 0 ? small_int(PyDict_GetItemWithError(d, RN_ID(size))) : -1;
    if (q->size <= 0 || !PyList_CheckExact(q->queue.get())) {
        PyErr_Clear();  // the general path looks again and raises properly
        return false;
    }
    return true;
}

// self.queue[(self.cur_index + index) % self.size]
PyObject* ring_item(PyObject* self, PyObject* index) {
    Ring q;
    rn::ptr d;
    // Pays: q[-1] 30 ns against 39 ns for the protocol road (bench_lock_ring).
    if (fast_state(self, d, &q)) {
        PyObject* queue = q.queue.get();
        const long long cur = q.cur, size = q.size;
        if (PyLong_CheckExact(index)) {
            int overflow;
            long long i = PyLong_AsLongLongAndOverflow(index, &overflow);
            if (!overflow && i > -(1LL << 60) && i < (1LL << 60)) {
                long long pos = rn::floor_mod(cur + i, size);
                if (pos < PyList_GET_SIZE(queue)) return Py_NewRef(PyList_GET_ITEM(queue, pos));
            }
        }
        if (PyErr_Occurred()) return nullptr;
    }
    rn::ptr queue(get_attr(self, RN_ID(queue)));
    if (!queue) return nullptr;
    rn::ptr cur(get_attr(self, RN_ID(cur_index)));
    if (!cur) return nullptr;
    rn::ptr sum(PyNumber_Add(cur.get(), index));
    if (!sum) return nullptr;
    rn::ptr size(get_attr(self, RN_ID(size)));
    if (!size) return nullptr;
    rn::ptr pos(PyNumber_Remainder(sum.get(), size.get()));
    if (!pos) return nullptr;
    return PyObject_GetItem(queue.get(), pos.get());
}

// self[i], through the type's own __getitem__ for subclasses.
PyObject* item_at(PyObject* self, Py_ssize_t i) {
    rn::ptr index(PyLong_FromSsize_t(i));
    if (!index) return nullptr;
    if (Py_IS_TYPE(self, st.queue_type)) return ring_item(self, index.get());
    return PyObject_GetItem(self, index.get());
}

// range(self.size) as a C bound, with range's own errors.
bool ring_range(PyObject* self, Py_ssize_t* n) {
    rn::ptr size(get_attr(self, RN_ID(size)));
    if (!size) return false;
    rn::ptr idx(PyNumber_Index(size.get()));
    if (!idx) return false;
    *n = PyLong_AsSsize_t(idx.get());
    if (*n == -1 && PyErr_Occurred()) return false;
    if (*n < 0) *n = 0;
    return true;
}

// ---------------------------------------------------------------- CircularQueue

const rn::Signature queue_init_sig(
    "CircularQueue.__init__", "size",
    "A ring of size slots that keeps the newest entries.\n\n"
    "put() overwrites the oldest slot.  Indexes count from the slot the next\n"
    "put() writes, modulo size: once the ring is full q[0] is the oldest and\n"
    "q[-1] the newest entry.  Iteration and getall() give the slots of indexes\n"
    "0 to size - 1, never-written slots (None) first.  put() and getall() are\n"
    "serialised by one per-object time-out lock (installed on the object as\n"
    "its _mutex_ attribute); indexing and iteration take no lock.\n\n"
    "Attributes: size (capacity), queue (the slots), cur_index (next slot).",
    rn::INIT);

int queue_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    rn::ptr keep;
    if (!queue_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    if (set_attr(self, RN_ID(size), a[0]) < 0) return -1;
    rn::ptr size(get_attr(self, RN_ID(size)));
    if (!size) return -1;
    rn::ptr one(Py_BuildValue("[O]", Py_None));
    if (!one) return -1;
    rn::ptr queue(PyNumber_Multiply(one.get(), size.get()));
    if (!queue || set_attr(self, RN_ID(queue), queue.get()) < 0) return -1;
    rn::ptr zero(PyLong_FromLong(0));
    if (!zero || set_attr(self, RN_ID(cur_index), zero.get()) < 0) return -1;
    rn::ptr install(rn::global(st.module, RN_ID(lock_class_func)));
    if (!install) return -1;
    for (PyObject* name : {RN_ID(put), RN_ID(getall)}) {
        rn::ptr method(PyObject_GetAttr(self, name));
        if (!method) return -1;
        rn::ptr r(PyObject_CallFunctionObjArgs(install.get(), self, method.get(), nullptr));
        if (!r) return -1;
    }
    return 0;
}

const rn::Signature put_sig(
    "CircularQueue.put", "data",
    "Store data as the newest entry, overwriting the oldest slot.  Returns None.",
    rn::METHOD);

PyObject* queue_put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!put_sig.parse(args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[0];
    Ring q;
    rn::ptr d;
    // Pays: 120 ns a put against 167 ns for the three protocol steps
    // (bench_lock_ring, CircularQueue.put, lock included).
    if (fast_state(self, d, &q)) {
        PyObject* queue = q.queue.get();
        const long long cur = q.cur, size = q.size;
        if (cur < PyList_GET_SIZE(queue)) {
            rn::ptr next(PyLong_FromLongLong(rn::floor_mod(cur + 1, size)));
            if (!next) return nullptr;
            PyObject* old = PyList_GET_ITEM(queue, cur);
            PyList_SET_ITEM(queue, cur, Py_NewRef(data));
            // The old cur_index is an exact int: dropping it runs no code.
            if (PyDict_SetItem(d.get(), RN_ID(cur_index), next.get()) < 0) {
                Py_DECREF(old);
                return nullptr;
            }
            Py_DECREF(old);  // last: its finaliser may run arbitrary code
            Py_RETURN_NONE;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    // self.queue[self.cur_index] = data
    rn::ptr queue(get_attr(self, RN_ID(queue)));
    if (!queue) return nullptr;
    rn::ptr cur(get_attr(self, RN_ID(cur_index)));
    if (!cur || PyObject_SetItem(queue.get(), cur.get(), data) < 0) return nullptr;
    // self.cur_index += 1
    cur = get_attr(self, RN_ID(cur_index));
    if (!cur) return nullptr;
    rn::ptr one(PyLong_FromLong(1));
    if (!one) return nullptr;
    rn::ptr inc(PyNumber_InPlaceAdd(cur.get(), one.get()));
    if (!inc || set_attr(self, RN_ID(cur_index), inc.get()) < 0) return nullptr;
    // self.cur_index = self.cur_index % self.size
    cur = get_attr(self, RN_ID(cur_index));
    if (!cur) return nullptr;
    rn::ptr size(get_attr(self, RN_ID(size)));
    if (!size) return nullptr;
    rn::ptr wrapped(PyNumber_Remainder(cur.get(), size.get()));
    if (!wrapped || set_attr(self, RN_ID(cur_index), wrapped.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

const rn::Signature getall_sig(
    "CircularQueue.getall", "",
    "A new list of all size slots, oldest first (None for slots never written).",
    rn::METHOD);

PyObject* queue_getall(PyObject* self) {
    Ring q;
    rn::ptr d;
    // Pays: 217 ns against 1388 ns for 32 slots read one by one
    // (bench_lock_ring, CircularQueue.getall (32)).
    if (fast_state(self, d, &q)) {
        // No Python code runs in this loop, so reading the state once is
        // the same as reading it for every slot.
        PyObject* queue = q.queue.get();
        const long long cur = q.cur, size = q.size;
        if (size <= PyList_GET_SIZE(queue)) {
            PyObject* out = PyList_New(size);
            if (!out) return nullptr;
            for (long long i = 0; i < size; ++i)
                PyList_SET_ITEM(out, i, Py_NewRef(PyList_GET_ITEM(queue, (cur + i) % size)));
            return out;
        }
    }
    if (PyErr_Occurred()) return nullptr;
    Py_ssize_t n;
    if (!ring_range(self, &n)) return nullptr;
    rn::ptr out(PyList_New(0));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        rn::ptr v(item_at(self, i));
        if (!v || PyList_Append(out.get(), v.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* queue_subscript(PyObject* self, PyObject* index) { return ring_item(self, index); }

// ---------------------------------------------------------------- iterator

// Behaves as the generator `for i in range(self.size): yield self[i]`:
// nothing runs before the first next(), each slot is read when taken, and
// once ended or failed it stays ended.
struct RingIter {
    PyObject_HEAD
    PyObject* ring;  // NULL once finished
    Py_ssize_t next, end;
    bool started;
};

PyObject* queue_iter(PyObject* self) {
    RingIter* it = PyObject_GC_New(RingIter, st.iter_type);
    if (!it) return nullptr;
    it->ring = Py_NewRef(self);
    it->next = it->end = 0;
    it->started = false;
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject*>(it);
}

PyObject* iter_next(PyObject* self) {
    RingIter* it = reinterpret_cast<RingIter*>(self);
    if (!it->ring) return nullptr;
    if (!it->started) {
        it->started = true;
        if (!ring_range(it->ring, &it->end)) {
            Py_CLEAR(it->ring);
            return nullptr;
        }
    }
    if (it->next >= it->end) {
        Py_CLEAR(it->ring);
        return nullptr;
    }
    PyObject* v = item_at(it->ring, it->next++);
    if (!v) Py_CLEAR(it->ring);
    return v;
}

int iter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<RingIter*>(self)->ring);
    return 0;
}

int iter_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<RingIter*>(self)->ring);
    return 0;
}

PyType_Slot iter_slots[] = {{Py_tp_iter, (void*)PyObject_SelfIter},
                            {Py_tp_iternext, (void*)iter_next},
                            {Py_tp_traverse, (void*)iter_traverse},
                            {Py_tp_clear, (void*)iter_clear},
                            {Py_tp_dealloc, (void*)rn::gc_dealloc<iter_clear>},
                            {0, nullptr}};

PyType_Spec iter_spec = {"ravu.utils.datakit.CircularQueue_iterator", sizeof(RingIter), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                             Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         iter_slots};

// ---------------------------------------------------------------- type and module

PyMethodDef queue_methods[] = {
    put_sig.def(queue_put), getall_sig.def(rn::noargs<getall_sig, queue_getall>), {}};

PyType_Slot queue_slots[] = {
    {Py_tp_doc, (void*)queue_init_sig.doc()},
    {Py_tp_init, (void*)queue_init},
    {Py_tp_iter, (void*)queue_iter},
    {Py_mp_subscript, (void*)queue_subscript},
    {Py_tp_methods, queue_methods},
    RN_PLAIN_SLOTS,
    {0, nullptr}};

PyType_Spec queue_spec = {"ravu.utils.datakit.CircularQueue", sizeof(rn::PlainObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                          queue_slots};

PyMethodDef methods[] = {get_dict_sig.def(get_dict_from_dict), get_list_sig.def(get_list_from_dict),
                         get_any_sig.def(get_any_from_dict), {}};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "ravu.utils.datakit",
    "Dictionary get-or-insert and the locked ring buffer.\n\n"
    "get_dict_from_dict, get_list_from_dict, get_any_from_dict -- obj[key], made\n"
    "    and stored first when missing or None.\n"
    "CircularQueue(size) -- a fixed-size ring keeping the newest entries.",
    -1, methods};

int init(PyObject* m) {
    if (rn::bind_import(m, "ravu.utils.lock", "lock_class_func") < 0) return -1;
    st.queue_type = (PyTypeObject*)rn::add_type(m, &queue_spec);
    st.iter_type = (PyTypeObject*)PyType_FromModuleAndSpec(m, &iter_spec, nullptr);
    if (!st.queue_type || !st.iter_type) return -1;
    return rn::set_all(m, {"get_dict_from_dict", "get_list_from_dict", "get_any_from_dict",
                           "CircularQueue"});
}

}  // namespace

PyMODINIT_FUNC PyInit_datakit() { return rn::create_module(&moduledef, init, &st.module); }
