// ravu.mem_array.mem_array: numpy arrays over named POSIX shared memory.
//
// The creating side goes through the segment class bound as SegmentLedger
// (the standard one, or ravu._compat's); the attaching side maps the object
// itself (SharedMemory) and registers it nowhere, so a reader that exits
// never removes its creator's segment.
//
// This file holds the module functions and the set-up; mem_array.h lists
// where the rest lives.
#define RAVU_MEM_ARRAY_IMPORT_ARRAY
#include "mem_array.h"
#include "shm_attach.h"

#include <algorithm>

namespace mem_array {

State state;

namespace {

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
        return make(state.once_type, [&](PyObject* s) { return once_init_with(s, shape, dtype); });
    return make(state.reuse_type, [&](PyObject* s) { return reuse_init_with(s, shape, dtype, limit); });
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

// Below this a copy faults in its few pages faster than one more system call.
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
            rn::without_gil([&] {
                // A new segment has no pages yet.
                if (fresh && n >= kPopulateMin) shm_attach::populate_for_write(to, n);
                std::memmove(to, from, n);
            });
            Py_RETURN_NONE;
        }
    }
    PyObject* a[2] = {dst, src};
    return PyObject_Vectorcall(state.copyto, a, 2, nullptr);
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
    rn::ptr r(copy_into(data.get(), array, Py_IS_TYPE(ma.get(), state.once_type)));
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
    return make(state.read_type,
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
    "Writers and readers share the elements without any locking.\n\n"
    "The classes behind the three functions (outside __all__):\n\n"
    "MemArray -- the base: uuid, shape, dtype, shm, data; info(), release().\n"
    "MemArrayOnce -- a new segment of its own, unlinked by its release().\n"
    "MemArrayReuse -- a segment borrowed from a pool; empty when none is free.\n"
    "MemArrayRead -- attached to an existing segment by its descriptor.\n"
    "MemArrayOncePool -- the pool of one shape and element type.\n"
    "MAType -- one element type as code, numpy type and size.\n"
    "SharedMemory -- the reading side's mapping of a segment.",
    -1, module_methods};

// ---------------------------------------------------------------- set-up

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
    state.shm_open_at_import = PyObject_GetAttr(shm.get(), RN_ID(shm_open));
    if (!state.shm_open_at_import) return -1;
    state.posixshmem_at_import = shm.release();
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
    state.code_to_type = n2t.release();
    state.name_to_code = t2n.release();
    return 0;
}

PyTypeObject* add_type(PyObject* m, PyType_Spec* spec, PyTypeObject* base = nullptr) {
    return reinterpret_cast<PyTypeObject*>(rn::add_type(m, spec, (PyObject*)base));
}

// The library classes whose exact instances are used through their own
// class's methods, and the objects the calls need.
int bind_library_parts(PyObject* lock_factory) {
    state.queue_type = (PyTypeObject*)rn::import_attr("queue", "Queue");
    state.deque_type = (PyTypeObject*)rn::import_attr("collections", "deque");
    if (!state.queue_type || !state.deque_type) return -1;
    state.deque_popleft = PyObject_GetAttrString((PyObject*)state.deque_type, "popleft");
    state.deque_append = PyObject_GetAttrString((PyObject*)state.deque_type, "append");
    if (!state.deque_popleft || !state.deque_append) return -1;
    rn::ptr lock(PyObject_CallNoArgs(lock_factory));
    if (!lock) return -1;
    state.lock_type = (PyTypeObject*)Py_NewRef(Py_TYPE(lock.get()));
    state.lock_acquire = PyObject_GetAttrString((PyObject*)state.lock_type, "acquire");
    state.lock_release = PyObject_GetAttrString((PyObject*)state.lock_type, "release");
    if (!state.lock_acquire || !state.lock_release) return -1;
    state.copyto = rn::import_attr("numpy", "copyto");
    if (!state.copyto) return -1;
    state.ledger_kwnames = Py_BuildValue("(ss)", "create", "size");
    state.view_kwnames = Py_BuildValue("(ss)", "dtype", "buffer");
    state.mode_kwnames = Py_BuildValue("(s)", "mode");
    state.increment = PyLong_FromLong(1);
    if (!state.ledger_kwnames || !state.view_kwnames || !state.mode_kwnames || !state.increment)
        return -1;
    return 0;
}

int module_exec(PyObject* m) {
    if (rn::bind_imports(m, {{nullptr, "mmap"}, {nullptr, "os"}, {nullptr, "numpy", "np"},
                             {"queue", "Queue"}, {nullptr, "threading"}}) < 0)
        return -1;
    if (bind_segment_class(m) < 0) return -1;
    rn::ptr lock_factory(rn::import_attr("_thread", "allocate_lock"));
    if (!lock_factory || bind_library_parts(lock_factory.get()) < 0) return -1;

    state.mapping_type = (PyTypeObject*)PyType_FromModuleAndSpec(m, &mapping_spec, nullptr);
    if (!state.mapping_type) return -1;
    if (!(state.shm_type = add_type(m, &shm_spec))) return -1;
    rn::ptr np(rn::global(m, RN_ID(np)));
    if (!np || build_tables(m, np.get()) < 0) return -1;
    if (!(state.matype_type = add_type(m, &matype_spec))) return -1;
    if (!(state.array_type = add_type(m, &array_spec))) return -1;
    if (!(state.once_type = add_type(m, &once_spec, state.array_type))) return -1;
    if (!(state.pool_type = add_type(m, &pool_spec))) return -1;
    if (init_pool_class(state.pool_type, lock_factory.get()) < 0) return -1;
    if (!(state.reuse_type = add_type(m, &reuse_spec, state.array_type))) return -1;
    if (!(state.read_type = add_type(m, &read_spec, state.array_type))) return -1;
    return rn::set_all(m, {"new_mem_array", "load_mem_array", "make_mem_array"});
}

}  // namespace
}  // namespace mem_array

PyMODINIT_FUNC PyInit_mem_array() {
    using namespace mem_array;
    import_array();
    if (state.module) return Py_NewRef(state.module);
    rn::ptr m(PyModule_Create(&module_def));
    if (!m || module_exec(m.get()) < 0) return nullptr;
    state.module = m.release();
    return Py_NewRef(state.module);
}
