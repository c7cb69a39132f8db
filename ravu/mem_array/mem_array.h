// Internal header of ravu.mem_array.mem_array, shared by its sources:
//   mem_array.cpp        module functions and set-up
//   mem_array_types.cpp  element-type codes, the array pool key, MAType
//   mem_array_view.cpp   the numpy view and _Mapping, the pages under it
//   mem_array_shm.cpp    the reader-side SharedMemory
//   mem_array_array.cpp  MemArray, MemArrayOnce, MemArrayRead
//   mem_array_pool.cpp   MemArrayOncePool
//   mem_array_reuse.cpp  MemArrayReuse
#pragma once

#define PY_ARRAY_UNIQUE_SYMBOL ravu_mem_array_ARRAY_API
#ifndef RAVU_MEM_ARRAY_IMPORT_ARRAY
#define NO_IMPORT_ARRAY
#endif
#include "rn.h"

#include <numpy/arrayobject.h>

namespace mem_array {

// ---------------------------------------------------------------- module state

// What the module keeps between calls, all made at import and kept for the
// process's life.
struct State {
    PyObject* module = nullptr;  // for its globals, looked up at call time
    // TYPE_DICT_n2t and TYPE_DICT_t2n: the element-type code tables.
    PyObject* code_to_type = nullptr;
    PyObject* name_to_code = nullptr;
    // The _posixshmem bound at import and its shm_open: while the module's
    // global still names them, a reader opens segments itself.
    PyObject* posixshmem_at_import = nullptr;
    PyObject* shm_open_at_import = nullptr;
    PyObject* copyto = nullptr;  // numpy.copyto
    // The int 1 that counts one more queued task or created array.
    PyObject* increment = nullptr;
    // Keyword names of the calls made with keywords.
    PyObject* ledger_kwnames = nullptr;  // ("create", "size")
    PyObject* view_kwnames = nullptr;    // ("dtype", "buffer")
    PyObject* mode_kwnames = nullptr;    // ("mode",)
    // Library classes whose exact instances are used through the methods of
    // the class itself, and those methods.
    PyTypeObject* lock_type = nullptr;  // type(threading.Lock())
    PyObject* lock_acquire = nullptr;
    PyObject* lock_release = nullptr;
    PyTypeObject* queue_type = nullptr;  // queue.Queue
    PyTypeObject* deque_type = nullptr;  // collections.deque
    PyObject* deque_popleft = nullptr;
    PyObject* deque_append = nullptr;
    // The module's own classes.
    PyTypeObject* mapping_type = nullptr;  // _Mapping
    PyTypeObject* shm_type = nullptr;      // SharedMemory
    PyTypeObject* matype_type = nullptr;
    PyTypeObject* array_type = nullptr;  // MemArray
    PyTypeObject* once_type = nullptr;
    PyTypeObject* pool_type = nullptr;
    PyTypeObject* reuse_type = nullptr;
    PyTypeObject* read_type = nullptr;
};

extern State state;

// The type specs, made into types at module set-up.
extern PyType_Spec mapping_spec, shm_spec, matype_spec, array_spec, once_spec, read_spec,
    pool_spec, reuse_spec;

// ---------------------------------------------------------------- small helpers

using rn::exact_ll;

// The sign (-1, 0, 1) of an int.
inline int sign(PyObject* v) {
    int overflow;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    return overflow ? overflow : (x > 0) - (x < 0);
}

// The dimensions as a list or tuple we may index (`keep` holds a list made
// from any other iterable); the iteration's own TypeError otherwise.
inline PyObject* dims_of(PyObject* shape, rn::ptr& keep) {
    if (PyTuple_CheckExact(shape) || PyList_CheckExact(shape)) return shape;
    keep = PySequence_List(shape);
    return keep.get();
}

inline PyObject* call_method0(PyObject* obj, PyObject* name) {
    return PyObject_CallMethodNoArgs(obj, name);
}

// d[key] as a new reference, KeyError(key) when missing.
PyObject* item(PyObject* d, PyObject* key);

// A method-table entry with METH_STATIC or METH_CLASS added.
inline PyMethodDef with_flags(PyMethodDef def, int flags) {
    def.ml_flags |= flags;
    return def;
}

// ---------------------------------------------------------------- locks

// lock.acquire() / lock.release(), through the plain lock's own methods when
// exact; acquire releases the GIL while it waits, with our callers'
// references held below it.
inline int lock_acquire(PyObject* lock) {
    rn::park_at_exit();
    rn::ptr r;
    if (Py_IS_TYPE(lock, state.lock_type)) {
        PyObject* a[1] = {lock};
        r = PyObject_Vectorcall(state.lock_acquire, a, 1, nullptr);
    } else {
        r = call_method0(lock, RN_ID(acquire));
    }
    return r ? 0 : -1;
}

inline int lock_release(PyObject* lock) {
    rn::ptr r;
    if (Py_IS_TYPE(lock, state.lock_type)) {
        PyObject* a[1] = {lock};
        r = PyObject_Vectorcall(state.lock_release, a, 1, nullptr);
    } else {
        r = call_method0(lock, RN_ID(release));
    }
    return r ? 0 : -1;
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

// ---------------------------------------------------------------- element types

// TYPE_DICT_n2t / t2n look-ups of MAType(t): the code and the `dtype` form.
bool element_type(PyObject* t, rn::ptr& code, rn::ptr& dtype);
// code % 100 // 8
PyObject* code_size(PyObject* code);
// MemArray.Name(shape, dtype)
PyObject* pool_key(PyObject* shape, PyObject* dtype);

// ---------------------------------------------------------------- views and mappings

// The owner of the pages under every array over a segment, and the buffer
// behind the reader-side SharedMemory.buf.  Two kinds:
// - a reader's mapping of a whole shared-memory object, its own: like
//   mmap.mmap it refuses to close while buffers are exported; unlike it,
//   closing only ends its use as a buffer, and the pages are unmapped when
//   the object goes;
// - a creator's view of the pages the segment class mapped: it holds the
//   segment object, so the class's own mapping (unmapped by its close(),
//   and by its finaliser) stays while any array stands on it.  A release
//   that finds arrays still standing on it hands the segment's close() to
//   this object, which calls it when the last of them goes.
// Either way an array that still views the pages (it holds the object as
// its base) never points at unmapped memory.
struct Mapping {
    PyObject_HEAD
    void* addr;  // the buffer: the mapped object from byte 0
    Py_ssize_t len;
    void* map_addr;  // a reader's: what munmap takes (`addr` rounded down to a page)
    size_t map_len;
    PyObject* ledger;  // a creator's: the segment object whose mapping this is
    // With a ledger: an export of the segment's buffer held while arrays
    // stand on its pages, so that the segment's own close() refuses
    // (BufferError) instead of unmapping them.
    Py_buffer pin;
    Py_ssize_t exports;
    bool closed;
    bool close_at_end;  // the ledger's close() is ours to call, at the end
    bool* watch;        // set to true when the object goes
};

// A reader's _Mapping owning [map_addr, map_len), showing `len` bytes from
// `addr`; NULL (the pages stay mapped) if it cannot be made.
PyObject* new_mapping(void* map_addr, size_t map_len, void* addr, Py_ssize_t len);
// close(): BufferError while buffers are exported.
int mapping_close_now(Mapping* m);
// np.ndarray(shape, dtype=dtype, buffer=buf), refused for element types
// that hold object references, standing on the owner of the pages: the
// reader's mapping behind `buf`, or, given the segment object `ledger`
// whose buffer `buf` is, a creator's view that holds it.
PyObject* make_view(PyObject* shape, PyObject* dtype, PyObject* buf, PyObject* ledger = nullptr);
// The creator's view that `data` stands on, when it is the pages of
// `ledger` and their close() is not handed over yet; borrowed, or NULL.
Mapping* creator_pages(PyObject* data, PyObject* ledger);

// ---------------------------------------------------------------- SharedMemory

struct Shm {
    PyObject_HEAD
    int fd;
    PyObject* name;  // "/" + name
    Py_ssize_t size;
    PyObject* mmap;  // _Mapping
    PyObject* buf;   // memoryview over it
};

// A new, unattached SharedMemory.
PyObject* shm_new(PyTypeObject* type, PyObject*, PyObject*);
// SharedMemory(name): attach to "/" + name at once.
int shm_init_with(Shm* s, PyObject* name);
// close()
int shm_close_now(Shm* s);

// ---------------------------------------------------------------- array objects

// Every array and pool object: a dict for its fields and weak references.
using Obj = rn::PlainObject;

// Whether `self` is of one of the module's own array classes (not a
// subclass): those keep their fields in the instance dict and run the
// module's own methods.
bool is_exact_array(PyObject* self);
// self.name, from the instance dict for the exact classes.  New reference.
PyObject* field(PyObject* self, PyObject* name);
int set_field(PyObject* self, PyObject* name, PyObject* value);
// uuid, shape, dtype, shm, data: the five fields of every array, in order.
PyObject* const* array_fields();
// The five fields None, in their order.
int clear_fields(PyObject* self);

// release()
PyObject* release_impl(PyObject* self);
// The constructors' bodies, on a new object.
int once_init_with(PyObject* self, PyObject* shape, PyObject* dtype);
int read_init_with(PyObject* self, PyObject* uuid, PyObject* shape, PyObject* dtype);
int reuse_init_with(PyObject* self, PyObject* shape, PyObject* dtype, PyObject* limit);
// The variants' _release().
PyObject* once_release_impl(PyObject* self);
PyObject* read_release_impl(PyObject* self);
PyObject* reuse_release_impl(PyObject* self);

// ---------------------------------------------------------------- pools

// MemArrayOncePool.get_pool(shape, dtype, limit) on `cls`.
PyObject* get_pool_impl(PyObject* cls, PyObject* shape, PyObject* dtype, PyObject* limit);
// get() and push_back(ma) of our own pool class.
PyObject* pool_get_impl(PyObject* self);
PyObject* pool_push_back_impl(PyObject* self, PyObject* ma);

// Class attributes of MemArrayOncePool: the registry and its lock.
int init_pool_class(PyTypeObject* pool_type, PyObject* lock_factory);

}  // namespace mem_array
