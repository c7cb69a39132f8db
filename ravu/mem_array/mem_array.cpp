// ravu.mem_array.mem_array: numpy arrays over named POSIX shared memory.
//
// The creating side goes through the segment class bound as SegmentLedger
// (the standard one, or ravu._compat's); the attaching side maps the object
// itself with shm_open + fstat + mmap and registers it nowhere, so a reader
// that exits never removes its creator's segment.
//
// Array objects keep their public fields in the instance dict, where callers
// read and assign them; the exact classes touch that dict directly, while
// subclasses go through the ordinary attribute protocol and method look-up.
#include "rn.h"

#include <numpy/arrayobject.h>

#include <charconv>
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

PyObject* g_module = nullptr;
PyObject* g_n2t = nullptr;  // TYPE_DICT_n2t
PyObject* g_t2n = nullptr;  // TYPE_DICT_t2n
PyObject* g_shm_default = nullptr;       // the _posixshmem bound at import
PyObject* g_shm_open_default = nullptr;  // and its shm_open
PyObject* g_copyto = nullptr;            // numpy.copyto
PyObject* g_ledger_kwnames = nullptr;    // ("create", "size")
PyObject* g_view_kwnames = nullptr;      // ("dtype", "buffer")
PyObject* g_mode_kwnames = nullptr;      // ("mode",)
PyTypeObject* g_lock_type = nullptr;     // type(threading.Lock())
PyObject* g_lock_acquire = nullptr;
PyObject* g_lock_release = nullptr;
PyTypeObject* g_queue_type = nullptr;      // queue.Queue
PyTypeObject* g_condition_type = nullptr;  // threading.Condition
PyTypeObject* g_deque_type = nullptr;      // collections.deque
PyObject* g_deque_popleft = nullptr;       // and its methods
PyObject* g_deque_append = nullptr;

PyTypeObject* g_mapping_type = nullptr;
PyTypeObject* g_shm_type = nullptr;
PyTypeObject* g_matype_type = nullptr;
PyTypeObject* g_array_type = nullptr;  // MemArray
PyTypeObject* g_once_type = nullptr;
PyTypeObject* g_pool_type = nullptr;
PyTypeObject* g_reuse_type = nullptr;
PyTypeObject* g_read_type = nullptr;

// The int 1, kept for the process' life.
PyObject* one() {
    static PyObject* v = PyLong_FromLong(1);
    return v;
}

// ---------------------------------------------------------------- small helpers

PyObject* key_error(PyObject* key) {
    rn::ptr exc(PyObject_CallOneArg(PyExc_KeyError, key));
    if (exc) PyErr_SetObject(PyExc_KeyError, exc.get());
    return nullptr;
}

// d[key] as a new reference, KeyError(key) when missing.
PyObject* item(PyObject* d, PyObject* key) {
    if (!PyDict_CheckExact(d)) return PyObject_GetItem(d, key);
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (!v) return PyErr_Occurred() ? nullptr : key_error(key);
    return Py_NewRef(v);
}

// The instance dict, made on first use.
PyObject* own_dict(PyObject* self) {
    PyObject** dp = _PyObject_GetDictPtr(self);
    // Room for the eight fields of a pooled array without a resize.
    if (!*dp) *dp = _PyDict_NewPresized(8);
    return *dp;
}

bool is_exact_array(PyObject* self) {
    PyTypeObject* t = Py_TYPE(self);
    return t == g_array_type || t == g_once_type || t == g_read_type || t == g_reuse_type;
}

bool is_exact(PyObject* self) { return is_exact_array(self) || Py_IS_TYPE(self, g_pool_type); }

// self.name, from the instance dict for the exact classes.  New reference.
PyObject* field(PyObject* self, PyObject* name) {
    if (is_exact(self)) {
        PyObject** dp = _PyObject_GetDictPtr(self);
        if (*dp) {
            PyObject* v = PyDict_GetItemWithError(*dp, name);
            if (v) return Py_NewRef(v);
            if (PyErr_Occurred()) return nullptr;
        }
    }
    return PyObject_GetAttr(self, name);
}

int set_field(PyObject* self, PyObject* name, PyObject* value) {
    if (is_exact(self)) {
        PyObject* d = own_dict(self);
        return d ? PyDict_SetItem(d, name, value) : -1;
    }
    return PyObject_SetAttr(self, name, value);
}

PyObject* call_method0(PyObject* obj, PyObject* name) { return PyObject_CallMethodNoArgs(obj, name); }

// A small C integer from an exact int; false for anything else.
bool exact_ll(PyObject* v, long long* out) {
    if (!PyLong_CheckExact(v)) return false;
    int overflow;
    *out = PyLong_AsLongLongAndOverflow(v, &overflow);
    return !overflow && !(*out == -1 && PyErr_Occurred());
}

// The dimensions as a list or tuple we may index (`keep` holds a list made
// from any other iterable); the iteration's own TypeError otherwise.
PyObject* dims_of(PyObject* shape, rn::ptr& keep) {
    if (PyTuple_CheckExact(shape) || PyList_CheckExact(shape)) return shape;
    keep = PySequence_List(shape);
    return keep.get();
}

// ---------------------------------------------------------------- locks

// lock.acquire() / lock.release(), through the plain lock's own methods when
// exact; acquire releases the GIL while it waits.
int lock_acquire(PyObject* lock) {
    rn::ptr r;
    if (Py_IS_TYPE(lock, g_lock_type)) {
        PyObject* a[1] = {lock};
        r = PyObject_Vectorcall(g_lock_acquire, a, 1, nullptr);
    } else {
        r = call_method0(lock, RN_ID(acquire));
    }
    return r ? 0 : -1;
}

int lock_release(PyObject* lock) {
    rn::ptr r;
    if (Py_IS_TYPE(lock, g_lock_type)) {
        PyObject* a[1] = {lock};
        r = PyObject_Vectorcall(g_lock_release, a, 1, nullptr);
    } else {
        r = call_method0(lock, RN_ID(release));
    }
    return r ? 0 : -1;
}

// A method-table entry with METH_STATIC or METH_CLASS added.
PyMethodDef with_flags(PyMethodDef def, int flags) {
    def.ml_flags |= flags;
    return def;
}

// Runs `body` with `lock` held; the lock is released whatever happens, and
// an error of the release wins over the body's (chained), as in `with`.
template <typename Body>
PyObject* with_lock(PyObject* lock, Body body) {
    rn::ptr hold(lock, true);
    if (lock_acquire(lock) < 0) return nullptr;
    rn::ptr result(body());
    rn::SavedError saved;
    if (lock_release(lock) < 0) return nullptr;
    return result.release();
}

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

// ---------------------------------------------------------------- element types

// t.__name__.  The name of a static type (numpy's scalar types) cannot
// change, so the last few are kept with their hash already computed.
PyObject* type_name(PyObject* t) {
    if (!PyType_Check(t) || (((PyTypeObject*)t)->tp_flags & Py_TPFLAGS_HEAPTYPE))
        return PyObject_GetAttr(t, RN_ID(__name__));
    static struct {
        PyObject* type;
        PyObject* name;
    } cache[8];
    static unsigned next = 0;
    for (auto& e : cache)
        if (e.type == t) return Py_NewRef(e.name);
    PyObject* name = PyObject_GetAttr(t, RN_ID(__name__));
    if (!name || !PyUnicode_CheckExact(name)) return name;
    if (PyObject_Hash(name) == -1) PyErr_Clear();
    auto& slot = cache[next++ % 8];
    Py_XDECREF(slot.type);
    Py_XDECREF(slot.name);
    slot.type = Py_NewRef(t);
    slot.name = Py_NewRef(name);
    return name;
}

// TYPE_DICT_n2t / t2n look-ups of MAType(t): the code and the `dtype` form.
bool element_type(PyObject* t, rn::ptr& code, rn::ptr& dtype) {
    if (PyLong_Check(t)) {
        dtype = item(g_n2t, t);
        if (!dtype) return false;
        code.set(t, true);
        return true;
    }
    if (PyUnicode_Check(t)) {
        code = item(g_t2n, t);
        if (!code) return false;
        dtype = item(g_n2t, code.get());
        return bool(dtype);
    }
    rn::ptr name(PyArray_DescrCheck(t) ? PyObject_GetAttr(t, RN_ID(name)) : type_name(t));
    if (!name) return false;
    code = item(g_t2n, name.get());
    if (!code) return false;
    dtype = std::move(name);
    return true;
}

bool element_code(PyObject* t, rn::ptr& code) {
    rn::ptr dtype;
    return element_type(t, code, dtype);
}

// code % 100 // 8
PyObject* code_size(PyObject* code) {
    long long c;
    if (exact_ll(code, &c)) return PyLong_FromLongLong(rn::floor_mod(c, 100) / 8);
    if (PyErr_Occurred()) return nullptr;
    rn::ptr hundred(PyLong_FromLong(100)), eight(PyLong_FromLong(8));
    if (!hundred || !eight) return nullptr;
    rn::ptr r(PyNumber_Remainder(code, hundred.get()));
    if (!r) return nullptr;
    return PyNumber_FloorDivide(r.get(), eight.get());
}

PyObject* make_pool_key(PyObject* shape, PyObject* dtype);

// Whether the key of (shape, dtype) can only change with the code tables:
// a tuple of exact ints, and an element type whose name is fixed.
bool key_is_stable(PyObject* shape, PyObject* dtype) {
    if (!PyTuple_CheckExact(shape)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape); ++i)
        if (!PyLong_CheckExact(PyTuple_GET_ITEM(shape, i))) return false;
    if (PyLong_CheckExact(dtype) || PyUnicode_CheckExact(dtype) || PyArray_DescrCheck(dtype))
        return true;
    return PyType_Check(dtype) && !(((PyTypeObject*)dtype)->tp_flags & Py_TPFLAGS_HEAPTYPE);
}

uint64_t tables_version() {
    return ((PyDictObject*)g_n2t)->ma_version_tag ^ (((PyDictObject*)g_t2n)->ma_version_tag << 1);
}

// MemArray.Name(shape, dtype): str(code) + "-" + "-".join(map(str, shape)).
// A service asks for the same frame shape over and over, so the keys of the
// last few stable (shape, dtype) objects are kept, checked against the
// tables' version.
PyObject* pool_key(PyObject* shape, PyObject* dtype) {
    struct Entry {
        PyObject* shape;
        PyObject* dtype;
        PyObject* key;
        uint64_t version;
    };
    static Entry cache[4];
    static unsigned next = 0;
    const uint64_t version = tables_version();
    for (const Entry& e : cache)
        if (e.shape == shape && e.dtype == dtype && e.version == version) return Py_NewRef(e.key);
    PyObject* key = make_pool_key(shape, dtype);
    if (key && key_is_stable(shape, dtype) && version == tables_version()) {
        // The evicted objects go only once the slot holds the new entry:
        // freeing them may run Python code that comes back here.
        Entry& e = cache[next++ % 4];
        const Entry old = e;
        e = {Py_NewRef(shape), Py_NewRef(dtype), Py_NewRef(key), version};
        Py_XDECREF(old.shape);
        Py_XDECREF(old.dtype);
        Py_XDECREF(old.key);
    }
    return key;
}

PyObject* make_pool_key(PyObject* shape, PyObject* dtype) {
    rn::ptr code;
    if (!element_code(dtype, code)) return nullptr;
    rn::ptr keep;
    PyObject* dims = dims_of(shape, keep);
    if (!dims) return nullptr;
    std::string text;
    auto append = [&text](PyObject* v) -> bool {
        long long x;
        if (exact_ll(v, &x)) {
            char buf[24];
            auto res = std::to_chars(buf, buf + sizeof buf, x);
            text.append(buf, res.ptr);
            return true;
        }
        if (PyErr_Occurred()) return false;
        rn::ptr s(PyObject_Str(v));
        if (!s) return false;
        Py_ssize_t n;
        const char* u = PyUnicode_AsUTF8AndSize(s.get(), &n);
        if (!u) return false;
        text.append(u, n);
        return true;
    };
    if (!append(code.get())) return nullptr;
    text += '-';
    // A list may change while str() of an element runs: index afresh.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(dims); ++i) {
        if (i) text += '-';
        rn::ptr d(Py_NewRef(PySequence_Fast_GET_ITEM(dims, i)));
        if (!append(d.get())) return nullptr;
    }
    return PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t)text.size(), "surrogatepass");
}

// ---------------------------------------------------------------- numpy view

// np.ndarray(shape, dtype=dtype, buffer=buf).  A writable contiguous buffer
// large enough for a plain shape and element type is wrapped here directly,
// with the same flags and base numpy's constructor gives; anything else, and
// every error, goes through the constructor itself.
PyObject* make_view_any(PyObject* shape, PyObject* dtype, PyObject* buf) {
    do {
        if (!PyTuple_CheckExact(shape) && !PyList_CheckExact(shape)) break;
        const Py_ssize_t nd = PySequence_Fast_GET_SIZE(shape);
        if (nd > NPY_MAXDIMS) break;
        npy_intp dims[NPY_MAXDIMS];
        bool plain = true;
        for (Py_ssize_t i = 0; i < nd && plain; ++i) {
            long long d = 0;
            plain = exact_ll(PySequence_Fast_GET_ITEM(shape, i), &d) && d >= 0;
            dims[i] = (npy_intp)d;
        }
        if (!plain) {
            PyErr_Clear();
            break;
        }
        PyArray_Descr* descr = nullptr;
        if (!PyArray_DescrConverter(dtype, &descr)) {
            PyErr_Clear();
            break;
        }
        if (PyDataType_HASSUBARRAY(descr) || descr->elsize <= 0) {
            Py_DECREF(descr);
            break;
        }
        Py_buffer view;
        if (PyObject_GetBuffer(buf, &view, PyBUF_ANY_CONTIGUOUS | PyBUF_WRITABLE) < 0) {
            PyErr_Clear();
            Py_DECREF(descr);
            break;
        }
        void* data = view.buf;
        const Py_ssize_t len = view.len;
        PyBuffer_Release(&view);
        npy_intp need = descr->elsize;
        bool fits = true;
        for (Py_ssize_t i = 0; i < nd && fits; ++i)
            fits = !__builtin_mul_overflow(need, dims[i], &need);
        if (!fits || need > len) {
            Py_DECREF(descr);
            break;
        }
        PyObject* base = PyMemoryView_Check(buf) ? PyMemoryView_GET_BASE(buf) : nullptr;
        if (!base) base = buf;
        PyObject* arr = PyArray_NewFromDescr(&PyArray_Type, descr, (int)nd, dims, nullptr, data,
                                             NPY_ARRAY_BEHAVED, nullptr);  // steals descr
        if (!arr) return nullptr;
        if (PyArray_SetBaseObject((PyArrayObject*)arr, Py_NewRef(base)) < 0) {
            Py_DECREF(arr);
            return nullptr;
        }
        return arr;
    } while (false);
    PyObject* a[3] = {shape, dtype, buf};
    return PyObject_Vectorcall((PyObject*)&PyArray_Type, a, 1, g_view_kwnames);
}

// ---------------------------------------------------------------- _Mapping

// A shared read-write mapping of a whole shared-memory object: the buffer
// behind SharedMemory.buf, and the base of every array over a segment.
// Like mmap.mmap it refuses to close while buffers are exported; unlike it,
// closing only ends its use as a buffer, and the pages are unmapped when the
// object goes, so an array that still views them (it holds the object as
// its base) never points at unmapped memory.
struct Mapping {
    PyObject_HEAD
    void* addr;  // the buffer: the mapped object from byte 0
    Py_ssize_t len;
    void* map_addr;  // what munmap takes: `addr` rounded down to a page
    size_t map_len;
    Py_ssize_t exports;
    bool closed;
};

PyObject* new_mapping(void* map_addr, size_t map_len, void* addr, Py_ssize_t len) {
    Mapping* m = PyObject_New(Mapping, g_mapping_type);
    if (!m) return nullptr;
    m->addr = addr;
    m->len = len;
    m->map_addr = map_addr;
    m->map_len = map_len;
    m->exports = 0;
    m->closed = false;
    return reinterpret_cast<PyObject*>(m);
}

int mapping_close_now(Mapping* m) {
    if (m->closed) return 0;
    if (m->exports > 0) {
        PyErr_SetString(PyExc_BufferError, "cannot close exported pointers exist");
        return -1;
    }
    m->closed = true;
    return 0;
}

PyObject* mapping_close(PyObject* self, PyObject*) {
    if (mapping_close_now(reinterpret_cast<Mapping*>(self)) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* mapping_closed(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<Mapping*>(self)->closed);
}

Py_ssize_t mapping_len(PyObject* self) {
    Mapping* m = reinterpret_cast<Mapping*>(self);
    if (m->closed) {
        PyErr_SetString(PyExc_ValueError, "mmap closed or invalid");
        return -1;
    }
    return m->len;
}

int mapping_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    Mapping* m = reinterpret_cast<Mapping*>(self);
    if (m->closed) {
        PyErr_SetString(PyExc_ValueError, "mmap closed or invalid");
        return -1;
    }
    if (PyBuffer_FillInfo(view, self, m->addr, m->len, 0, flags) < 0) return -1;
    ++m->exports;
    return 0;
}

void mapping_releasebuffer(PyObject* self, Py_buffer*) { --reinterpret_cast<Mapping*>(self)->exports; }

void mapping_dealloc(PyObject* self) {
    Mapping* m = reinterpret_cast<Mapping*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    munmap(m->map_addr, m->map_len);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// The owner of the pages behind `buf` for an array to stand on: our own
// mapping when `buf` is a SharedMemory's buffer, else the same pages mapped
// once more (mremap of a shared mapping with old size 0), since the segment
// class unmaps its own mapping at release.  NULL without an exception when
// `buf` is no writable shared mapping: the array then stands on `buf`.
PyObject* pages_owner(PyObject* buf) {
    if (PyMemoryView_Check(buf)) {
        PyObject* base = PyMemoryView_GET_BASE(buf);
        if (base && Py_IS_TYPE(base, g_mapping_type)) return Py_NewRef(base);
    }
    Py_buffer view;
    if (PyObject_GetBuffer(buf, &view, PyBUF_ANY_CONTIGUOUS | PyBUF_WRITABLE) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    char* const addr = static_cast<char*>(view.buf);
    const Py_ssize_t len = view.len;
    PyBuffer_Release(&view);
    if (len <= 0) return nullptr;
    const uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
    const size_t off = (uintptr_t)addr & (page - 1);
    const size_t map_len = off + (size_t)len;
    void* dup = mremap(addr - off, 0, map_len, MREMAP_MAYMOVE);
    if (dup == MAP_FAILED) return nullptr;  // a private or anonymous buffer
    PyObject* m = new_mapping(dup, map_len, static_cast<char*>(dup) + off, len);
    if (!m) munmap(dup, map_len);
    return m;
}

// The view, refused for element types that hold object references: the
// bytes of a segment come from whatever process wrote them, and read as
// pointers they would crash this one.  The refused array owns no data, so
// dropping it touches none of those bytes.  The array stands on the owner
// of the pages (pages_owner), so it stays valid after the segment object's
// release.
PyObject* make_view(PyObject* shape, PyObject* dtype, PyObject* buf) {
    rn::ptr owner(pages_owner(buf));
    if (!owner && PyErr_Occurred()) return nullptr;
    PyObject* arr = make_view_any(shape, dtype, owner ? owner.get() : buf);
    if (arr && PyArray_Check(arr) && PyDataType_REFCHK(PyArray_DESCR((PyArrayObject*)arr))) {
        Py_DECREF(arr);
        PyErr_SetString(PyExc_TypeError, "cannot create an OBJECT array from memory buffer");
        return nullptr;
    }
    return arr;
}

PyMethodDef mapping_methods[] = {{"close", mapping_close, METH_NOARGS, nullptr},
                                 {nullptr, nullptr, 0, nullptr}};
PyGetSetDef mapping_getset[] = {{"closed", mapping_closed, nullptr, nullptr, nullptr},
                                {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot mapping_slots[] = {{Py_tp_dealloc, (void*)mapping_dealloc},
                               {Py_tp_methods, mapping_methods},
                               {Py_tp_getset, mapping_getset},
                               {Py_sq_length, (void*)mapping_len},
                               {Py_mp_length, (void*)mapping_len},
                               {Py_bf_getbuffer, (void*)mapping_getbuffer},
                               {Py_bf_releasebuffer, (void*)mapping_releasebuffer},
                               {0, nullptr}};

PyType_Spec mapping_spec = {"ravu.mem_array.mem_array._Mapping", sizeof(Mapping), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            mapping_slots};

// ---------------------------------------------------------------- SharedMemory

struct Shm {
    PyObject_HEAD
    int fd;
    PyObject* name;  // "/" + name
    Py_ssize_t size;
    PyObject* mmap;  // _Mapping
    PyObject* buf;   // memoryview over it
};

// Maps `fd` whole and sets the fields; on any failure closes `fd` and what
// was made of it, so a failed attach holds nothing.
int shm_attach(Shm* s, PyObject* path, int fd) {
    struct stat st;
    int err = 0, stage = 0;  // 1 fstat, 2 empty, 3 mmap
    void* addr = MAP_FAILED;
    Py_BEGIN_ALLOW_THREADS
    if (fstat(fd, &st) < 0) err = errno, stage = 1;
    if (!stage && st.st_size == 0) stage = 2;
    if (!stage) {
        addr = mmap(nullptr, (size_t)st.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (addr == MAP_FAILED) err = errno, stage = 3;
    }
    if (stage) close(fd);
    Py_END_ALLOW_THREADS
    if (stage) {
        if (stage == 2) PyErr_SetString(PyExc_ValueError, "cannot mmap an empty file");
        else errno = err, PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    rn::ptr mapping(new_mapping(addr, (size_t)st.st_size, addr, (Py_ssize_t)st.st_size));
    if (!mapping) {
        munmap(addr, (size_t)st.st_size);
        close(fd);
        return -1;
    }
    rn::ptr view(PyMemoryView_FromObject(mapping.get()));
    if (!view) {
        mapping = nullptr;  // unmaps
        close(fd);
        return -1;
    }
    // A second __init__ replaces the first attach.
    PyObject *old_name = s->name, *old_map = s->mmap, *old_buf = s->buf;
    const int old_fd = s->fd;
    s->fd = fd;
    s->name = Py_NewRef(path);
    s->size = (Py_ssize_t)st.st_size;
    s->mmap = mapping.release();
    s->buf = view.release();
    Py_XDECREF(old_buf);
    Py_XDECREF(old_map);
    Py_XDECREF(old_name);
    if (old_fd >= 0) close(old_fd);
    return 0;
}

// _posixshmem.shm_open(path, os.O_RDWR, mode=0o600): done here when the
// module's `_posixshmem` is still the one bound at import.
int shm_open_path(PyObject* path, int* fd_out) {
    rn::ptr mod(rn::global(g_module, RN_ID(_posixshmem)));
    if (!mod) return -1;
    rn::ptr fn;
    if (mod.get() == g_shm_default) {
        fn = PyObject_GetAttr(mod.get(), RN_ID(shm_open));
        if (!fn) return -1;
    }
    if (mod.get() == g_shm_default && fn.get() == g_shm_open_default) {
        Py_ssize_t n;
        const char* c = PyUnicode_AsUTF8AndSize(path, &n);
        if (!c) return -1;
        if ((Py_ssize_t)strlen(c) != n) {
            PyErr_SetString(PyExc_ValueError, "embedded null character");
            return -1;
        }
        int fd, err;
        for (;;) {
            Py_BEGIN_ALLOW_THREADS
            fd = shm_open(c, O_RDWR, 0600);
            err = errno;
            Py_END_ALLOW_THREADS
            if (fd >= 0 || err != EINTR) break;
            if (PyErr_CheckSignals() < 0) return -1;
        }
        if (fd < 0) {
            errno = err;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
            return -1;
        }
        *fd_out = fd;
        return 0;
    }
    if (!fn) fn = PyObject_GetAttr(mod.get(), RN_ID(shm_open));
    if (!fn) return -1;
    rn::ptr flags(PyLong_FromLong(O_RDWR)), mode(PyLong_FromLong(0600));
    if (!flags || !mode) return -1;
    PyObject* a[3] = {path, flags.get(), mode.get()};
    rn::ptr r(PyObject_Vectorcall(fn.get(), a, 2, g_mode_kwnames));
    if (!r) return -1;
    const int fd = _PyLong_AsInt(r.get());
    if (fd == -1 && PyErr_Occurred()) return -1;
    *fd_out = fd;
    return 0;
}

// SharedMemory(name): attach to "/" + name at once.
int shm_init_with(Shm* s, PyObject* name) {
    rn::ptr path(PyNumber_Add(RN_STR("/"), name));
    if (!path) return -1;
    int fd = -1;
    if (shm_open_path(path.get(), &fd) < 0) return -1;
    return shm_attach(s, path.get(), fd);
}

const rn::Signature shm_init_sig(
    "SharedMemory.__init__", "name",
    "The reading side's attachment to an existing shared-memory segment.\n\n"
    "Opens \"/\" + name read-write and maps the whole segment at once; the\n"
    "segment is never created, resized or removed from here.  `buf` is a\n"
    "memoryview of the mapping, `size` the segment's size in bytes, and\n"
    "close() gives back the view, the mapping and the descriptor.  Raises\n"
    "FileNotFoundError when no segment has that name and TypeError when\n"
    "name is not a str.",
    rn::INIT);

int shm_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    rn::ptr keep;
    if (!shm_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    return shm_init_with(reinterpret_cast<Shm*>(self), a[0]);
}

PyObject* shm_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    Shm* s = reinterpret_cast<Shm*>(self);
    s->fd = -1;
    s->size = 0;
    return self;
}

int shm_close_now(Shm* s) {
    if (s->buf) {
        rn::ptr r(call_method0(s->buf, RN_ID(release)));
        if (!r) return -1;
        Py_CLEAR(s->buf);
    }
    if (s->mmap) {
        if (Py_IS_TYPE(s->mmap, g_mapping_type)) {
            if (mapping_close_now(reinterpret_cast<Mapping*>(s->mmap)) < 0) return -1;
        } else {
            rn::ptr r(call_method0(s->mmap, RN_ID(close)));
            if (!r) return -1;
        }
        Py_CLEAR(s->mmap);
    }
    if (s->fd >= 0) {
        int rc;
        Py_BEGIN_ALLOW_THREADS
        rc = close(s->fd);
        Py_END_ALLOW_THREADS
        if (rc < 0 && errno != EINTR) {
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        s->fd = -1;
    }
    return 0;
}

const rn::Signature shm_close_sig(
    "SharedMemory.close", "",
    "Give back this process's view, mapping and descriptor; the segment stays.\n\n"
    "Arrays made over the segment keep their pages until they go.  Raises\n"
    "BufferError while a buffer taken from `buf` is still held; a second\n"
    "call does nothing.",
    rn::METHOD);

PyObject* shm_close_impl(PyObject* self) {
    if (shm_close_now(reinterpret_cast<Shm*>(self)) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* shm_buf(PyObject* self, void*) {
    PyObject* b = reinterpret_cast<Shm*>(self)->buf;
    return Py_NewRef(b ? b : Py_None);
}

PyObject* shm_name(PyObject* self, void*) {
    PyObject* n = reinterpret_cast<Shm*>(self)->name;
    if (!n) Py_RETURN_NONE;
    if (PyUnicode_Check(n) && PyUnicode_GET_LENGTH(n) > 0 && PyUnicode_READ_CHAR(n, 0) == '/')
        return PyUnicode_Substring(n, 1, PyUnicode_GET_LENGTH(n));
    return Py_NewRef(n);
}

PyObject* shm_size(PyObject* self, void*) {
    return PyLong_FromSsize_t(reinterpret_cast<Shm*>(self)->size);
}

PyObject* shm_repr(PyObject* self) {
    Shm* s = reinterpret_cast<Shm*>(self);
    rn::ptr name(shm_name(self, nullptr));
    if (!name) return nullptr;
    return PyUnicode_FromFormat("SharedMemory(%R, size=%zd)", name.get(), s->size);
}

int shm_traverse(PyObject* self, visitproc visit, void* arg) {
    Shm* s = reinterpret_cast<Shm*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(s->name);
    Py_VISIT(s->mmap);
    Py_VISIT(s->buf);
    return 0;
}

// No finaliser semantics: dropping the object only gives back what the
// process holds (the mapping goes with its last user, the descriptor here).
void shm_dealloc(PyObject* self) {
    Shm* s = reinterpret_cast<Shm*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(s->buf);
    Py_CLEAR(s->mmap);
    Py_CLEAR(s->name);
    if (s->fd >= 0) close(s->fd);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* shm_get_fd(PyObject* self, void*) { return PyLong_FromLong(reinterpret_cast<Shm*>(self)->fd); }

template <PyObject* Shm::*F>
PyObject* shm_get(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<Shm*>(self)->*F;
    return Py_NewRef(v ? v : Py_None);
}

PyGetSetDef shm_getset[] = {
    {"buf", shm_buf, nullptr, "memoryview of the whole mapping; None after close().", nullptr},
    {"name", shm_name, nullptr, "The segment's name, without the leading \"/\".", nullptr},
    {"size", shm_size, nullptr, "The segment's size in bytes when it was attached.", nullptr},
    {"_fd", shm_get_fd, nullptr, nullptr, nullptr},
    {"_name", shm_get<&Shm::name>, nullptr, nullptr, nullptr},
    {"_size", shm_size, nullptr, nullptr, nullptr},
    {"_mmap", shm_get<&Shm::mmap>, nullptr, nullptr, nullptr},
    {"_buf", shm_get<&Shm::buf>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef shm_methods[] = {shm_close_sig.def(rn::noargs<shm_close_sig, shm_close_impl>),
                             {nullptr, nullptr, 0, nullptr}};

PyType_Slot shm_slots[] = {{Py_tp_doc, (void*)shm_init_sig.doc()},
                           {Py_tp_new, (void*)shm_new},
                           {Py_tp_init, (void*)shm_init},
                           {Py_tp_dealloc, (void*)shm_dealloc},
                           {Py_tp_traverse, (void*)shm_traverse},
                           {Py_tp_repr, (void*)shm_repr},
                           {Py_tp_getset, shm_getset},
                           {Py_tp_methods, shm_methods},
                           {0, nullptr}};

PyType_Spec shm_spec = {"ravu.mem_array.mem_array.SharedMemory", sizeof(Shm), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, shm_slots};

// ---------------------------------------------------------------- MAType

struct MAType {
    PyObject_HEAD
    PyObject* code;
    PyObject* dtype;
    PyObject* size;
    PyObject* dict;
};

const rn::Signature matype_init_sig(
    "MAType.__init__", "t",
    "One element type in three forms: its code, a numpy form and its size.\n\n"
    "t is an element-type code (int: 100 * kind + bit width, kind 1 unsigned,\n"
    "2 signed, 3 float), a type name such as 'uint8', a numpy dtype or a\n"
    "numpy scalar type.  `code` is the int code, `dtype` the numpy type (for\n"
    "a code or a name) or the type's name (for a dtype or a type), `size`\n"
    "the bytes per element (code % 100 // 8).  Raises KeyError for a type\n"
    "outside TYPE_DICT_n2t / TYPE_DICT_t2n (bool among them, except as the\n"
    "bare code 101).",
    rn::INIT);

int matype_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    rn::ptr keep;
    if (!matype_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    rn::ptr code, dtype;
    if (!element_type(a[0], code, dtype)) return -1;
    rn::ptr size(code_size(code.get()));
    if (!size) return -1;
    MAType* m = reinterpret_cast<MAType*>(self);
    Py_XSETREF(m->code, code.release());
    Py_XSETREF(m->dtype, dtype.release());
    Py_XSETREF(m->size, size.release());
    return 0;
}

template <PyObject* MAType::*F>
PyObject* matype_get(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<MAType*>(self)->*F;
    return Py_NewRef(v ? v : Py_None);
}

int matype_traverse(PyObject* self, visitproc visit, void* arg) {
    MAType* m = reinterpret_cast<MAType*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(m->code);
    Py_VISIT(m->dtype);
    Py_VISIT(m->size);
    Py_VISIT(m->dict);
    return 0;
}

int matype_clear(PyObject* self) {
    MAType* m = reinterpret_cast<MAType*>(self);
    Py_CLEAR(m->code);
    Py_CLEAR(m->dtype);
    Py_CLEAR(m->size);
    Py_CLEAR(m->dict);
    return 0;
}

void matype_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    matype_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMemberDef matype_members[] = {
    {"_code", T_OBJECT, offsetof(MAType, code), 0, nullptr},
    {"_dtype", T_OBJECT, offsetof(MAType, dtype), 0, nullptr},
    {"_size", T_OBJECT, offsetof(MAType, size), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(MAType, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef matype_getset[] = {
    {"code", matype_get<&MAType::code>, nullptr, "The element-type code (int).", nullptr},
    {"dtype", matype_get<&MAType::dtype>, nullptr,
     "The numpy type (given a code or a name) or the type's name (given a dtype or a type).",
     nullptr},
    {"size", matype_get<&MAType::size>, nullptr, "Bytes per element (int).", nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot matype_slots[] = {{Py_tp_doc, (void*)matype_init_sig.doc()},
                              {Py_tp_init, (void*)matype_init},
                              {Py_tp_traverse, (void*)matype_traverse},
                              {Py_tp_clear, (void*)matype_clear},
                              {Py_tp_dealloc, (void*)matype_dealloc},
                              {Py_tp_members, matype_members},
                              {Py_tp_getset, matype_getset},
                              {0, nullptr}};

PyType_Spec matype_spec = {"ravu.mem_array.mem_array.MAType", sizeof(MAType), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                           matype_slots};

// ---------------------------------------------------------------- MemArray

// Every array and pool object: a dict for its fields and weak references.
using Obj = rn::PlainObject;

PyObject* const* array_fields() {
    static PyObject* names[5] = {RN_ID(uuid), RN_ID(shape), RN_ID(dtype), RN_ID(shm),
                                 RN_ID(data)};
    return names;
}

// The five fields None, in their order.
int clear_fields(PyObject* self) {
    for (int i = 0; i < 5; ++i)
        if (set_field(self, array_fields()[i], Py_None) < 0) return -1;
    return 0;
}

const rn::Signature array_init_sig(
    "MemArray.__init__", "",
    "A numpy array whose elements lie in a named POSIX shared-memory segment.\n\n"
    "The base of MemArrayOnce (creates its segment), MemArrayRead (attaches\n"
    "to one by its descriptor) and MemArrayReuse (borrows one from a pool);\n"
    "a bare MemArray() is empty.  Fields, in the instance dict: uuid (the\n"
    "segment's name, None when empty), shape, dtype (as the creator gave\n"
    "them), shm (the segment object) and data (the numpy array over it).\n"
    "info() gives the descriptor another process attaches by; release(), or\n"
    "leaving a `with` block, gives the segment back.  There is no finaliser:\n"
    "an object dropped unreleased keeps its segment.",
    rn::INIT);

int array_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* none[1];
    rn::ptr keep;
    if (!array_init_sig.parse_tuple(args, kwargs, none, keep)) return -1;
    return clear_fields(self);
}

const rn::Signature info_sig(
    "MemArray.info", "",
    "The array descriptor: a new dict {'uuid', 'shape', 'dtype'} of this\n"
    "object's own values, all another process needs for load_mem_array().\n"
    "Its values are None once the object is empty.",
    rn::METHOD);

PyObject* info_impl(PyObject* self) {
    rn::ptr d(PyDict_New());
    if (!d) return nullptr;
    for (int i = 0; i < 3; ++i) {
        PyObject* name = array_fields()[i];
        rn::ptr v(field(self, name));
        if (!v || PyDict_SetItem(d.get(), name, v.get()) < 0) return nullptr;
    }
    return d.release();
}

PyObject* array_ndarray(PyObject* self, void*) { return field(self, RN_ID(data)); }

const rn::Signature Name_sig(
    "MemArray.Name", "shape, dtype",
    "The array pool key of shape and dtype: str(code) + '-' + the dimensions\n"
    "joined by '-', e.g. '108-480-640-3' for (480, 640, 3) and numpy.uint8.\n"
    "The four forms of one element type, and a tuple or a list of the same\n"
    "dimensions, give one key.  Raises KeyError for an unknown element type\n"
    "and TypeError for a shape that cannot be iterated.");

PyObject* array_Name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!Name_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return pool_key(a[0], a[1]);
}

PyObject* array_name(PyObject* self, void*) {
    rn::ptr shape(field(self, RN_ID(shape)));
    if (!shape) return nullptr;
    rn::ptr dtype(field(self, RN_ID(dtype)));
    if (!dtype) return nullptr;
    if (is_exact_array(self)) return pool_key(shape.get(), dtype.get());
    PyObject* a[3] = {self, shape.get(), dtype.get()};
    return PyObject_VectorcallMethod(RN_ID(Name), a, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* once_release_impl(PyObject* self);
PyObject* read_release_impl(PyObject* self);
PyObject* reuse_release_impl(PyObject* self);

// self._release(): the variant's own clean-up.
PyObject* call_release_hook(PyObject* self) {
    PyTypeObject* t = Py_TYPE(self);
    if (t == g_once_type) return once_release_impl(self);
    if (t == g_read_type) return read_release_impl(self);
    if (t == g_reuse_type) return reuse_release_impl(self);
    if (t == g_array_type) Py_RETURN_NONE;
    return call_method0(self, RN_ID(_release));
}

PyObject* release_impl(PyObject* self) {
    rn::ptr uuid(field(self, RN_ID(uuid)));
    if (!uuid) return nullptr;
    if (uuid.get() == Py_None) Py_RETURN_NONE;
    rn::ptr r(call_release_hook(self));
    if (!r || clear_fields(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

const rn::Signature release_sig(
    "MemArray.release", "",
    "Give the segment back and empty the object (all five fields None).\n\n"
    "A once-only array closes and unlinks its segment, an attached one closes\n"
    "its attachment, a pooled one returns its segment to the pool.  Arrays\n"
    "taken from `data` stay valid (their pages stay mapped until they go);\n"
    "a pooled one then sees what the next borrower writes.  Does nothing on\n"
    "an empty object; an error of the clean-up leaves the object live.",
    rn::METHOD);

const rn::Signature base_release_sig(
    "MemArray._release", "",
    "The variant's own clean-up, called by release() only; here nothing.",
    rn::METHOD);

PyObject* base_release_impl(PyObject*) { Py_RETURN_NONE; }

const rn::Signature enter_sig("MemArray.__enter__", "", "Return the object itself.",
                              rn::METHOD);

PyObject* enter_impl(PyObject* self) { return Py_NewRef(self); }

const rn::Signature exit_sig(
    "MemArray.__exit__", "exc_type, exc_val, exc_tb",
    "Release the object; an exception of the `with` body goes on.", rn::METHOD);

PyObject* array_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!exit_sig.parse(args, nargs, kwnames, a)) return nullptr;
    rn::ptr r(is_exact_array(self) ? release_impl(self) : call_method0(self, RN_ID(release)));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef array_methods[] = {
    info_sig.def(rn::noargs<info_sig, info_impl>),
    with_flags(Name_sig.def(array_Name), METH_STATIC),
    release_sig.def(rn::noargs<release_sig, release_impl>),
    base_release_sig.def(rn::noargs<base_release_sig, base_release_impl>),
    enter_sig.def(rn::noargs<enter_sig, enter_impl>),
    exit_sig.def(array_exit),
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef array_getset[] = {
    {"ndarray", array_ndarray, nullptr, "The numpy array over the segment (`data`); None when empty.",
     nullptr},
    {"name", array_name, nullptr,
     "The array pool key of `shape` and `dtype` (see Name); AttributeError once empty.", nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot array_slots[] = {{Py_tp_doc, (void*)array_init_sig.doc()},
                             {Py_tp_init, (void*)array_init},
                             {Py_tp_traverse, (void*)rn::plain_traverse},
                             {Py_tp_clear, (void*)rn::plain_clear},
                             {Py_tp_dealloc, (void*)rn::gc_dealloc<rn::plain_clear>},
                             {Py_tp_members, rn::plain_members},
                             {Py_tp_methods, array_methods},
                             {Py_tp_getset, array_getset},
                             {0, nullptr}};

PyType_Spec array_spec = {"ravu.mem_array.mem_array.MemArray", sizeof(Obj), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                          array_slots};

// ---------------------------------------------------------------- MemArrayOnce

// Bytes of `shape` elements of `size` bytes (size * d for each dimension),
// checked before any segment exists: every dimension an integer (TypeError,
// as numpy says it), none negative (ValueError), the total below 2**63
// (OverflowError).  The standard segment class fails on a float or a huge
// size only after it has created the object, and leaves its name behind.
PyObject* byte_count(PyObject* size, PyObject* shape) {
    rn::ptr keep;
    PyObject* dims = dims_of(shape, keep);
    if (!dims) return nullptr;
    rn::ptr n(Py_NewRef(size));
    long long acc = 0;
    bool small = exact_ll(size, &acc) && acc >= 0;
    if (PyErr_Occurred()) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(dims); ++i) {
        rn::ptr d(PyNumber_Index(PySequence_Fast_GET_ITEM(dims, i)));
        if (!d) return nullptr;
        long long x, product;
        const bool fits = exact_ll(d.get(), &x);
        if (PyErr_Occurred()) return nullptr;
        if (fits ? x < 0 : _PyLong_Sign(d.get()) < 0)
            return rn::raise(PyExc_ValueError, "negative dimensions are not allowed");
        if (small && fits && !__builtin_mul_overflow(acc, x, &product)) {
            acc = product;
            continue;
        }
        if (small) {  // leave the C fast track with the product so far
            n = PyLong_FromLongLong(acc);
            if (!n) return nullptr;
            small = false;
        }
        n = PyNumber_Multiply(n.get(), d.get());
        if (!n) return nullptr;
    }
    if (small) return PyLong_FromLongLong(acc);
    long long total;
    const bool fits = exact_ll(n.get(), &total);
    if (PyErr_Occurred()) return nullptr;
    if (!fits && PyLong_Check(n.get()) && _PyLong_Sign(n.get()) > 0)
        return rn::raise(PyExc_OverflowError, "a shared array of %S bytes is too large",
                         n.get());
    return n.release();
}

// shm.close(); shm.unlink()
PyObject* close_and_unlink(PyObject* shm) {
    rn::ptr r(call_method0(shm, RN_ID(close)));
    if (!r) return nullptr;
    return call_method0(shm, RN_ID(unlink));
}

int once_init_with(PyObject* self, PyObject* shape, PyObject* dtype) {
    if (clear_fields(self) < 0) return -1;
    if (set_field(self, RN_ID(shape), shape) < 0 || set_field(self, RN_ID(dtype), dtype) < 0)
        return -1;
    rn::ptr code, form;
    if (!element_type(dtype, code, form)) return -1;
    rn::ptr size(code_size(code.get()));
    if (!size) return -1;
    rn::ptr n(byte_count(size.get(), shape));
    if (!n) return -1;
    rn::ptr ledger(rn::global(g_module, RN_ID(SegmentLedger)));
    if (!ledger) return -1;
    PyObject* a[2] = {Py_True, n.get()};
    rn::ptr shm(PyObject_Vectorcall(ledger.get(), a, 0, g_ledger_kwnames));
    if (!shm) return -1;
    // From here the segment exists: a failure must not leave it behind.
    bool ok = false;
    do {
        if (set_field(self, RN_ID(shm), shm.get()) < 0) break;
        rn::ptr uuid(PyObject_GetAttr(shm.get(), RN_ID(name)));
        if (!uuid || set_field(self, RN_ID(uuid), uuid.get()) < 0) break;
        rn::ptr buf(PyObject_GetAttr(shm.get(), RN_ID(buf)));
        if (!buf) break;
        rn::ptr data(make_view(shape, dtype, buf.get()));
        if (!data || set_field(self, RN_ID(data), data.get()) < 0) break;
        ok = true;
    } while (false);
    if (ok) return 0;
    rn::SavedError saved;
    rn::ptr r(close_and_unlink(shm.get()));
    if (r) clear_fields(self);
    return -1;
}

const rn::Signature once_init_sig(
    "MemArrayOnce.__init__", "shape, dtype",
    "A shared array with a new segment of its own, released once.\n"
    "\n"
    "Creates a segment of MAType(dtype).size * the product of shape bytes\n"
    "through the bound SegmentLedger class and views it as a C-ordered numpy\n"
    "array (`data`); its elements are not initialised.  release() closes and\n"
    "unlinks the segment, so later attaches fail.  Raises KeyError for an\n"
    "unknown element type, TypeError, ValueError or OverflowError for a shape\n"
    "that is no sequence of non-negative integers or too large, before any\n"
    "segment exists, and the segment class's errors (ValueError for 0 bytes).",
    rn::INIT);

int once_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    rn::ptr keep;
    if (!once_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    return once_init_with(self, a[0], a[1]);
}

PyObject* once_release_impl(PyObject* self) {
    rn::ptr shm(field(self, RN_ID(shm)));
    if (!shm) return nullptr;
    return close_and_unlink(shm.get());
}

const rn::Signature once_release_sig(
    "MemArrayOnce._release", "",
    "Close the segment, then unlink its name.",
    rn::METHOD);

PyMethodDef once_methods[] = {
    once_release_sig.def(rn::noargs<once_release_sig, once_release_impl>),
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot once_slots[] = {{Py_tp_doc, (void*)once_init_sig.doc()},
                            {Py_tp_init, (void*)once_init},
                            {Py_tp_traverse, (void*)rn::plain_traverse},
                            {Py_tp_clear, (void*)rn::plain_clear},
                            {Py_tp_methods, once_methods},
                            {0, nullptr}};

PyType_Spec once_spec = {"ravu.mem_array.mem_array.MemArrayOnce", sizeof(Obj), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                         once_slots};

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

PyType_Spec pool_spec = {"ravu.mem_array.mem_array.MemArrayOncePool", sizeof(Obj), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                         pool_slots};

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

PyType_Spec reuse_spec = {"ravu.mem_array.mem_array.MemArrayReuse", sizeof(Obj), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                          reuse_slots};

// ---------------------------------------------------------------- MemArrayRead

int read_init_with(PyObject* self, PyObject* uuid, PyObject* shape, PyObject* dtype) {
    if (clear_fields(self) < 0) return -1;
    if (set_field(self, RN_ID(uuid), uuid) < 0 || set_field(self, RN_ID(shape), shape) < 0 ||
        set_field(self, RN_ID(dtype), dtype) < 0)
        return -1;
    rn::ptr shm(g_shm_type->tp_alloc(g_shm_type, 0));
    if (!shm) return -1;
    Shm* s = reinterpret_cast<Shm*>(shm.get());
    s->fd = -1;
    s->size = 0;
    if (shm_init_with(s, uuid) < 0 || set_field(self, RN_ID(shm), shm.get()) < 0) return -1;
    // From here this object holds an attach: a failure closes it.
    rn::ptr data(make_view(shape, dtype, s->buf));
    if (data && set_field(self, RN_ID(data), data.get()) == 0) return 0;
    rn::SavedError saved;
    if (shm_close_now(s) == 0) clear_fields(self);
    return -1;
}

const rn::Signature read_init_sig(
    "MemArrayRead.__init__", "uuid, shape, dtype",
    "A shared array attached to an existing segment by its descriptor.\n"
    "\n"
    "Maps the segment named uuid (see SharedMemory) and views it with shape\n"
    "and dtype, without copying; writes are seen by the creator and every\n"
    "other process attached.  A segment larger than the array is fine.\n"
    "release() closes only this attachment.  Raises FileNotFoundError when the\n"
    "segment is gone, TypeError from numpy when the segment is too small or\n"
    "the element type holds object references; a failed attach holds\n"
    "nothing.",
    rn::INIT);

int read_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    rn::ptr keep;
    if (!read_init_sig.parse_tuple(args, kwargs, a, keep)) return -1;
    return read_init_with(self, a[0], a[1], a[2]);
}

PyObject* read_release_impl(PyObject* self) {
    rn::ptr shm(field(self, RN_ID(shm)));
    if (!shm) return nullptr;
    if (Py_IS_TYPE(shm.get(), g_shm_type)) {
        if (shm_close_now(reinterpret_cast<Shm*>(shm.get())) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    return call_method0(shm.get(), RN_ID(close));
}

const rn::Signature read_release_sig(
    "MemArrayRead._release", "",
    "Close this attachment; the segment stays for its owner.",
    rn::METHOD);

PyMethodDef read_methods[] = {
    read_release_sig.def(rn::noargs<read_release_sig, read_release_impl>),
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot read_slots[] = {{Py_tp_doc, (void*)read_init_sig.doc()},
                            {Py_tp_init, (void*)read_init},
                            {Py_tp_traverse, (void*)rn::plain_traverse},
                            {Py_tp_clear, (void*)rn::plain_clear},
                            {Py_tp_methods, read_methods},
                            {0, nullptr}};

PyType_Spec read_spec = {"ravu.mem_array.mem_array.MemArrayRead", sizeof(Obj), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                         read_slots};

// ---------------------------------------------------------------- functions

// A new instance of one of our array types, initialised by `init`.
template <typename Init>
PyObject* make(PyTypeObject* type, Init init) {
    rn::ptr self(type->tp_alloc(type, 0));
    if (!self || init(self.get()) < 0) return nullptr;
    return self.release();
}

// max_pool_size == 0: 1, 0 or -1.
int once_only(PyObject* limit) {
    long long m;
    if (exact_ll(limit, &m)) return m == 0;
    if (PyErr_Occurred()) return -1;
    rn::ptr zero(PyLong_FromLong(0));
    if (!zero) return -1;
    rn::ptr eq(PyObject_RichCompare(limit, zero.get(), Py_EQ));
    return eq ? PyObject_IsTrue(eq.get()) : -1;
}

PyObject* new_array(PyObject* shape, PyObject* dtype, PyObject* limit) {
    const int once = once_only(limit);
    if (once < 0) return nullptr;
    if (once)
        return make(g_once_type, [&](PyObject* s) { return once_init_with(s, shape, dtype); });
    return make(g_reuse_type, [&](PyObject* s) { return reuse_init_with(s, shape, dtype, limit); });
}

const rn::Signature new_mem_array_sig(
    "new_mem_array", "shape, dtype, max_pool_size=0",
    "A new shared array of shape and dtype, its elements not initialised.\n\n"
    "With max_pool_size == 0 (0, 0.0 or False) a MemArrayOnce with a segment\n"
    "of its own; otherwise a MemArrayReuse borrowed from the process's pool\n"
    "for shape and dtype, which creates at most max_pool_size segments (the\n"
    "first caller's limit holds).  An exhausted pool gives an empty object\n"
    "(uuid None), not an error.  Pass info() of the result to another\n"
    "process's load_mem_array(); call release() when done.");

PyObject* new_mem_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!new_mem_array_sig.parse(args, nargs, kwnames, a)) return nullptr;
    return new_array(a[0], a[1], a[2]);
}

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14
#endif
constexpr size_t kPopulateMin = 1 << 20;

// np.copyto(dst, src).  Two C-contiguous arrays of one shape and one
// element type are copied here with the GIL released (memmove: they may
// overlap); everything else goes to numpy.
PyObject* copy_into(PyObject* dst, PyObject* src, bool fresh) {
    if (PyArray_CheckExact(dst) && PyArray_CheckExact(src)) {
        PyArrayObject* d = (PyArrayObject*)dst;
        PyArrayObject* s = (PyArrayObject*)src;
        const int nd = PyArray_NDIM(d);
        if (nd == PyArray_NDIM(s) && PyArray_ISCARRAY(d) && PyArray_ISCARRAY_RO(s) &&
            PyArray_EquivTypes(PyArray_DESCR(d), PyArray_DESCR(s)) &&
            !PyDataType_REFCHK(PyArray_DESCR(d)) &&
            std::equal(PyArray_DIMS(d), PyArray_DIMS(d) + nd, PyArray_DIMS(s))) {
            const size_t n = (size_t)PyArray_NBYTES(d);
            void* to = PyArray_DATA(d);
            const void* from = PyArray_DATA(s);
            Py_BEGIN_ALLOW_THREADS
            // A new segment has no pages yet: asking for all of them at once
            // costs far less than one fault per page during the copy.  Only a
            // hint; kernels without it say EINVAL and the copy faults them in.
            if (fresh && n >= kPopulateMin) {
                const uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
                const uintptr_t lo = (uintptr_t)to & ~(page - 1);
                const uintptr_t hi = ((uintptr_t)to + n + page - 1) & ~(page - 1);
                madvise((void*)lo, hi - lo, MADV_POPULATE_WRITE);
            }
            std::memmove(to, from, n);
            Py_END_ALLOW_THREADS
            Py_RETURN_NONE;
        }
    }
    PyObject* a[2] = {dst, src};
    return PyObject_Vectorcall(g_copyto, a, 2, nullptr);
}

const rn::Signature make_mem_array_sig(
    "make_mem_array", "array, max_pool_size=0",
    "A new shared array holding a copy of the numpy array's elements.\n\n"
    "Made as new_mem_array(list(array.shape), array.dtype, max_pool_size)\n"
    "makes it, so its descriptor carries the shape as a list.  Raises\n"
    "TypeError when a pool is exhausted (nothing to copy into).");

PyObject* make_mem_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!make_mem_array_sig.parse(args, nargs, kwnames, a)) return nullptr;
    PyObject* array = a[0];
    rn::ptr dims(PyObject_GetAttr(array, RN_ID(shape)));
    if (!dims) return nullptr;
    rn::ptr shape(PySequence_List(dims.get()));
    if (!shape) return nullptr;
    rn::ptr dtype(PyObject_GetAttr(array, RN_ID(dtype)));
    if (!dtype) return nullptr;
    rn::ptr ma(new_array(shape.get(), dtype.get(), a[1]));
    if (!ma) return nullptr;
    rn::ptr data(field(ma.get(), RN_ID(data)));
    if (!data) return nullptr;
    rn::ptr r(copy_into(data.get(), array, Py_IS_TYPE(ma.get(), g_once_type)));
    if (r) return ma.release();
    // Nobody will ever see the new array: give its segment back.
    rn::SavedError saved;
    rn::ptr released(is_exact_array(ma.get()) ? release_impl(ma.get())
                                              : call_method0(ma.get(), RN_ID(release)));
    return nullptr;
}

const rn::Signature load_mem_array_sig(
    "load_mem_array", "info, /",
    "Attach to the shared array that the descriptor info names.\n\n"
    "info is the mapping that info() gave in the creating process (keys\n"
    "'uuid', 'shape', 'dtype'); returns a MemArrayRead over the same\n"
    "elements, no copy.  Raises KeyError for a missing key and\n"
    "FileNotFoundError once the creator has released a once-only array.");

PyObject* load_mem_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* info = load_mem_array_sig.single(args, nargs, kwnames);
    if (!info) return nullptr;
    rn::ptr uuid(item(info, RN_ID(uuid)));
    if (!uuid) return nullptr;
    rn::ptr shape(item(info, RN_ID(shape)));
    if (!shape) return nullptr;
    rn::ptr dtype(item(info, RN_ID(dtype)));
    if (!dtype) return nullptr;
    return make(g_read_type,
                [&](PyObject* s) { return read_init_with(s, uuid.get(), shape.get(), dtype.get()); });
}

PyMethodDef module_methods[] = {
    new_mem_array_sig.def(new_mem_array),
    make_mem_array_sig.def(make_mem_array),
    load_mem_array_sig.def(load_mem_array),
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "ravu.mem_array.mem_array",
    "Numpy arrays in named POSIX shared memory, attached by other processes.\n\n"
    "new_mem_array(shape, dtype) and make_mem_array(array) create a shared\n"
    "array: its `data` is a numpy array over a shared-memory segment, and its\n"
    "info() a small descriptor {'uuid', 'shape', 'dtype'} that the service\n"
    "carries to another process by its own means, where load_mem_array(info)\n"
    "attaches to the same elements without copying.  Each side calls\n"
    "release() (or uses a `with` block) when done: the creator's release\n"
    "removes a once-only segment.  With max_pool_size > 0 the segments come\n"
    "from a per-process pool (MemArrayOncePool) and go back to it.  Element\n"
    "types: the eleven numeric types of TYPE_DICT_t2n (see MAType).\n\n"
    "Writers and readers share the elements without any locking.",
    -1, module_methods};

// ---------------------------------------------------------------- set-up

int add_import(PyObject* m, const char* as, const char* module, const char* attr = nullptr) {
    rn::ptr v(attr ? rn::import_attr(module, attr) : PyImport_ImportModule(module));
    if (!v) return -1;
    return PyModule_AddObjectRef(m, as, v.get());
}

// SegmentLedger and _posixshmem: the standard pair, or the package's when
// either cannot be imported.
int bind_segment_class(PyObject* m) {
    rn::ptr ledger(rn::import_attr("multiprocessing.shared_memory", "SharedMemory"));
    rn::ptr shm;
    if (ledger) shm = PyImport_ImportModule("_posixshmem");
    if (!ledger || !shm) {
        PyErr_Clear();
        ledger = rn::import_attr("ravu._compat.segment_ledger", "SharedMemory");
        if (!ledger) return -1;
        shm = rn::import_attr("ravu._compat", "_posixshmem");
        if (!shm) return -1;
    }
    if (PyModule_AddObjectRef(m, "SegmentLedger", ledger.get()) < 0 ||
        PyModule_AddObjectRef(m, "_posixshmem", shm.get()) < 0)
        return -1;
    g_shm_open_default = PyObject_GetAttr(shm.get(), RN_ID(shm_open));
    if (!g_shm_open_default) return -1;
    g_shm_default = shm.release();
    return 0;
}

// TYPE_DICT_n2t and TYPE_DICT_t2n.  numpy 1.24 no longer has `np.bool`,
// which was the builtin bool: code 101 keeps that object.
int build_tables(PyObject* m, PyObject* np) {
    static const struct {
        int code;
        const char* name;
    } rows[] = {{108, "uint8"},   {208, "int8"},    {116, "uint16"}, {216, "int16"},
                {316, "float16"}, {132, "uint32"},  {232, "int32"},  {332, "float32"},
                {164, "uint64"},  {264, "int64"},   {364, "float64"}};
    rn::ptr n2t(PyDict_New()), t2n(PyDict_New());
    if (!n2t || !t2n) return -1;
    rn::ptr code(PyLong_FromLong(101));
    if (!code || PyDict_SetItem(n2t.get(), code.get(), (PyObject*)&PyBool_Type) < 0) return -1;
    for (const auto& row : rows) {
        rn::ptr type(PyObject_GetAttrString(np, row.name));
        if (!type) return -1;
        code = PyLong_FromLong(row.code);
        if (!code || PyDict_SetItem(n2t.get(), code.get(), type.get()) < 0) return -1;
        rn::ptr name(PyObject_GetAttr(type.get(), RN_ID(__name__)));
        if (!name || PyDict_SetItem(t2n.get(), name.get(), code.get()) < 0) return -1;
    }
    if (PyModule_AddObjectRef(m, "TYPE_DICT_n2t", n2t.get()) < 0 ||
        PyModule_AddObjectRef(m, "TYPE_DICT_t2n", t2n.get()) < 0)
        return -1;
    g_n2t = n2t.release();
    g_t2n = t2n.release();
    return 0;
}

PyTypeObject* add_type(PyObject* m, PyType_Spec* spec, PyTypeObject* base = nullptr) {
    return reinterpret_cast<PyTypeObject*>(rn::add_type(m, spec, (PyObject*)base));
}

int module_exec(PyObject* m) {
    if (add_import(m, "mmap", "mmap") < 0 || add_import(m, "os", "os") < 0 ||
        add_import(m, "np", "numpy") < 0 || add_import(m, "Queue", "queue", "Queue") < 0 ||
        add_import(m, "threading", "threading") < 0)
        return -1;
    if (bind_segment_class(m) < 0) return -1;

    g_queue_type = (PyTypeObject*)rn::import_attr("queue", "Queue");
    g_condition_type = (PyTypeObject*)rn::import_attr("threading", "Condition");
    g_deque_type = (PyTypeObject*)rn::import_attr("collections", "deque");
    if (!g_queue_type || !g_condition_type || !g_deque_type) return -1;
    g_deque_popleft = PyObject_GetAttrString((PyObject*)g_deque_type, "popleft");
    g_deque_append = PyObject_GetAttrString((PyObject*)g_deque_type, "append");
    if (!g_deque_popleft || !g_deque_append) return -1;
    rn::ptr lock_factory(rn::import_attr("_thread", "allocate_lock"));
    if (!lock_factory) return -1;
    rn::ptr lock(PyObject_CallNoArgs(lock_factory.get()));
    if (!lock) return -1;
    g_lock_type = Py_TYPE(lock.get());
    Py_INCREF(g_lock_type);
    g_lock_acquire = PyObject_GetAttrString((PyObject*)g_lock_type, "acquire");
    g_lock_release = PyObject_GetAttrString((PyObject*)g_lock_type, "release");
    if (!g_lock_acquire || !g_lock_release) return -1;
    g_copyto = rn::import_attr("numpy", "copyto");
    if (!g_copyto) return -1;
    g_ledger_kwnames = Py_BuildValue("(ss)", "create", "size");
    g_view_kwnames = Py_BuildValue("(ss)", "dtype", "buffer");
    g_mode_kwnames = Py_BuildValue("(s)", "mode");
    if (!g_ledger_kwnames || !g_view_kwnames || !g_mode_kwnames) return -1;

    g_mapping_type = (PyTypeObject*)PyType_FromModuleAndSpec(m, &mapping_spec, nullptr);
    if (!g_mapping_type) return -1;
    if (!(g_shm_type = add_type(m, &shm_spec))) return -1;
    rn::ptr np(PyImport_ImportModule("numpy"));
    if (!np || build_tables(m, np.get()) < 0) return -1;
    if (!(g_matype_type = add_type(m, &matype_spec))) return -1;
    if (!(g_array_type = add_type(m, &array_spec))) return -1;
    if (!(g_once_type = add_type(m, &once_spec, g_array_type))) return -1;
    if (!(g_pool_type = add_type(m, &pool_spec))) return -1;
    rn::ptr registry(PyDict_New());
    if (!registry) return -1;
    rn::ptr pool_lock(PyObject_CallNoArgs(lock_factory.get()));
    if (!pool_lock ||
        PyObject_SetAttrString((PyObject*)g_pool_type, "_pool_dict", registry.get()) < 0 ||
        PyObject_SetAttrString((PyObject*)g_pool_type, "_pool_mutex", pool_lock.get()) < 0)
        return -1;
    if (!(g_reuse_type = add_type(m, &reuse_spec, g_array_type))) return -1;
    if (!(g_read_type = add_type(m, &read_spec, g_array_type))) return -1;
    return rn::set_all(m, {"new_mem_array", "load_mem_array", "make_mem_array"});
}

}  // namespace

PyMODINIT_FUNC PyInit_mem_array() {
    import_array();
    if (g_module) return Py_NewRef(g_module);
    rn::ptr m(PyModule_Create(&module_def));
    if (!m || module_exec(m.get()) < 0) return nullptr;
    g_module = m.release();
    return Py_NewRef(g_module);
}
